"""phs_optimized: the pairwise homoplasy score against a plain every-pair version."""

from __future__ import annotations

import json
import math
import os
import random
import subprocess
import sys
import textwrap

import pytest

import oracles
import veltrane

PHS = veltrane.phs_optimized
FLOOR = 2.0**-52

WORKED = ("((A,B)X,C)R;", [[1, 2], [1, 2], [1, 0]], {"X": [0, 0], "R": [0, 0]})


def binary_tree(n_leaves: int, rnd: random.Random) -> str:
    """A random binary tree with leaves t0.. and every internal node labelled n0.."""
    pool = [f"t{i}" for i in range(n_leaves)]
    inner = 0
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})n{inner}"]
        inner += 1
    return pool[0] + ";"


def big_case(n_leaves: int, seed: int, n_chars: int = 12):
    """Labelled binary tree, sparse random edits, mostly unedited states on internal nodes."""
    rnd = random.Random(seed)
    newick = binary_tree(n_leaves, rnd)
    alphabet = [-1] + [0] * 5 + list(range(1, 9))
    matrix = [[rnd.choice(alphabet) for _ in range(n_chars)] for _ in range(n_leaves)]
    states = {
        f"n{k}": [rnd.choice([0, 0, 0, 1]) for _ in range(n_chars)] for k in range(n_leaves - 1)
    }
    return newick, matrix, states


def random_case(rnd: random.Random, max_leaves: int):
    """Unary nodes, unlabelled and repeated leaves, internal labels shared with leaves, rows of
    uneven length (extra rows too), states for some labels and for unknown ones, odd codes."""
    pool, labels = [], []
    for _ in range(rnd.randint(1, max_leaves)):
        if rnd.random() < 0.1:
            pool.append("")
        else:
            pool.append(f"t{rnd.randrange(max_leaves + 2)}")
            labels.append(pool[-1])
    inner = 0
    while len(pool) > 1 or rnd.random() < 0.1:
        kids = [pool.pop(rnd.randrange(len(pool))) for _ in range(min(len(pool), rnd.randint(1, 4)))]
        text = "(" + ",".join(kids) + ")"
        if rnd.random() < 0.75:
            label = rnd.choice(labels) if labels and rnd.random() < 0.15 else f"n{inner}"
            inner += 1
            text += label
            labels.append(label)
        pool.append(text)
    newick = pool[0] + ";"
    tree = oracles.parse_newick(newick)
    labelled = sum(1 for v in tree.leaves() if tree.label[v] is not None)
    missing, unedited = rnd.choice([(-1, 0), (-1, 0), (7, 3), (5, 5)])
    n = rnd.randrange(6)
    matrix = []
    for _ in range(labelled + rnd.randrange(3)):
        length = max(0, n + rnd.randrange(3) - (rnd.random() < 0.3))
        matrix.append(
            [rnd.choice([missing, unedited, 10, 11, 12, 13]) for _ in range(length)]
        )
    states = {}
    for label in labels + ["nowhere"]:
        if rnd.random() < 0.7:
            states[label] = [rnd.choice([unedited, unedited, unedited, 1])
                             for _ in range(rnd.randrange(n + 3))]
    kwargs = {"missing_state": missing, "unedited_state": unedited}
    kwargs["mutation_rate"] = rnd.choice([None, 0.0, 0.02, 0.3, 1.5])
    kwargs["collision_probability"] = rnd.choice([None, 0.0, 0.5, 1.0])
    return newick, matrix, states, kwargs


def expect_like_oracle(newick, matrix, states, panic_exception, max_threads=None, **kwargs):
    try:
        score, pairs = oracles.phs(newick, matrix, states, **kwargs)
    except oracles.UnorderedPValues:
        with pytest.raises(panic_exception):
            PHS(newick, matrix, states, max_threads=max_threads, **kwargs)
        return None
    result = PHS(newick, matrix, states, max_threads=max_threads, **kwargs)
    assert result["total_pairs"] == pairs
    got = result["phs_score"]
    assert got == score or (math.isnan(got) and math.isnan(score)), (got, score)
    return result


