"""The five triplet metrics against plain versions on every road; modes and chunk counts."""

import itertools
import json
import math
import random

import pytest

import oracles
import strategies
import veltrane

REFERENCE, FAST = veltrane.triplets_correct, veltrane.triplets_correct_fast
ULTRA, PARALLEL = veltrane.triplets_correct_ultra, veltrane.triplets_correct_parallel
OPTIMIZED = veltrane.triplets_correct_optimized
BY_LABEL, BY_POSITION = [REFERENCE, FAST], [ULTRA, PARALLEL, OPTIMIZED]
ALL, NAN, NONE = BY_LABEL + BY_POSITION, math.nan, [0.0, 0.0, 1.0, 0.0]


def ratios(result) -> list[float]:
    return [result[k][0] for k in ["all_triplets_correct", "resolvable_triplets_correct",
                                   "unresolved_triplets_correct", "proportion_unresolvable"]]


def same(a, b) -> bool:
    # Equality of float lists in which NaN equals NaN.
    return len(a) == len(b) and all(x == y or math.isnan(x) and math.isnan(y) for x, y in zip(a, b))


def random_pair(n: int, seed: int) -> tuple[str, str]:
    # Two random binary trees over t0 .. t{n-1}, the second with its own leaf order.
    rnd, labels = random.Random(seed), [f"t{i}" for i in range(n)]
    return tuple(strategies.binary_newick(x, rnd) for x in (labels, rnd.sample(labels, n)))


def messy_text(rnd: random.Random, leaves: list) -> str:
    # Multifurcations, and internal labels that may repeat a leaf's.
    inner = [x for x in leaves if x] + ["N"]
    return strategies.random_newick(rnd, leaves, (2, 2, 3, 4), inner, 0.2)


def messy_leaves(rnd: random.Random, n: int) -> list:
    # n leaf labels, some of them missing (None) and some repeated.
    return [None if rnd.random() < 0.1 else f"L{rnd.randrange(max(3, n - 2))}" for _ in range(n)]


@pytest.mark.parametrize("fns, t1, t2, trials, expected", [
    (BY_LABEL, "((A,B),C);", "((A,B),C);", 0, [NAN, 1.0, 1.0, NAN]),
    (BY_LABEL, "(A,B);", "((A,B),C);", 50, NONE),
    (BY_POSITION, "(t0,t1);", "(t0,t1);", 100, [NAN, 1.0, 1.0, NAN]),
    (ALL, "((A,B),(C,D));", "((A,B),(C,D));", 300, [1.0, 1.0, 1.0, 0.0]),
    (BY_LABEL, "((A,B),C);", "(C,(A,B));", 100, [1.0, 1.0, 1.0, 0.0]),
    (BY_POSITION, "((A,B),C);", "(C,(A,B));", 100, NONE),  # leaves paired by position
    (ALL, "(A,B,C,D);", "((A,B),(C,D));", 100, [0.0, 1.0, 0.0, 1.0]),
    (ALL, "(A,B,C,D);", "(D,C,B,A);", 100, [1.0, 1.0, 1.0, 1.0]),
])
def test_documented_cases(fns, t1, t2, trials, expected):
    failed = [fn.__name__ for fn in fns if not same(ratios(fn(t1, t2, trials, seed=4)), expected)]
    assert failed == []


@pytest.mark.parametrize("fn", BY_POSITION)
def test_different_taxon_counts_raise(fn, panic_exception):
    with pytest.raises(panic_exception) as ei:
        fn("((A,B),C);", "((A,B),(C,D));")
    assert str(ei.value) == "Trees must have the same number of taxa"


@pytest.mark.parametrize("seed", range(40))
def test_label_metrics_on_messy_trees(seed):
    rnd = random.Random(seed)
    t1, t2 = (messy_text(rnd, messy_leaves(rnd, rnd.randint(3, 14))) for _ in range(2))
    trials, depth, s = rnd.randint(1, 120), rnd.choice([0, 7, 2**64 - 1]), rnd.getrandbits(64)
    for fn, fast in [(REFERENCE, False), (FAST, True)]:  # min_triplets_at_depth has no effect
        want = oracles.triplets_by_label(t1, t2, trials, s, fast)
        assert same(ratios(fn(t1, t2, trials, depth, s)), want), fn.__name__


