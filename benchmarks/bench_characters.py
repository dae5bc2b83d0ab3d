"""Times the four character-based functions on random binary trees with named internal nodes
and 50 characters, the matrix given as a list of lists and as a NumPy array.

    python3 benchmarks/bench_characters.py [sizes...]
"""

from __future__ import annotations

import random
import statistics
import sys
import time

import veltrane

N_CHARACTERS = 50


def random_binary_tree(n: int, rnd: random.Random) -> str:
    """Leaves t0..t{n-1} in random order, internal nodes n0, n1, ... (root last)."""
    pool = [f"t{i}" for i in range(n)]
    rnd.shuffle(pool)
    k = 0
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})n{k}"]
        k += 1
    return pool[0] + ";"


def random_matrix(n: int, rnd: random.Random) -> list[list[int]]:
    """Mostly unedited, some missing, a few edit states per character."""
    states = [0] * 10 + [-1] * 2 + [1, 2, 3, 4, 5]
    return [[rnd.choice(states) for _ in range(N_CHARACTERS)] for _ in range(n)]


def calls(n: int, rnd: random.Random):
    tree, other = random_binary_tree(n, rnd), random_binary_tree(n, rnd)
    return {
        "parsimony_score": lambda m: veltrane.parsimony_score(tree, m),
        "parsimony_p_value": lambda m: veltrane.parsimony_p_value(tree, m),
        "likelihood_score": lambda m: veltrane.likelihood_score(tree, m),
        "likelihood_distance": lambda m: veltrane.likelihood_distance(tree, other, m),
    }


def main(sizes: list[int]) -> None:
    try:
        import numpy
    except ImportError:
        numpy = None
    rnd = random.Random(1)
    header = ("function", "leaves", "matrix", "median s", "min s", "core ms")
    print("{:<20} {:>8} {:>6} {:>9} {:>9} {:>9}".format(*header))
    for n in sizes:
        matrix = random_matrix(n, rnd)
        forms = {"list": matrix}
        if numpy is not None:
            forms["numpy"] = numpy.array(matrix, dtype=numpy.int64)
        for name, call in calls(n, rnd).items():
            for form, m in forms.items():
                times, core = [], []
                for _ in range(5 if n <= 10_000 else 3):
                    start = time.perf_counter()
                    result = call(m)
                    times.append(time.perf_counter() - start)
                    core.append(result.get("computation_time_ms"))  # none for the distance
                core_ms = "-" if core[0] is None else f"{statistics.median(core):.2f}"
                print(
                    f"{name:<20} {n:>8} {form:>6} {statistics.median(times):>9.4f}"
                    f" {min(times):>9.4f} {core_ms:>9}"
                )


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [10_000, 100_000])
