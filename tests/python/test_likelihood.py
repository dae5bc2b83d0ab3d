"""Likelihood score and likelihood distance; deep trees for every character-based score."""

from __future__ import annotations

import math

import pytest

import oracles
import veltrane

LS = veltrane.likelihood_score
LD = veltrane.likelihood_distance

WORKED = "((A,B)X,(C,D)Y)R;"
WORKED_ROWS = [[1], [1], [2], [0]]
P_MUT = 0.09516258196404048
LOG_MUT = math.log(0.1 * P_MUT)
LOG_STAY = math.log(1.0 - P_MUT)


def ll(*args, **kwargs) -> float:
    return LS(*args, **kwargs)["log_likelihood"]


def same_float(a: float, b: float) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1, a) == math.copysign(1, b)


def added(*terms: float) -> float:
    """0.0 + t1 + t2 + ..., left to right."""
    total = 0.0
    for t in terms:
        total = total + t
    return total


class TestLikelihoodScore:
    @pytest.mark.parametrize(
        "rows", [[], [[]], [[], [1, 2]]], ids=["no-rows", "empty-row", "empty-first-row"]
    )
    def test_empty_data(self, rows):
        assert LS(WORKED, rows) == {
            "log_likelihood": 0.0,
            "likelihood": 1.0,
            "computation_time_ms": 0.0,
            "method_used": "empty_data",
            "n_characters": 0,
            "n_leaves": 4,
        }

    @pytest.mark.parametrize(
        "text, rows, states, terms",
        [
            (WORKED, WORKED_ROWS, None, [LOG_MUT, 0.0, 0.0, LOG_STAY, LOG_MUT, LOG_STAY]),
            ("((A,B),(C,D));", WORKED_ROWS, None, []),  # no internal names: nothing scored
            # X given as edited 1 while its child A carries 2.
            (WORKED, [[2], [1], [2], [0]], {"R": [0], "X": [1], "Y": [0]}, [-math.inf]),
            # A = [2] in the given states is ignored: A reads its row [1]. With X = [1], Y = [0],
            # R = [0], edges in node-id order: R-X, X-A, X-B, R-Y, Y-C, Y-D.
            (WORKED, WORKED_ROWS, {"R": [0], "X": [1], "Y": [0], "A": [2]},
             [LOG_MUT, 0.0, 0.0, LOG_STAY, LOG_MUT, LOG_STAY]),
            ("(A,B)R;", [[-1], [0]], {"R": [0]}, [0.0, LOG_STAY]),
            ("(A,B)R;", [[-1], [3]], {"R": [-1]}, [0.0, 0.0]),
            ("(A,B)R;", [[5], [-1]], {"R": [5]}, [0.0, 0.0]),
            ("(A,B)R;", [[0], [4]], {"R": [4]}, [-math.inf, 0.0]),
            ("(A,B)R;", [[1], [1]], {"R": [1]}, [0.0, 0.0]),  # given states are not forced
            ("(A,B)R;", [[1], [1]], None, [LOG_MUT, LOG_MUT]),  # inferred [1], forced [0]
            # R is forced unedited; X is never inferred, so X-A and X-B add nothing.
            ("((A,B)X,C,D)R;", WORKED_ROWS, None, [0.0, 0.0, 0.0, LOG_MUT, LOG_STAY]),
        ],
        ids=["worked", "no-internal-names", "impossible", "leaf-row-wins", "missing-child",
             "missing-parent", "edited-kept", "reverted", "given-not-forced", "forced-root",
             "three-children"],
    )
    def test_edge_terms(self, text, rows, states, terms):
        result = LS(text, rows, states)
        assert result["log_likelihood"] == added(*terms) == oracles.log_likelihood(
            text, rows, states)
        assert result["likelihood"] == math.exp(added(*terms))
        n_leaves = len(oracles.parse_newick(text).leaves())
        assert (result["n_characters"], result["n_leaves"]) == (len(rows[0]), n_leaves)

    @pytest.mark.parametrize(
        "mutation_rate, collision",
        [(0.5, None), (None, 0.3), (2, 1), (0.0, None), (None, 0.0), (math.inf, None),
         (None, -0.1), (-1.0, None), (math.nan, None)],
        ids=["rate", "collision", "ints", "zero-rate", "zero-collision", "infinite-rate",
             "negative-collision", "negative-rate", "nan-rate"],
    )
    def test_model_parameters(self, mutation_rate, collision):
        # Zeros and infinities give infinite logarithms; invalid values flow into NaN.
        result = LS(WORKED, WORKED_ROWS, None, mutation_rate, collision)
        total = oracles.log_likelihood(WORKED, WORKED_ROWS, None, mutation_rate, collision)
        assert same_float(result["log_likelihood"], total)
        assert same_float(result["likelihood"], math.exp(total))

    def test_each_edge_is_summed_before_the_total(self):
        # A case where summing every term in one running sum gives other bits.
        rows = [[-1, 2, 2, 0], [0, 0, -1, 2], [0, 0, 0, -1], [0, 1, 0, 1]]
        p = 1.0 - math.exp(-0.97)
        log_mut, log_stay = math.log(0.66 * p), math.log(1.0 - p)
        # X = [0, 0, 0, 0] (A and B disagree or are missing), Y = [0, 0, 0, 0], R = [0] * 4.
        edge_terms = [
            [log_stay] * 4,  # R-X
            [log_mut, log_mut, log_stay],  # X-A (A[0] missing)
            [log_stay, log_stay, log_mut],  # X-B (B[2] missing)
            [log_stay] * 4,  # R-Y
            [log_stay, log_stay, log_stay],  # Y-C (C[3] missing)
            [log_stay, log_mut, log_stay, log_mut],  # Y-D
        ]
        edge_first = added(*(added(*terms) for terms in edge_terms))
        one_sum = added(*(t for terms in edge_terms for t in terms))
        assert edge_first != one_sum
        assert ll(WORKED, rows, None, 0.97, 0.66) == edge_first