@pytest.mark.parametrize("seed", range(24))
def test_exhaustive_counts_by_position(seed):
    rnd = random.Random(seed)
    leaves = messy_leaves(rnd, rnd.choice([3, 7, 20]))
    t1 = messy_text(rnd, leaves)
    shuffled_leaves = rnd.sample(leaves, len(leaves))
    t2 = messy_text(rnd, shuffled_leaves) if seed % 2 else strategies.shuffled(t1, rnd)
    k, fn = len(oracles.position_depths(t1)), BY_POSITION[seed % 3]
    result = fn(t1, t2, 0, rnd.choice([0, 7]))
    outgroups = oracles.triplets_by_position(t1, t2, itertools.combinations(range(k), 3))
    assert result["method_used"].endswith("exhaustive")
    assert same(ratios(result), oracles.ratios(outgroups, math.comb(k, 3)))


@pytest.mark.parametrize("fn, n, trials, threads, method", [  # chunked with two workers
    (ULTRA, 90, 400, None, "sampling"), (PARALLEL, 60, 0, 1, "parallel_exhaustive"),
    (PARALLEL, 60, 0, 2, "parallel_exhaustive"), (PARALLEL, 90, 3000, 1, "parallel_sampling"),
    (PARALLEL, 200, 10001, 2, "parallel_sampling"), (OPTIMIZED, 60, 0, 2, "optimized_exhaustive"),
    (OPTIMIZED, 100, 3000, 1, "optimized_sampling"),
    (OPTIMIZED, 200, 20001, 2, "optimized_sampling"),
    (PARALLEL, 150, 20000, 0, "parallel_sampling"),  # no workers counts as one
])
def test_every_road_against_the_position_table(fn, n, trials, threads, method):
    t1, t2 = random_pair(n, n)
    result = fn(t1, t2, trials, seed=2024, **({} if fn is ULTRA else {"max_threads": threads}))
    chunks = result.get("parallel_chunks_used", 1)
    assert result["method_used"] == method and chunks in (1, threads)  # 1 on a pool of one
    if method.endswith("exhaustive"):
        triples, total = itertools.combinations(range(n), 3), math.comb(n, 3)
    else:
        triples, total = oracles.sampled_positions(n, trials, 2024, chunks), trials
    assert result["total_triplets_checked"] == total
    outgroups = oracles.triplets_by_position(t1, t2, triples)
    assert same(ratios(result), oracles.ratios(outgroups, total))


@pytest.mark.parametrize("n, trials, method, total", [
    (85, 5000, "exhaustive", 98770), (86, 5000, "sampling", 5000),
    (86, 102339, "sampling", 102339), (86, 102340, "exhaustive", 102340),
])
def test_ultra_mode_threshold(n, trials, method, total):
    result = ULTRA(*random_pair(n, 0), trials, seed=1)
    assert (result["method_used"], result["total_triplets_checked"]) == (method, total)


def test_chunk_counts_and_modes_on_eight_workers(python_child):
    rows = [  # (function, leaves, keyword arguments, method_used, total, chunks)
        ("parallel", 100, {}, "parallel_exhaustive", 161700, 8),
        ("optimized", 100, {}, "optimized_exhaustive", 161700, 8),
        ("parallel", 120, {}, "parallel_exhaustive", 280840, 8),
        ("parallel", 121, {}, "parallel_sampling", 10000, 2),
        ("parallel", 121, {"number_of_trials": 287980}, "parallel_exhaustive", 287980, 8),
        ("optimized", 138, {}, "optimized_sampling", 10000, 1),
        ("parallel", 200, {"number_of_trials": 100000}, "parallel_sampling", 100000, 8),
        ("parallel", 200, {"number_of_trials": 7999}, "parallel_sampling", 7999, 1),
        ("optimized", 200, {"number_of_trials": 10**5, "max_threads": 3}, "optimized_sampling",
         10**5, 3),
    ]
    calls = [(f"triplets_correct_{f}", *random_pair(n, n), kw) for f, n, kw, *_ in rows]
    got = python_child("""
        import json, sys, veltrane
        print(json.dumps([getattr(veltrane, f)(t1, t2, **kw) for f, t1, t2, kw in
                          json.load(sys.stdin)]))
        """, json.dumps(calls), RAYON_NUM_THREADS="8")
    assert [(r["method_used"], r["total_triplets_checked"], r["parallel_chunks_used"])
            for r in got] == [tuple(row[3:]) for row in rows]
