"""The five triplet metrics: result shape, known cases, agreement with plain versions
and between variants, mode and chunk choices."""

from __future__ import annotations

import itertools
import json
import math
import os
import random
import subprocess
import sys

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

BY_NAME = {
    "triplets_correct": REFERENCE,
    "triplets_correct_fast": FAST,
    "triplets_correct_ultra": ULTRA,
    "triplets_correct_parallel": PARALLEL,
    "triplets_correct_optimized": OPTIMIZED,
}
# Leaves matched by label (reference, fast) or by position (the rest).
BY_LABEL = [REFERENCE, FAST]
BY_POSITION = [ULTRA, PARALLEL, OPTIMIZED]
EXHAUSTIVE_METHOD = {
    ULTRA: "exhaustive",
    PARALLEL: "parallel_exhaustive",
    OPTIMIZED: "optimized_exhaustive",
}


@pytest.fixture(params=list(BY_NAME), ids=list(BY_NAME))
def triplet_fn(request):
    return BY_NAME[request.param]


@pytest.fixture(params=["ultra", "parallel", "optimized"])
def positional_fn(request):
    return BY_NAME[f"triplets_correct_{request.param}"]


def ratios(result):
    return [result[k][0] for k in RATIO_KEYS]


def same(a, b):
    """Equality of float lists in which NaN equals NaN."""
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b)
    )


def random_binary(labels, rnd):
    pool = list(labels)
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})"]
    return pool[0] + ";"


def random_pair(n, seed):
    """Two random binary trees over t0 .. t{n-1}, the second with its own leaf order."""
    rnd = random.Random(seed)
    labels = [f"t{i}" for i in range(n)]
    shuffled = rnd.sample(labels, n)
    return random_binary(labels, rnd), random_binary(shuffled, rnd)


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
    @pytest.mark.parametrize("depth", [0, 2**64 - 1])
    def test_min_triplets_at_depth_has_no_effect(self, triplet_fn, depth):
        t1, t2 = random_pair(30, 1)
        assert triplet_fn(t1, t2, 200, depth, 9) == triplet_fn(t1, t2, 200, seed=9)

    def test_fast_ignores_child_order_in_the_second_tree(self):
        t1, t2 = random_pair(40, 3)
        mirrored = oracles.to_newick(
            strategies.shuffled(oracles.parse_newick(t2), random.Random(5))
        )
        assert FAST(t1, mirrored, 500, seed=1) == FAST(t1, t2, 500, seed=1)

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
    def test_reference_and_fast_on_messy_trees(self, case):
        rnd = random.Random(case)
        t1 = messy_text(rnd, rnd.randint(3, 14))
        t2 = messy_text(rnd, rnd.randint(3, 14))
        trials, seed = rnd.randint(1, 120), rnd.getrandbits(64)
        assert same(
            ratios(REFERENCE(t1, t2, trials, seed=seed)),
            oracles.triplets_reference(t1, t2, trials, seed),
        )
        assert same(
            ratios(FAST(t1, t2, trials, seed=seed)), oracles.triplets_fast(t1, t2, trials, seed)
        )

    def test_reference_resolves_labels_through_internal_nodes(self):
        # The inner node (C,D) is labelled "A" after the leaf A, so the label names that node.
        t1 = "((A,B),(C,D)A);"
        t2 = "((A,B),(C,D));"
        got = ratios(REFERENCE(t1, t2, 200, seed=12))
        assert same(got, oracles.triplets_reference(t1, t2, 200, 12))
        assert got != ratios(FAST(t1, t2, 200, seed=12))

    @pytest.mark.parametrize("n", [3, 7, 20])
    def test_exhaustive_positional_counts(self, positional_fn, n):
        rnd = random.Random(n)
        t1 = messy_text(rnd, n)
        t2 = oracles.to_newick(strategies.shuffled(oracles.parse_newick(t1), rnd))
        result = positional_fn(t1, t2)
        k = oracles.PositionDepths(t1).n
        counts = oracles.triplets_positional(t1, t2, itertools.combinations(range(k), 3))
        assert result["method_used"] == EXHAUSTIVE_METHOD[positional_fn]
        assert same(ratios(result), oracles.triplet_ratios(counts, math.comb(k, 3)))

    def test_exhaustive_positional_counts_on_random_trees(self):
        hypothesis = pytest.importorskip("hypothesis")

        @hypothesis.settings(max_examples=25, deadline=None)
        @hypothesis.given(strategies.newick_trees(), strategies.newick_trees())
        def check(tree1, tree2):
            t1, t2 = oracles.to_newick(tree1), oracles.to_newick(tree2)
            n1, n2 = oracles.PositionDepths(t1).n, oracles.PositionDepths(t2).n
            if n1 != n2:
                return
            counts = oracles.triplets_positional(t1, t2, itertools.combinations(range(n1), 3))
            want = oracles.triplet_ratios(counts, math.comb(n1, 3))
            for fn in BY_POSITION:
                assert same(ratios(fn(t1, t2)), want)

        check()

    def test_ultra_sampling(self):
        t1, t2 = random_pair(90, 4)
        result = ULTRA(t1, t2, 400, seed=77)
        assert (result["method_used"], result["total_triplets_checked"]) == ("sampling", 400)
        drawn = oracles.sampled_positions(90, 400, 77, 1)
        want = oracles.triplet_ratios(oracles.triplets_positional(t1, t2, drawn), 400)
        assert same(ratios(result), want)

    @pytest.mark.parametrize(
        "fn, trials", [(PARALLEL, 10000), (OPTIMIZED, 20000)], ids=["parallel", "optimized"]
    )
    def test_chunked_sampling_uses_one_seed_per_chunk(self, fn, trials):
        t1, t2 = random_pair(200, 5)
        result = fn(t1, t2, trials, seed=2024, max_threads=2)
        chunks = result["parallel_chunks_used"]
        assert chunks in (1, 2)  # 2 whenever the pool has two workers
        drawn = oracles.sampled_positions(200, trials, 2024, chunks)
        want = oracles.triplet_ratios(oracles.triplets_positional(t1, t2, drawn), trials)
        assert same(ratios(result), want)


