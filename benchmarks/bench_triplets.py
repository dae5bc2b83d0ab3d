"""Times the triplet metrics on pairs of random binary trees, with each call's peak memory.

    python3 benchmarks/bench_triplets.py [leaves]          # default 100000
    python3 benchmarks/bench_triplets.py --exhaustive      # forced exhaustive, 400 to 1,000,000 leaves

Each measurement runs in a fresh interpreter so that its peak resident set size (ru_maxrss) is
its own; "peak MB" is that peak, the interpreter and both Newick texts included.
"""

from __future__ import annotations

import json
import os
import random
import subprocess
import sys

FUNCTIONS = [
    "triplets_correct_fast",
    "triplets_correct_ultra",
    "triplets_correct_parallel",
    "triplets_correct_optimized",
]


def random_binary_tree(labels: list[str], rnd: random.Random) -> str:
    """Splits the shuffled labels at random points, iteratively (no recursion)."""
    order = list(labels)
    rnd.shuffle(order)
    out: list[str] = []
    stack: list[tuple[int, int] | str] = [(0, len(order))]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        lo, hi = item
        if hi - lo == 1:
            out.append(order[lo])
            continue
        mid = rnd.randint(lo + 1, hi - 1)
        stack.extend([")", (mid, hi), ",", (lo, mid)])
        out.append("(")
    return "".join(out) + ";"


CHILD = """
import json, resource, sys, time, veltrane
name, t1, t2, kwargs = json.loads(sys.stdin.read())
fn = getattr(veltrane, name)
start = time.perf_counter()
result = fn(t1, t2, **kwargs)
elapsed = time.perf_counter() - start
peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps([elapsed, peak_kb / 1024, result.get("method_used", ""),
                  result.get("total_triplets_checked", 0), result.get("parallel_chunks_used", 1),
                  result["all_triplets_correct"][0]]))
"""


def measure(name: str, t1: str, t2: str, **kwargs) -> list:
    proc = subprocess.run(
        [sys.executable, "-c", CHILD],
        input=json.dumps([name, t1, t2, kwargs]),
        capture_output=True,
        text=True,
        env=dict(os.environ),
        check=True,
    )
    return json.loads(proc.stdout)


def report(label: str, row: list) -> None:
    elapsed, peak, method, total, chunks, all_correct = row
    print(
        f"{label:<44} {elapsed:>9.3f} {peak:>9.1f}  {method:<22} {total:>14} {chunks:>6}"
        f"  {all_correct:.6f}"
    )


def header() -> None:
    print(f"{'call':<44} {'seconds':>9} {'peak MB':>9}  {'method':<22} {'checked':>14} "
          f"{'chunks':>6}  all_correct")


def main(argv: list[str]) -> None:
    rnd = random.Random(1)
    if argv and argv[0] == "--exhaustive":
        header()
        for n in (400, 10_000, 100_000, 1_000_000):
            labels = [f"t{i}" for i in range(n)]
            t1, t2 = random_binary_tree(labels, rnd), random_binary_tree(labels, rnd)
            row = measure("triplets_correct_ultra", t1, t2, number_of_trials=2**63)
            report(f"triplets_correct_ultra n={n}", row)
            for name in ("triplets_correct_parallel", "triplets_correct_optimized"):
                for threads in (1, None):
                    row = measure(name, t1, t2, number_of_trials=2**63, seed=1,
                                  max_threads=threads)
                    report(f"{name} n={n} max_threads={threads}", row)
        return
    n = int(argv[0]) if argv else 100_000
    labels = [f"t{i}" for i in range(n)]
    t1, t2 = random_binary_tree(labels, rnd), random_binary_tree(labels, rnd)
    header()
    for name in FUNCTIONS:
        report(f"{name} n={n}", measure(name, t1, t2, seed=1))
    report(f"triplets_correct n={n}", measure("triplets_correct", t1, t2, seed=1))


if __name__ == "__main__":
    main(sys.argv[1:])
