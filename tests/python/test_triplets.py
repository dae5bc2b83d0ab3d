"""The five triplet metrics: known cases, agreement with plain versions on every road (by
label, exhaustive and sampled by position, sequential and chunked), mode and chunk choices."""

from __future__ import annotations

import itertools
import json
import math
import random

import pytest

import oracles
import strategies
import veltrane

REFERENCE = veltrane.triplets_correct
FAST = veltrane.triplets_correct_fast
ULTRA = veltrane.triplets_correct_ultra
PARALLEL = veltrane.triplets_correct_parallel
OPTIMIZED = veltrane.triplets_correct_optimized

RATIO_KEYS = [
    "all_triplets_correct",
    "resolvable_triplets_correct",
    "unresolved_triplets_correct",
    "proportion_unresolvable",
]
NAN = float("nan")
# Leaves matched by label (reference, fast) or by position (the rest).
BY_LABEL = [REFERENCE, FAST]
BY_POSITION = [ULTRA, PARALLEL, OPTIMIZED]


@pytest.fixture(params=BY_POSITION, ids=["ultra", "parallel", "optimized"])
def positional_fn(request):
    return request.param


def ratios(result):
    return [result[k][0] for k in RATIO_KEYS]


def same(a, b):
    """Equality of float lists in which NaN equals NaN."""
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b)
    )


def random_pair(n, seed):
    """Two random binary trees over t0 .. t{n-1}, the second with its own leaf order."""
    rnd = random.Random(seed)
    labels = [f"t{i}" for i in range(n)]
    return oracles.binary_newick(labels, rnd), oracles.binary_newick(rnd.sample(labels, n), rnd)


def messy_text(rnd, n):
    """A random tree with multifurcations, some unlabelled leaves, repeated labels and
    internal labels that may repeat a leaf's."""
    alphabet = [f"L{i}" for i in range(max(3, n - 2))]
    tree = strategies.random_tree(rnd, [f"x{i}" for i in range(n)], max_arity=4)
    for v in range(len(tree.label)):
        if not tree.children[v]:
            tree.label[v] = None if rnd.random() < 0.1 else rnd.choice(alphabet)
        elif rnd.random() < 0.2:
            tree.label[v] = rnd.choice(alphabet)
    return oracles.to_newick(tree)


ALL = BY_LABEL + BY_POSITION
NONE, FULL, NAN_RATIOS = [0.0, 0.0, 1.0, 0.0], [1.0, 1.0, 1.0, 0.0], [NAN, 1.0, 1.0, NAN]
KNOWN = [  # (id, functions, tree1, tree2, trials, expected ratios)
    ("zero-trials", BY_LABEL, "((A,B),C);", "((A,B),C);", 0, NAN_RATIOS),
    # "(A,(B,));" has two named leaves: the fast metric draws nothing, and every triple the
    # reference metric draws holds the unlabelled leaf, so it is skipped.
    *[(f"few-leaves-{t}", BY_LABEL, t, "((A,B),C);", 50, NONE)
      for t in ["(A,B);", "A;", ";", "(A,(B,));"]],
    *[(f"few-taxa-{t}", BY_POSITION, t, t, 100, NAN_RATIOS) for t in [";", "t0;", "(t0,t1);"]],
    ("identical-4", ALL, "((A,B),(C,D));", "((A,B),(C,D));", 300, FULL),
    ("identical-7", ALL, "(((A,B),(C,D)),((E,F),G));", "(((A,B),(C,D)),((E,F),G));", 300, FULL),
    # Same shape, other order: agreement by label, none by position; and the reverse.
    ("reordered-by-label", BY_LABEL, "((A,B),C);", "(C,(A,B));", 100, FULL),
    ("reordered-by-position", BY_POSITION, "((A,B),C);", "(C,(A,B));", 100, NONE),
    ("sister-swap-by-label", BY_LABEL, "((A,B),C);", "((A,C),B);", 100, NONE),
    ("sister-swap-by-position", BY_POSITION, "((A,B),C);", "((A,C),B);", 100, FULL),
    ("three-taxa-one-triple", BY_POSITION, "((A,B),C);", "(A,(B,C));", 1000, NONE),
    ("star-against-binary", ALL, "(A,B,C,D);", "((A,B),(C,D));", 100, [0.0, 1.0, 0.0, 1.0]),
    ("star-against-star", ALL, "(A,B,C,D);", "(D,C,B,A);", 100, [1.0, 1.0, 1.0, 1.0]),
    ("taxa-missing-from-tree2", BY_LABEL, "((A,B),C);", "((X,Y),Z);", 20, NONE),
    ("star-taxa-missing", BY_LABEL, "(A,B,C);", "((X,Y),Z);", 20, [1.0, 1.0, 1.0, 1.0]),
    ("more-taxa-in-tree2", BY_LABEL, "((A,B),C);", "((A,B),(C,D));", 50, FULL),
    # Three named leaves cover the first three leaves in id order, the unnamed one included.
    ("unnamed-leaf-takes-a-position", BY_POSITION, "(,(A,(B,C)));", "((A,B),C);", 10, NONE),
    ("two-named-leaves", BY_POSITION, "(A,(B,));", "((,A),B);", 10, NAN_RATIOS),
]


