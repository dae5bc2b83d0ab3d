"""Times robinson_foulds_distance on pairs of random binary trees over the same labels.

    python3 benchmarks/bench_rf.py [sizes...]
"""

from __future__ import annotations

import random
import statistics
import sys
import time

import veltrane


def random_binary_tree(labels: list[str], rnd: random.Random) -> str:
    pool = list(labels)
    rnd.shuffle(pool)
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})"]
    return pool[0] + ";"


def main(sizes: list[int]) -> None:
    rnd = random.Random(1)
    print(f"{'leaves':>8} {'median s':>10} {'min s':>10} {'core ms':>10} {'rf':>8}")
    for n in sizes:
        labels = [f"t{i}" for i in range(n)]
        t1, t2 = random_binary_tree(labels, rnd), random_binary_tree(labels, rnd)
        times, core = [], []
        repeats = 5 if n <= 10_000 else 2
        for _ in range(repeats):
            start = time.perf_counter()
            result = veltrane.robinson_foulds_distance(t1, t2)
            times.append(time.perf_counter() - start)
            core.append(result["computation_time_ms"])
        print(
            f"{n:>8} {statistics.median(times):>10.4f} {min(times):>10.4f}"
            f" {statistics.median(core):>10.2f} {result['rf_distance']:>8}"
        )


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [1_000, 10_000])
