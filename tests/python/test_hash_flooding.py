"""Labels crafted to collide in the label tables: every function gives what it gives for the
same trees with plain labels. (That such labels no longer cost quadratic time is measured in
benchmarks/bench_flood.py, not here.)"""

from __future__ import annotations

import random

import pytest

import veltrane as V

np = pytest.importorskip("numpy")

MASK = (1 << 64) - 1
START16 = (0x9E3779B97F4A7C15 * 17) & MASK  # the unkeyed hash's state for a 16-byte label
ALLOWED = np.array([0x20 < c < 0x7F and chr(c) not in "(),:;'\"[]" for c in range(256)])


def mix64(x):
    """The table hash's finaliser, on Python ints or on NumPy uint64 arrays."""
    if isinstance(x, int):
        x ^= x >> 30
        x = (x * 0xBF58476D1CE4E5B9) & MASK
        x ^= x >> 27
        x = (x * 0x94D049BB133111EB) & MASK
        return x ^ (x >> 31)
    x = x ^ (x >> np.uint64(30))
    x = x * np.uint64(0xBF58476D1CE4E5B9)
    x = x ^ (x >> np.uint64(27))
    x = x * np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def unmix64(h: int) -> int:
    def unshift(x, s):
        y = x
        for _ in range(64 // s + 1):
            y = x ^ (y >> s)
        return y

    h = unshift(h, 31)
    h = (h * pow(0x94D049BB133111EB, -1, 1 << 64)) & MASK
    h = unshift(h, 27)
    h = (h * pow(0xBF58476D1CE4E5B9, -1, 1 << 64)) & MASK
    return unshift(h, 30)


def unkeyed_hash16(label: bytes) -> int:
    """The label hash without a key (as the tables used it before), for 16-byte labels."""
    w0, w1 = int.from_bytes(label[:8], "little"), int.from_bytes(label[8:], "little")
    return mix64(mix64(START16 ^ w0) ^ w1)


def colliding_labels(count: int, seed: int = 0) -> list[str]:
    """count distinct 16-byte labels with one unkeyed hash: a random printable first word, and
    the second word that the inverted final mix demands, kept when it is printable too."""
    rng = np.random.default_rng(seed)
    alphabet = np.flatnonzero(ALLOWED).astype(np.uint8)
    target = unmix64(unkeyed_hash16(b"flood-flood-0000"))
    found: dict[bytes, None] = {}
    while len(found) < count:
        first = rng.choice(alphabet, size=(1 << 18, 8))
        w0 = first.copy().view("<u8").ravel()
        w1 = np.uint64(target) ^ mix64(np.uint64(START16) ^ w0)
        second = w1.astype("<u8").view(np.uint8).reshape(-1, 8)
        for i in np.flatnonzero(ALLOWED[second].all(axis=1)):
            found[first[i].tobytes() + second[i].tobytes()] = None
    return [label.decode("ascii") for label in list(found)[:count]]


N = 500


def test_every_function_gives_the_results_of_plain_labels():
    labels = colliding_labels(2 * N - 1)
    assert len({unkeyed_hash16(label.encode()) for label in labels}) == 1  # they do collide
    plain = run_all([f"t{i}" for i in range(N)], [f"n{k}" for k in range(N - 1)])
    assert run_all(labels[:N], labels[N:]) == plain and plain[0]["rf_distance"] > 0


def tree(leaves, inner, rnd) -> str:
    # A random binary tree over the leaves in their order, its internal nodes named by inner.
    pool = list(leaves)
    for name in inner:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]}){name}"]
    return pool[0] + ";"


def run_all(leaves, inner):
    # Every function on trees of the same shapes over these names.
    rnd = random.Random(7)
    t1, t2 = tree(leaves, [""] * (N - 1), rnd), tree(rnd.sample(leaves, N), [""] * (N - 1), rnd)
    first, other = (tree(leaves, inner, random.Random(s)) for s in (8, 9))
    matrix = [[rnd.choice([-1, 0, 0, 1, 2]) for _ in range(6)] for _ in range(N)]
    states = {name: [rnd.choice([0, 0, 1]) for _ in range(6)] for name in inner}
    out = [V.robinson_foulds_distance(t1, t2), V.robinson_foulds_distance_normalized(t1, t2),
           V.triplets_correct(t1, t2, 3000, seed=1), V.triplets_correct_fast(t1, t2, 3000, seed=2),
           V.parsimony_score(first, matrix), V.parsimony_p_value(first, matrix, states, 0.1),
           V.likelihood_distance(first, other, matrix, states, states, 0.1, 0.2),
           V.phs_optimized(first, matrix, states, 0.001, 0.2)]
    out += [f(first, other, 3000, seed=3) for f in (V.triplets_correct_ultra,
            V.triplets_correct_parallel, V.triplets_correct_optimized)]
    return [{k: v for k, v in r.items() if k != "computation_time_ms"} for r in out]