@pytest.mark.parametrize(
    "fns, t1, t2, trials, expected", [k[1:] for k in KNOWN], ids=[k[0] for k in KNOWN]
)
def test_known_cases(fns, t1, t2, trials, expected):
    for fn in fns:
        assert same(ratios(fn(t1, t2, trials, seed=4)), expected), fn.__name__


class TestKnownCases:
    @pytest.mark.parametrize("fn", BY_LABEL + BY_POSITION)
    @pytest.mark.parametrize("depth", [0, 2**64 - 1])
    def test_min_triplets_at_depth_has_no_effect(self, fn, depth):
        t1, t2 = random_pair(30, 1)
        assert fn(t1, t2, 200, depth, 9) == fn(t1, t2, 200, seed=9)

    def test_different_taxon_counts_raise(self, positional_fn, panic_exception):
        with pytest.raises(panic_exception) as ei:
            positional_fn("((A,B),C);", "((A,B),(C,D));")
        assert str(ei.value) == "Trees must have the same number of taxa"


class TestUnreachableNodes:
    BROKEN = "((A,B),(C,D)"  # (C,D) is never attached to the root

    @pytest.mark.parametrize("fn", [FAST, ULTRA, PARALLEL, OPTIMIZED])
    @pytest.mark.parametrize("which", [0, 1])
    def test_tables_fail_for_either_tree_even_without_trials(self, fn, which, panic_exception):
        texts = ["((A,B),(C,D));", "((A,B),(C,D));"]
        texts[which] = self.BROKEN
        with pytest.raises(panic_exception) as ei:
            fn(*texts, 0, seed=1)
        assert "unreachable" in str(ei.value)

    def test_reference_fails_only_when_a_broken_tree_is_queried(self, panic_exception):
        good = "((A,B),(C,D));"
        # No trial, or no query of the broken tree because its labels are not asked for.
        assert same(ratios(REFERENCE(self.BROKEN, good, 0, seed=1)), [NAN, 1.0, 1.0, NAN])
        assert ratios(REFERENCE(good, "((P,Q),(R,S)", 30, seed=1)) == [0.0, 0.0, 1.0, 0.0]
        for texts in [(self.BROKEN, good), (good, self.BROKEN)]:
            with pytest.raises(panic_exception) as ei:
                REFERENCE(*texts, 30, seed=1)
            assert "unreachable" in str(ei.value)


