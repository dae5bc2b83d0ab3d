"""Parsimony score and its Poisson p-value."""

import fractions
import math
import random

import pytest

import oracles
import strategies
import veltrane

PS, PV = veltrane.parsimony_score, veltrane.parsimony_p_value


def test_worked_example_with_inferred_and_given_states():
    # X = [1] (both children edited alike), Y = [0] (they disagree), R forced to [0]: the
    # edges R-X and Y-C mutate. Given states are used as they are: R = [1] is not forced.
    inferred = PS("((A,B)X,(C,D)Y)R;", [[1], [1], [2], [0]])
    given = PS("((A,B)X,(C,D)Y)R;", [[1], [1], [2], [0]], {"R": [1], "X": [1], "Y": [0]})
    assert [[r[k] for k in r if k != "computation_time_ms"] for r in (inferred, given)] == [
        [2, 2, "small_mp_inferred", True], [1, 1, "provided_states", False]]


def poisson_tail(s: int, lam: float) -> float:
    # P(X >= s) for X ~ Poisson(lam), from log-space terms: another road than the module's.
    return 1.0 - math.fsum(math.exp(k * math.log(lam) - lam - math.lgamma(k + 1)) for k in range(s))


def test_random_cases_and_their_p_values():
    # Nodes of one to four children, repeated, colliding and missing names, rows of any number
    # and length, given states for some names, other state codes.
    for seed in range(400):
        text, matrix, states, codes = strategies.character_case(random.Random(seed))
        expected = oracles.parsimony(text, matrix, states, **codes)
        result = PS(text, matrix, states, **codes)
        assert result["parsimony_score"] == result["total_mutations"] == expected, seed
        lam = 0.3 * (len(oracles.parse_newick(text).leaves()) - 1)
        p = PV(text, matrix, states, 0.3, **codes)
        assert p["parsimony_score"] == expected, seed
        assert p["p_value"] == (pytest.approx(poisson_tail(expected, lam), rel=1e-9, abs=1e-15)
                                if lam > 0 else float(expected == 0)), seed


def with_score(s: int) -> tuple:
    # A two-leaf tree whose parsimony score is s (given root states).
    return "(A,B)R;", [[1] * s, [0] * s], {"R": [0] * s}


@pytest.mark.parametrize("s", [1, 2, 40, 99, 100, 101, 110])
def test_exact_poisson_tail_up_to_100_then_the_normal_approximation(s):
    result = PV(*with_score(s), mutation_rate=100.0)
    normal = 0.5 * math.erfc((s - 100.0) / math.sqrt(200.0))  # A&S 7.1.26 is within 1.5e-7
    assert result["parsimony_score"] == s
    if s <= 100:
        assert result["p_value"] == pytest.approx(poisson_tail(s, 100.0), rel=1e-9)
    else:
        assert result["p_value"] == pytest.approx(normal, abs=2e-7)


@pytest.mark.parametrize("args, rate, expected", [
    (with_score(1), 0.0, 0.0), (with_score(1), -2.0, 0.0), (with_score(0), -2.0, 1.0),
    (with_score(0), math.nan, 1.0), (with_score(1), math.nan, math.nan),
    (with_score(101), math.nan, math.nan), (with_score(1), 2.0, 1.0 - math.exp(-2.0)),
    ((f"({','.join(f'L{i}' for i in range(11))})R;", [[1]] + [[0]] * 10), None,
     1.0 - math.exp(-1.0)),  # the default rate and 11 leaves: lambda = 1
    (with_score(1), 2, 1.0 - math.exp(-2.0)),  # an int, and an object with __float__ only
    (with_score(1), fractions.Fraction(2), 1.0 - math.exp(-2.0)),
])
def test_documented_values(args, rate, expected):
    got = PV(*args, mutation_rate=rate)["p_value"]
    assert got == expected or math.isnan(got) and math.isnan(expected)
