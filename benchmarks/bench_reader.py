"""Times the Newick reader from Python on a large random binary tree with branch lengths.

    python3 benchmarks/bench_reader.py [leaves] [repeats]      (default 100000 leaves, 41 repeats)

veltrane has no parse-only call, so the probe is robinson_foulds_distance(big, "(a,b);"): it
reads the big tree, reads a two-leaf tree, runs the distance (linear in the big tree) and frees
both trees. The "read" column takes the distance's own computation_time_ms off the call, so it is
text in, finished tree built and freed. The goal is at least 200 MB/s for the read at 100,000
leaves. Medians of many repeats, since the machine may be shared.
"""

from __future__ import annotations

import random
import statistics
import sys
import time

import veltrane
from run import to_newick, tree_shape


def random_binary_newick(n: int, seed: int) -> str:
    """Random joins of n leaves labelled t0..t{n-1}, a length on every node but the root."""
    rnd = random.Random(seed)
    children, root = tree_shape("binary", n, rnd)
    labels = [f"t{i}" for i in range(n)]
    rnd.shuffle(labels)
    return to_newick(children, root, labels, rnd)


def main(n: int, repeats: int) -> None:
    text = random_binary_newick(n, seed=n)
    size_mb = len(text.encode()) / 1e6
    small = "(a,b);"
    veltrane.robinson_foulds_distance(text, small)  # warm up pages and caches
    calls = []
    reads = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = veltrane.robinson_foulds_distance(text, small)
        elapsed = time.perf_counter() - start
        calls.append(elapsed)
        reads.append(elapsed - result["computation_time_ms"] / 1000)
    print(f"{n} leaves, {size_mb:.2f} MB of text, {repeats} repeats")
    print(f"{'':<12} {'median ms':>10} {'best ms':>9} {'median MB/s':>12} {'best MB/s':>10}")
    for name, times in (("whole call", calls), ("read", reads)):
        median = statistics.median(times)
        best = min(times)
        print(
            f"{name:<12} {median * 1e3:>10.2f} {best * 1e3:>9.2f} "
            f"{size_mb / median:>12.0f} {size_mb / best:>10.0f}"
        )


if __name__ == "__main__":
    args = [int(a) for a in sys.argv[1:]]
    main(*(args + [100_000, 41][len(args) :]))