class TestWorkedExample:
    def test_by_hand(self):
        # Pair (A,B) meets at X (depth 1, p = 1); (A,C) and (B,C) at the root share one edit.
        mu = -math.log(1 / 6)
        pi = 0.1 * math.exp(-mu * 0.0) * (1 - math.exp(-mu)) ** 2
        p = 1 - (1 - pi) ** 2
        result = PHS(*WORKED)
        assert result["phs_score"] == pytest.approx(min(3 * p, 3 * p / 2, 1.0), rel=1e-12)
        assert result["phs_score"] == pytest.approx(0.2010995, abs=1e-7)
        assert result["total_pairs"] == 3


class TestNoPairs:
    @pytest.mark.parametrize(
        "newick, matrix",
        [
            ("(A,);", []),
            ("(A,);", [[1, 2]]),
            ("A;", []),
            ("((,A),);", [[5]]),
        ],
        ids=["leaf-and-unlabelled-no-rows", "leaf-and-unlabelled", "root-leaf", "nested"],
    )
    def test_one_labelled_leaf(self, newick, matrix):
        result = PHS(newick, matrix, {"A": [0]})
        del result["computation_time_ms"]
        assert result == {
            "phs_score": 1.0,
            "total_pairs": 0,
            "method_used": "no_pairs",
            "parallel_chunks_used": 1,
        }

    @pytest.mark.parametrize("newick", ["(,);", "();", "", "((,),)X;"])
    def test_no_labelled_leaf_is_a_panic(self, newick, panic_exception):
        with pytest.raises(panic_exception) as ei:
            PHS(newick, [[1]], {})
        assert str(ei.value) == "the tree has no labelled leaf"

    def test_empty_states_give_every_pair_p_one(self):
        result = PHS("((A,B),C);", [[1], [1], [1]], {})
        assert result["phs_score"] == 1.0
        assert result["total_pairs"] == 3


class TestPValueEdges:
    def test_mutation_rate_estimate_counts_every_row(self):
        # One pair at the root sharing one edit: the score is its p-value, 1 - (1 - pi)^3.
        # Rows [1, 0, -1] and [1, 2, 0]: N = 5, E = 3, mu = -ln(0.4); a third, unused row
        # [5, 5, 5] makes N = 8, E = 6.
        for rows, mu in [
            ([[1, 0, -1], [1, 2, 0]], -math.log(0.4)),
            ([[1, 0, -1], [1, 2, 0], [5, 5, 5]], -math.log(1 - 6 / 8)),
        ]:
            estimated = PHS("(A,B)R;", rows, {"R": [0, 0, 0]})["phs_score"]
            assert estimated == PHS("(A,B)R;", rows, {"R": [0, 0, 0]}, mutation_rate=mu)[
                "phs_score"
            ]
            pi = 0.1 * (1 - math.exp(-mu)) ** 2
            assert estimated == pytest.approx(1 - (1 - pi) ** 3, rel=1e-12)

    def test_count_above_n_floors_at_two_to_minus_52(self):
        # Row 0 has one character, so n = 1; A and B share three edits below X at depth 1,
        # where pi = 1 and h > n gives p = 0, floored. The other two pairs have p = 1.
        result = PHS("(Z,(A,B)X)R;", [[1], [1, 2, 3], [1, 2, 3]], {"X": [0, 0, 0]})
        assert result["phs_score"] == 3 * FLOOR

    @pytest.mark.parametrize(
        "kwargs, rows",
        [
            ({"mutation_rate": math.nan}, [[1], [1]]),
            ({"collision_probability": math.nan}, [[1], [1]]),
            ({}, [[1, -1], [1, -1]]),  # every observed entry edited: mu = +inf
        ],
        ids=["nan-rate", "nan-collision", "infinite-estimate"],
    )
    def test_nan_with_one_pair_is_returned(self, kwargs, rows):
        result = PHS("(A,B)R;", rows, {"R": [0, 0]}, **kwargs)
        assert math.isnan(result["phs_score"])
        assert result["total_pairs"] == 1

    def test_nan_with_two_pairs_is_a_panic(self, panic_exception):
        with pytest.raises(panic_exception) as ei:
            PHS("(A,B,C)R;", [[1], [1], [1]], {"R": [0]}, mutation_rate=math.nan)
        assert "NaN" in str(ei.value)

    def test_nan_rate_without_shared_edits_is_harmless(self):
        result = PHS("(A,B,C)R;", [[1], [2], [3]], {"R": [0]}, mutation_rate=math.nan)
        assert result["phs_score"] == 1.0