class TestVariantsAgree:
    @pytest.mark.parametrize("n, trials", [(30, 5000), (100, 5000), (100, 300), (90, 10**6)])
    def test_ultra_equals_parallel_on_one_thread(self, n, trials):
        t1, t2 = random_pair(n, n)
        u = ULTRA(t1, t2, trials, seed=31)
        p = PARALLEL(t1, t2, trials, seed=31, max_threads=1)
        assert ratios(u) == ratios(p)
        assert u["total_triplets_checked"] == p["total_triplets_checked"]
        assert p["parallel_chunks_used"] == 1

    @pytest.mark.parametrize("n, trials", [(60, 0), (100, 200000), (130, 10**12)])
    def test_exhaustive_parallel_equals_optimized(self, n, trials):
        t1, t2 = random_pair(n, n + 1)
        for threads in (1, 2, None):
            p = PARALLEL(t1, t2, trials, max_threads=threads)
            o = OPTIMIZED(t1, t2, trials, max_threads=threads)
            assert p["method_used"] == "parallel_exhaustive"
            assert o["method_used"] == "optimized_exhaustive"
            assert ratios(p) == ratios(o)
            assert p["total_triplets_checked"] == o["total_triplets_checked"] == math.comb(n, 3)

    def test_optimized_on_one_thread_samples_like_ultra(self):
        t1, t2 = random_pair(100, 7)  # 161700 triples, above both thresholds for one worker
        u = ULTRA(t1, t2, 3000, seed=8)
        o = OPTIMIZED(t1, t2, 3000, seed=8, max_threads=1)
        assert o["method_used"] == "optimized_sampling"
        assert ratios(u) == ratios(o)

    @pytest.mark.parametrize("seed", [0, 1, 2**64 - 1])
    def test_fast_equals_reference_on_fully_labelled_trees(self, seed):
        t1, t2 = random_pair(50, seed % 97)
        assert FAST(t1, t2, 700, seed=seed) == REFERENCE(t1, t2, 700, seed=seed)

    @pytest.mark.parametrize("fn", [PARALLEL, OPTIMIZED], ids=["parallel", "optimized"])
    def test_zero_max_threads_counts_as_one(self, fn):
        t1, t2 = random_pair(150, 9)
        for trials in (20000, 10**9):
            assert fn(t1, t2, trials, seed=3, max_threads=0) == fn(
                t1, t2, trials, seed=3, max_threads=1
            )

    def test_exhaustive_results_ignore_the_seed(self, positional_fn):
        t1, t2 = random_pair(40, 10)
        assert positional_fn(t1, t2, seed=1) == positional_fn(t1, t2, seed=2)
        assert positional_fn(t1, t2) == positional_fn(t1, t2, seed=None)


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

    def test_sampling_with_zero_trials(self):
        t1, t2 = random_pair(86, 0)
        result = ULTRA(t1, t2, 0, seed=1)
        assert result["method_used"] == "sampling"
        assert result["total_triplets_checked"] == 0
        assert same(ratios(result), [NAN, 1.0, 1.0, NAN])

    @pytest.mark.parametrize("fn", [PARALLEL, OPTIMIZED], ids=["parallel", "optimized"])
    def test_small_trees_are_always_exhaustive(self, fn):
        # 25 leaves are checked exactly even when no trial is asked for.
        t1, t2 = random_pair(25, 1)
        result = fn(t1, t2, 0, max_threads=1)
        assert result["total_triplets_checked"] == 2300
        assert result["method_used"].endswith("_exhaustive")


def run_with_pool(threads: int, calls: list) -> list:
    """Runs the given (function name, newick pair, kwargs) calls in a fresh interpreter whose
    pool has `threads` workers, and returns their results (float keys and NaN survive JSON)."""
    code = (
        "import json, sys, veltrane\n"
        "out = []\n"
        "for name, t1, t2, kw in json.loads(sys.stdin.read()):\n"
        "    r = getattr(veltrane, name)(t1, t2, **kw)\n"
        "    out.append({k: (v[0] if isinstance(v, dict) else v) for k, v in r.items()})\n"
        "print(json.dumps(out))\n"
    )
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    proc = subprocess.run(
        [sys.executable, "-c", code],
        input=json.dumps(calls),
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


class TestPoolSizes:
    def test_chunk_counts_and_modes_on_eight_workers(self):
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

    def test_same_seed_and_chunk_count_give_the_same_result_on_any_pool(self):
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