class TestAgainstOracles:
    @pytest.mark.parametrize("case", range(12))
    def test_label_metrics_on_messy_trees(self, case):
        rnd = random.Random(case)
        t1 = messy_text(rnd, rnd.randint(3, 14))
        t2 = messy_text(rnd, rnd.randint(3, 14))
        trials, seed = rnd.randint(1, 120), rnd.getrandbits(64)
        for fn, fast in [(REFERENCE, False), (FAST, True)]:
            want = oracles.triplets_by_label(t1, t2, trials, seed, fast)
            assert same(ratios(fn(t1, t2, trials, seed=seed)), want), fn.__name__

    def test_reference_resolves_labels_through_internal_nodes(self):
        # The inner node (C,D) is labelled "A" after the leaf A, so the label names that node.
        t1 = "((A,B),(C,D)A);"
        t2 = "((A,B),(C,D));"
        got = ratios(REFERENCE(t1, t2, 200, seed=12))
        assert same(got, oracles.triplets_by_label(t1, t2, 200, 12, fast=False))
        assert got != ratios(FAST(t1, t2, 200, seed=12))

    @pytest.mark.parametrize("n", [3, 7, 20])
    def test_exhaustive_positional_counts(self, positional_fn, n):
        rnd = random.Random(n)
        t1 = messy_text(rnd, n)
        t2 = oracles.to_newick(strategies.shuffled(oracles.parse_newick(t1), rnd))
        result = positional_fn(t1, t2)
        k = oracles.PositionDepths(t1).n
        counts = oracles.triplets_positional(t1, t2, itertools.combinations(range(k), 3))
        assert result["method_used"].endswith("exhaustive")
        assert same(ratios(result), oracles.triplet_ratios(counts, math.comb(k, 3)))

    # (function, leaves, trials, max_threads, method): every road of the positional metrics;
    # the chunked ones need two workers, and give one chunk on a pool of one.
    ROADS = [
        (ULTRA, 90, 400, None, "sampling"),
        (PARALLEL, 60, 0, 1, "parallel_exhaustive"),
        (PARALLEL, 60, 0, 2, "parallel_exhaustive"),  # chunked
        (PARALLEL, 90, 3000, 1, "parallel_sampling"),
        (PARALLEL, 200, 10001, 2, "parallel_sampling"),  # chunked, trials split unevenly
        (OPTIMIZED, 60, 0, 2, "optimized_exhaustive"),  # chunked
        (OPTIMIZED, 100, 3000, 1, "optimized_sampling"),
        (OPTIMIZED, 200, 20001, 2, "optimized_sampling"),  # chunked, likewise
    ]

    @pytest.mark.parametrize("fn, n, trials, threads, method", ROADS)
    def test_every_road_against_the_position_table(self, fn, n, trials, threads, method):
        t1, t2 = random_pair(n, n)
        kwargs = {} if fn is ULTRA else {"max_threads": threads}
        result = fn(t1, t2, trials, seed=2024, **kwargs)
        chunks = result.get("parallel_chunks_used", 1)
        assert result["method_used"] == method
        assert chunks == 1 or (threads == 2 and chunks == 2)  # 2 on a pool of two or more
        if method.endswith("exhaustive"):
            triples, total = itertools.combinations(range(n), 3), math.comb(n, 3)
        else:
            triples, total = oracles.sampled_positions(n, trials, 2024, chunks), trials
        counts = oracles.triplets_positional(t1, t2, triples)
        assert result["total_triplets_checked"] == total
        assert same(ratios(result), oracles.triplet_ratios(counts, total))

    def test_the_stream_oracle_is_textbook_chacha(self):
        # The published 20-round block for key 00..1f, counter 1, nonce 00000009 0000004a
        # 00000000: output bytes 10 f1 e7 e4 d1 3b 59 15 ... a2 50 3c 4e.
        key = [int.from_bytes(bytes(range(i, i + 4)), "little") for i in range(0, 32, 4)]
        state = oracles.CHACHA_CONSTANTS + key + [1, 0x09000000, 0x4A000000, 0]
        block = oracles.chacha_block(state, rounds=20)
        assert (block[0], block[1], block[15]) == (0xE4E7F110, 0x15593BD1, 0x4E3C50A2)


