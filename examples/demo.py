"""A short tour: compare a "reconstructed" lineage tree with the true one.

Run after installing veltrane:  python3 examples/demo.py
"""

from __future__ import annotations

import random

import veltrane


def random_binary_tree(labels: list[str], rnd: random.Random) -> str:
    """Joins random pairs of subtrees until one tree is left, and prints it as Newick."""
    pool = list(labels)
    while len(pool) > 1:
        a = pool.pop(rnd.randrange(len(pool)))
        b = pool.pop(rnd.randrange(len(pool)))
        pool.append(f"({a},{b})")
    return pool[0] + ";"


def perturb(newick: str, labels: list[str], swaps: int, rnd: random.Random) -> str:
    """Swaps the names of a few pairs of cells: a reconstruction with some mistakes."""
    mapping = {lab: lab for lab in labels}
    for _ in range(swaps):
        a, b = rnd.sample(labels, 2)
        mapping[a], mapping[b] = mapping[b], mapping[a]
    out, token = [], []
    for ch in newick:
        if ch in "(),;":
            if token:
                out.append(mapping["".join(token)])
                token = []
            out.append(ch)
        else:
            token.append(ch)
    return "".join(out)


def main() -> None:
    rnd = random.Random(2026)
    cells = [f"cell{i}" for i in range(1000)]
    truth = random_binary_tree(cells, rnd)
    print(f"{'swapped cells':>14} {'RF distance':>12} {'normalized':>11} {'time (ms)':>10}")
    for swaps in (0, 5, 50, 500):
        reconstructed = perturb(truth, cells, swaps, rnd)
        result = veltrane.robinson_foulds_distance_normalized(reconstructed, truth)
        print(
            f"{swaps:>14} {result['rf_distance']:>12} {result['normalized_rf_distance']:>11.4f}"
            f" {result['computation_time_ms']:>10.3f}"
        )


if __name__ == "__main__":
    main()