STAR = "(A,B,C,D)R;"
IMPOSSIBLE_X, IMPOSSIBLE_Y = {"R": [0], "X": [2]}, {"R": [0], "Y": [5]}
# (id, reconstructed, ground truth, rows, reconstructed states, ground-truth states, distance)
DISTANCES = [
    ("same-tree", WORKED, WORKED, WORKED_ROWS, None, None, 0.0),
    ("star-explains-worse", WORKED, STAR, WORKED_ROWS, None, None,
     oracles.log_likelihood(STAR, WORKED_ROWS) / oracles.log_likelihood(WORKED, WORKED_ROWS) - 1),
    ("better-ground-truth-is-zero", STAR, WORKED, WORKED_ROWS, None, None, 0.0),
    # Rows go by position in each tree's own text order: by name, the distance would be > 0.
    ("rows-by-position", "((A,B)X,C)R;", "((C,B)X,A)R;", [[1], [1], [0]], None, None, 0.0),
    ("ground-truth-impossible", WORKED, WORKED, WORKED_ROWS, None, IMPOSSIBLE_X, math.inf),
    ("reconstructed-impossible", WORKED, WORKED, WORKED_ROWS, IMPOSSIBLE_X, None, 0.0),
    ("both-impossible-nan", WORKED, WORKED, WORKED_ROWS, IMPOSSIBLE_X, IMPOSSIBLE_Y, 0.0),
    ("zero-reconstructed", "((A,B),(C,D));", WORKED, WORKED_ROWS, None, None, math.inf),
    ("both-zero", "((A,B),(C,D));", "((A,B),(C,D));", WORKED_ROWS, None, None, math.inf),
    ("empty-matrix", WORKED, WORKED, [], None, None, math.inf),
]


@pytest.mark.parametrize(
    "rec, gt, rows, rec_states, gt_states, expected",
    [d[1:] for d in DISTANCES],
    ids=[d[0] for d in DISTANCES],
)
def test_likelihood_distance(rec, gt, rows, rec_states, gt_states, expected):
    result = LD(rec, gt, rows, rec_states, gt_states)
    assert result == {"likelihood_distance": expected}


def test_nan_likelihood_gives_distance_zero():
    assert LD(WORKED, WORKED, WORKED_ROWS, collision_probability=-1.0) == {
        "likelihood_distance": 0.0
    }


class TestAgainstOracle:
    @pytest.fixture(autouse=True)
    def hypothesis(self):
        return pytest.importorskip("hypothesis")

    def test_random_cases(self):
        from hypothesis import given, settings
        from hypothesis import strategies as st

        from strategies import character_cases

        @settings(max_examples=300, deadline=None)
        @given(character_cases, st.sampled_from([(None, None), (0.3, 0.5), (1.0, 0.05)]))
        def check(case, params):
            text, matrix, states = case["text"], case["matrix"], case["states"]
            codes = {"missing_state": case["missing"], "unedited_state": case["unedited"]}
            expected = oracles.log_likelihood(
                text, matrix, states, *params, case["missing"], case["unedited"]
            )
            assert same_float(ll(text, matrix, states, *params, **codes), expected)

        check()


@pytest.mark.slow
def test_million_leaf_caterpillar_scores_without_a_call_stack():
    m = 1_000_000
    text = oracles.caterpillar(m, "L", "N")
    rows = [[1]] * m  # every N is [1]; only the forced root's two edges mutate
    deep = added(LOG_MUT, LOG_MUT)
    assert ll(text, rows) == deep
    star = added(LOG_MUT, LOG_MUT, LOG_MUT)  # (L0,L1,L2)R: all three edges from R
    assert LD(text, "(L0,L1,L2)R;", rows)["likelihood_distance"] == star / deep - 1.0
    p = veltrane.parsimony_p_value(text, rows)  # and parsimony, on the same two edges
    assert (p["parsimony_score"], p["p_value"]) == (2, oracles.parsimony_p_value(2, m))
    assert veltrane.parsimony_score(text, rows)["parsimony_score"] == 2
