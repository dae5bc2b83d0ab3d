"""Likelihood score and likelihood distance; deep trees for every character-based score."""

import functools
import math
import operator
import random

import pytest

import oracles
import strategies
import veltrane

LS, LD = veltrane.likelihood_score, veltrane.likelihood_distance
WORKED, ROWS = "((A,B)X,(C,D)Y)R;", [[1], [1], [2], [0]]
LOG_MUT, LOG_STAY = math.log(0.1 * 0.09516258196404048), math.log(1.0 - 0.09516258196404048)


def added(*terms: float) -> float:
    return functools.reduce(operator.add, terms, 0.0)  # 0.0 + t1 + t2 + ..., left to right


@pytest.mark.parametrize("rows", [[], [[]], [[], [1, 2]]])
def test_empty_data(rows):
    assert LS(WORKED, rows) == {"log_likelihood": 0.0, "likelihood": 1.0, "n_leaves": 4,
                                "computation_time_ms": 0.0, "method_used": "empty_data",
                                "n_characters": 0}


@pytest.mark.parametrize("text, rows, states, terms", [
    # X = [1], Y = [0], R = [0]; edges in node-id order: R-X, X-A, X-B, R-Y, Y-C, Y-D.
    (WORKED, ROWS, None, [LOG_MUT, 0.0, 0.0, LOG_STAY, LOG_MUT, LOG_STAY]),
    ("((A,B),(C,D));", ROWS, None, []),  # no internal names: no edge has states on both ends
    (WORKED, [[2], [1], [2], [0]], {"R": [0], "X": [1], "Y": [0]}, [-math.inf]),  # X-A: 1 to 2
])
def test_documented_edge_terms(text, rows, states, terms):
    result = LS(text, rows, states)
    del result["computation_time_ms"]
    assert result == {"log_likelihood": added(*terms), "likelihood": math.exp(added(*terms)),
                      "method_used": "crispr_cas9_model", "n_characters": 1, "n_leaves": 4}


def test_random_cases_match_the_oracle():
    # Zero, infinite and invalid rates give infinite logarithms or NaN, which flow through.
    for seed in range(400):
        rnd = random.Random(seed)
        text, matrix, states, codes = strategies.character_case(rnd)
        rates = dict(zip(["mutation_rate", "collision_probability"], rnd.choice(
            [(None, None), (0.3, 0.5), (1.0, 0.05), (2, 1), (0.0, None), (None, 0.0),
             (math.inf, None), (None, -0.1), (-1.0, None), (math.nan, None)])))
        got = LS(text, matrix, states, **rates, **codes)["log_likelihood"]
        want = oracles.log_likelihood(text, matrix, states, **rates, **codes)
        assert got == want or math.isnan(got) and math.isnan(want), seed


STAR, IMPOSSIBLE_X, IMPOSSIBLE_Y = "(A,B,C,D)R;", {"R": [0], "X": [2]}, {"R": [0], "Y": [5]}


@pytest.mark.parametrize("rec, gt, rows, states, expected", [
    (WORKED, WORKED, ROWS, (None, None), 0.0),
    (WORKED, STAR, ROWS, (None, None), added(LOG_MUT, LOG_MUT, LOG_MUT, LOG_STAY) / added(
        LOG_MUT, 0.0, 0.0, LOG_STAY, LOG_MUT, LOG_STAY) - 1),  # R-A, R-B, R-C, R-D in the star
    (STAR, WORKED, ROWS, (None, None), 0.0),  # the ground truth explains the data better
    # Rows go by position in each tree's own leaf order; by name the distance would be > 0.
    ("((A,B)X,C)R;", "((C,B)X,A)R;", [[1], [1], [0]], (None, None), 0.0),
    (WORKED, WORKED, ROWS, (None, IMPOSSIBLE_X), math.inf),
    (WORKED, WORKED, ROWS, (IMPOSSIBLE_X, IMPOSSIBLE_Y), 0.0),  # -inf / -inf is NaN
    ("((A,B),(C,D));", WORKED, ROWS, (None, None), math.inf),  # reconstructed 0.0
    (WORKED, WORKED, [], (None, None), math.inf),  # empty data
])
def test_likelihood_distance(rec, gt, rows, states, expected):
    assert LD(rec, gt, rows, *states) == {"likelihood_distance": expected}


@pytest.mark.slow
def test_million_leaf_caterpillar_scores_without_a_call_stack():
    m = 1_000_000
    text, rows = strategies.caterpillar(m, "L", "N"), [[1]] * m  # every N is [1]: only the
    deep = added(LOG_MUT, LOG_MUT)  # forced root's two edges mutate
    assert LS(text, rows)["log_likelihood"] == deep
    star = added(LOG_MUT, LOG_MUT, LOG_MUT)  # (L0,L1,L2)R: all three edges from R
    assert LD(text, "(L0,L1,L2)R;", rows)["likelihood_distance"] == star / deep - 1.0
    p = veltrane.parsimony_p_value(text, rows)  # and parsimony, on the same two edges
    assert (p["parsimony_score"], p["p_value"]) == (2, 1.0)  # lambda = 99999.9
    assert veltrane.parsimony_score(text, rows)["parsimony_score"] == 2
