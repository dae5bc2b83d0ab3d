"""phs_optimized: the pairwise homoplasy score against a plain every-pair version."""

from __future__ import annotations

import math
import os
import random

import pytest

import oracles
import strategies
import veltrane

PHS = veltrane.phs_optimized
FLOOR = 2.0**-52

WORKED = ("((A,B)X,C)R;", [[1, 2], [1, 2], [1, 0]], {"X": [0, 0], "R": [0, 0]})


def big_case(n_leaves: int, seed: int, n_chars: int = 12):
    """Labelled binary tree, sparse random edits, mostly unedited states on internal nodes."""
    rnd = random.Random(seed)
    newick = oracles.binary_newick([f"t{i}" for i in range(n_leaves)], rnd, inner="n")
    alphabet = [-1] + [0] * 5 + list(range(1, 9))
    matrix = [[rnd.choice(alphabet) for _ in range(n_chars)] for _ in range(n_leaves)]
    states = {
        f"n{k}": [rnd.choice([0, 0, 0, 1]) for _ in range(n_chars)] for k in range(n_leaves - 1)
    }
    return newick, matrix, states


def expect_like_oracle(newick, matrix, states, panic_exception, max_threads=None, **kwargs):
    try:
        score, pairs = oracles.phs(newick, matrix, states, **kwargs)
    except oracles.UnorderedPValues:
        score = math.nan
    if math.isnan(score):  # an undefined pair p-value: an error, also for a single pair
        with pytest.raises(ValueError):
            PHS(newick, matrix, states, max_threads=max_threads, **kwargs)
        return None
    result = PHS(newick, matrix, states, max_threads=max_threads, **kwargs)
    assert result["total_pairs"] == pairs
    assert result["phs_score"] == score, (result["phs_score"], score)
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
        "newick, matrix", [("(A,);", []), ("(A,);", [[1, 2]]), ("A;", []), ("((,A),);", [[5]])],
        ids=["leaf-and-unlabelled-no-rows", "leaf-and-unlabelled", "root-leaf", "nested"],
    )
    def test_one_labelled_leaf(self, newick, matrix):
        result = PHS(newick, matrix, {"A": [0]})
        del result["computation_time_ms"]
        assert result == {"phs_score": 1.0, "total_pairs": 0, "method_used": "no_pairs",
                          "parallel_chunks_used": 1}

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
    def test_nan_with_one_pair_is_a_value_error(self, kwargs, rows):
        with pytest.raises(ValueError) as ei:
            PHS("(A,B)R;", rows, {"R": [0, 0]}, **kwargs)
        assert "at depth 0 is undefined" in str(ei.value)

    def test_nan_with_two_pairs_is_a_value_error(self):
        with pytest.raises(ValueError) as ei:
            PHS("(A,B,C)R;", [[1], [1], [1]], {"R": [0]}, mutation_rate=math.nan)
        assert "mutation_rate nan" in str(ei.value)

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
        # Unary nodes, unlabelled and repeated leaves, internal labels shared with leaves, rows
        # of uneven length and in any number, states for some labels and for unknown ones.
        rnd = random.Random(seed)
        case = strategies.random_character_case(rnd)
        newick, matrix, states = case["text"], case["matrix"], case["states"] or {}
        kwargs = {
            "missing_state": case["missing"],
            "unedited_state": case["unedited"],
            "mutation_rate": rnd.choice([None, 0.0, 0.02, 0.3, 1.5]),
            "collision_probability": rnd.choice([None, 0.0, 0.5, 1.0]),
        }
        tree = oracles.parse_newick(newick)
        labelled = sum(tree.label[v] is not None for v in tree.leaves())
        if labelled == 0:
            with pytest.raises(panic_exception):
                PHS(newick, matrix, states, **kwargs)
            return
        if 2 <= labelled > len(matrix):  # one labelled leaf needs no row
            with pytest.raises(ValueError):
                PHS(newick, matrix, states, **kwargs)
            matrix = matrix + [[1, 1, 0]] * (labelled - len(matrix))
        expect_like_oracle(newick, matrix, states, panic_exception, **kwargs)

    @pytest.mark.parametrize("n_leaves, seed", [(70, 1), (130, 2), (200, 3)])
    def test_trees_past_the_sequential_threshold(self, n_leaves, seed, panic_exception):
        newick, matrix, states = big_case(n_leaves, seed)
        for max_threads in (None, 1, 2):
            expect_like_oracle(
                newick, matrix, states, panic_exception, mutation_rate=0.02, max_threads=max_threads
            )


class TestRoads:
    def test_chunk_counts_on_a_pool_of_three(self, python_child):
        code = f"""
            import json, sys
            sys.path.insert(0, {os.path.dirname(__file__)!r})
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
        seq, par = ["optimized_sequential", 1, True], ["optimized_parallel", 2, True]
        par3 = ["optimized_parallel", 3, True]
        # 126 leaves: 7875 pairs, a = 0. 127: 8001 pairs, g0 = 2. 400: 79800 pairs, g0 = 18.
        assert python_child(code, RAYON_NUM_THREADS="3") == [
            seq, seq, seq, par, seq, par3, par, seq, par3
        ]
