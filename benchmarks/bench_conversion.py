"""Times the conversion of a character matrix given as a NumPy array and as a list of lists.

    python3 benchmarks/bench_conversion.py [rows] [columns]      (default 100000 x 50)

The call is parsimony_score on a one-leaf tree: it parses nothing and scores nothing worth
timing, so the time is that of converting the matrix. The goal is an int64 array converted at
least 20 times faster than the same data as lists.
"""

from __future__ import annotations

import statistics
import sys
import time

import numpy as np

import veltrane

TREE = "A;"


def best_of(fn, repeats: int) -> tuple[float, float]:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main(rows: int, columns: int) -> None:
    rng = np.random.default_rng(1)
    base = rng.integers(-1, 30, size=(rows, columns), dtype=np.int64)
    as_lists = base.tolist()
    cases = {
        "list of lists": as_lists,
        "int64, C order": base,
        "int64, F order": np.asfortranarray(base),
        "int64, every 2nd column": np.repeat(base, 2, axis=1)[:, ::2],
        "int8, C order": base.astype(np.int8),
        "int32, C order": base.astype(np.int32),
        "uint16, F order": np.asfortranarray(base.clip(0).astype(np.uint16)),
    }
    expected = veltrane.parsimony_score(TREE, as_lists)["parsimony_score"]
    print(f"{rows} x {columns} matrix")
    print(f"{'input':<26} {'best ms':>9} {'median ms':>10} {'vs lists':>9}")
    list_best = None
    for name, matrix in cases.items():
        assert veltrane.parsimony_score(TREE, matrix)["parsimony_score"] == expected
        repeats = 5 if name == "list of lists" else 20
        best, median = best_of(lambda: veltrane.parsimony_score(TREE, matrix), repeats)
        list_best = list_best or best
        print(f"{name:<26} {best * 1e3:>9.2f} {median * 1e3:>10.2f} {list_best / best:>8.1f}x")


if __name__ == "__main__":
    args = [int(a) for a in sys.argv[1:]]
    main(*(args + [100_000, 50][len(args) :]))