class TestModeChoice:
    @pytest.mark.parametrize(
        "n, trials, method, total",
        [
            (85, 5000, "exhaustive", 98770),
            (86, 5000, "sampling", 5000),
            (86, 102339, "sampling", 102339),
            (86, 102340, "exhaustive", 102340),
        ],
    )
    def test_ultra_threshold(self, n, trials, method, total):
        t1, t2 = random_pair(n, 0)
        result = ULTRA(t1, t2, trials, seed=1)
        assert (result["method_used"], result["total_triplets_checked"]) == (method, total)

    @pytest.mark.parametrize("fn", [PARALLEL, OPTIMIZED], ids=["parallel", "optimized"])
    def test_zero_max_threads_counts_as_one(self, fn):
        t1, t2 = random_pair(150, 9)
        for trials in (20000, 10**9):
            assert fn(t1, t2, trials, seed=3, max_threads=0) == fn(
                t1, t2, trials, seed=3, max_threads=1
            )


# Runs (function name, newick pair, kwargs) calls read from stdin and prints their results
# (float keys and NaN survive JSON).
POOL_CHILD = """
import json, sys, veltrane
out = []
for name, t1, t2, kw in json.loads(sys.stdin.read()):
    r = getattr(veltrane, name)(t1, t2, **kw)
    out.append({k: (v[0] if isinstance(v, dict) else v) for k, v in r.items()})
print(json.dumps(out))
"""


@pytest.fixture
def run_with_pool(python_child):
    """The results of the calls in a fresh interpreter whose pool has `threads` workers."""
    return lambda threads, calls: python_child(
        POOL_CHILD, json.dumps(calls), RAYON_NUM_THREADS=str(threads)
    )


class TestPoolSizes:
    def test_chunk_counts_and_modes_on_eight_workers(self, run_with_pool):
        rows = [  # (function, leaves, keyword arguments, method_used, total, chunks)
            ("parallel", 100, {}, "parallel_exhaustive", 161700, 8),
            ("optimized", 100, {}, "optimized_exhaustive", 161700, 8),
            ("parallel", 120, {}, "parallel_exhaustive", 280840, 8),
            ("parallel", 121, {}, "parallel_sampling", 10000, 2),
            ("parallel", 121, {"number_of_trials": 287980}, "parallel_exhaustive", 287980, 8),
            ("optimized", 137, {}, "optimized_exhaustive", 419220, 8),
            ("optimized", 138, {}, "optimized_sampling", 10000, 1),
            ("parallel", 200, {"seed": 7}, "parallel_sampling", 10000, 2),
            ("parallel", 200, {"number_of_trials": 100000}, "parallel_sampling", 100000, 8),
            ("parallel", 200, {"number_of_trials": 7999}, "parallel_sampling", 7999, 1),
            ("optimized", 200, {"number_of_trials": 20000}, "optimized_sampling", 20000, 2),
            ("optimized", 200, {"number_of_trials": 100000}, "optimized_sampling", 100000, 8),
            ("optimized", 200, {"number_of_trials": 100000, "max_threads": 3},
             "optimized_sampling", 100000, 3),
        ]
        calls = [(f"triplets_correct_{f}", *random_pair(n, n), kw) for f, n, kw, *_ in rows]
        got = [(r["method_used"], r["total_triplets_checked"], r["parallel_chunks_used"])
               for r in run_with_pool(8, calls)]
        assert got == [tuple(row[3:]) for row in rows]

    def test_same_seed_and_chunk_count_give_the_same_result_on_any_pool(self, run_with_pool):
        t1, t2 = random_pair(300, 11)
        calls = [
            ("triplets_correct_parallel", t1, t2, {"seed": 99}),  # 2 chunks on 2+ workers
            ("triplets_correct_parallel", t1, t2, {"number_of_trials": 100000, "seed": 99,
                                                   "max_threads": 2}),
            ("triplets_correct_optimized", t1, t2, {"number_of_trials": 20000, "seed": 99}),
        ]
        small, large = run_with_pool(2, calls), run_with_pool(8, calls)
        assert [r["parallel_chunks_used"] for r in small] == [2, 2, 2]
        assert small == large
        # Here and in the pytest process (whatever its pool), one worker gives one chunk.
        alone = run_with_pool(1, calls)
        assert [r["parallel_chunks_used"] for r in alone] == [1, 1, 1]
        here = PARALLEL(t1, t2, seed=99, max_threads=1)
        assert {k: (v[0] if isinstance(v, dict) else v) for k, v in here.items()} == alone[0]