class TestRowsAndLeaves:
    @pytest.mark.parametrize(
        "newick, matrix, leaves",
        [
            ("((A,B),(C,,D),E);", [[1], [1], [1]], 5),
            ("(A,B);", [], 2),
            ("((A,B)", [[1]], 2),  # unreachable nodes: the row check still comes first
        ],
        ids=["three-of-five", "no-rows", "unbalanced"],
    )
    def test_too_few_rows_is_a_value_error(self, newick, matrix, leaves):
        with pytest.raises(ValueError) as ei:
            PHS(newick, matrix, {})
        assert type(ei.value) is ValueError
        assert str(ei.value) == (
            f"character_matrix has {len(matrix)} rows but the tree has {leaves} labelled leaves"
        )

    def test_unreachable_nodes_panic(self, panic_exception):
        with pytest.raises(panic_exception) as ei:
            PHS("((A,B)", [[1], [1]], {})
        assert "unreachable" in str(ei.value)

class TestAgainstOracle:
    @pytest.mark.parametrize("seed", range(120))
    def test_random_small_inputs(self, seed, panic_exception):
        rnd = random.Random(seed)
        newick, matrix, states, kwargs = random_case(rnd, 14)
        tree = oracles.parse_newick(newick)
        if all(tree.label[v] is None for v in tree.leaves()):
            with pytest.raises(panic_exception):
                PHS(newick, matrix, states, **kwargs)
            return
        expect_like_oracle(newick, matrix, states, panic_exception, **kwargs)

    @pytest.mark.parametrize("n_leaves, seed", [(70, 1), (130, 2), (200, 3)])
    def test_trees_past_the_sequential_threshold(self, n_leaves, seed, panic_exception):
        newick, matrix, states = big_case(n_leaves, seed)
        for max_threads in (None, 1, 2):
            expect_like_oracle(
                newick, matrix, states, panic_exception, mutation_rate=0.02, max_threads=max_threads
            )


class TestRoads:
    @pytest.mark.parametrize("max_threads", [None, 0])
    def test_thread_counts_give_the_one_thread_score(self, max_threads):
        newick, matrix, states = big_case(300, 7)
        got = PHS(newick, matrix, states, mutation_rate=0.02, max_threads=max_threads)
        single = PHS(newick, matrix, states, mutation_rate=0.02, max_threads=1)
        assert got["phs_score"] == single["phs_score"] < 1.0
        assert (single["method_used"], single["parallel_chunks_used"]) == (
            "optimized_sequential", 1)
        if max_threads == 0:
            assert got["method_used"] == "optimized_sequential"

    def test_chunk_counts_on_a_pool_of_three(self):
        # A fresh process, so that the pool is created with three workers.
        code = textwrap.dedent(
            """
            import json, random, sys
            sys.path.insert(0, sys.argv[1])
            from test_phs import big_case
            import veltrane
            out = []
            for n_leaves, max_threads in [(63, None), (64, None), (126, None), (127, None),
                                          (127, 1), (400, None), (400, 2), (400, 0), (400, 9)]:
                newick, matrix, states = big_case(n_leaves, n_leaves)
                r = veltrane.phs_optimized(newick, matrix, states, mutation_rate=0.02,
                                           max_threads=max_threads)
                one = veltrane.phs_optimized(newick, matrix, states, mutation_rate=0.02,
                                             max_threads=1)
                out.append([r["method_used"], r["parallel_chunks_used"],
                            r["phs_score"] == one["phs_score"]])
            print(json.dumps(out))
            """
        )
        env = dict(os.environ, RAYON_NUM_THREADS="3")
        env.pop("RAYON_RS_NUM_CPUS", None)
        proc = subprocess.run(
            [sys.executable, "-c", code, os.path.dirname(__file__)],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
        seq, par = "optimized_sequential", "optimized_parallel"
        # 126 leaves: 7875 pairs, a = 0. 127: 8001 pairs, g0 = 2. 400: 79800 pairs, g0 = 18.
        assert json.loads(proc.stdout) == [
            [seq, 1, True],
            [seq, 1, True],
            [seq, 1, True],
            [par, 2, True],
            [seq, 1, True],
            [par, 3, True],
            [par, 2, True],
            [seq, 1, True],
            [par, 3, True],
        ]
