"""Parsimony score and its Poisson p-value."""

from __future__ import annotations

import math

import pytest

import oracles
import veltrane

PS = veltrane.parsimony_score
PV = veltrane.parsimony_p_value

WORKED = "((A,B)X,(C,D)Y)R;"
WORKED_ROWS = [[1], [1], [2], [0]]


def score(*args, **kwargs) -> int:
    return PS(*args, **kwargs)["parsimony_score"]


# (id, tree, rows, given states or None, score). Each hand-counted case also holds the oracle.
SCORES = [
    # X = [1] (children agree), Y = [0] (they disagree), R forced to [0]: R-X and Y-C.
    ("worked", WORKED, WORKED_ROWS, None, 2),
    ("empty-matrix", WORKED, [], None, 0),
    ("no-internal-names", "((A,B),(C,D));", WORKED_ROWS, None, 0),
    # R = [1] is kept (no forcing), so neither R-X nor R-Y counts; only Y-C does.
    ("given-not-forced", WORKED, WORKED_ROWS, {"R": [1], "X": [1], "Y": [0]}, 1),
    ("given-leaves-without-rows", WORKED, [], {"R": [0, 0], "X": [1, 0], "A": [1, 3]}, 2),
    ("root-missing", "(A,B)R;", [[-1], [0]], None, 0),
    ("root-edited", "(A,B)R;", [[5], [0]], None, 1),
    ("root-missing-and-edited", "(A,B)R;", [[-1], [5]], None, 1),
    ("root-inferred-then-forced", "(A,B)R;", [[5], [5]], None, 2),
    # Three children: R is not inferred and X never visited; only R-C counts.
    ("three-children", "((A,B)X,C,D)R;", WORKED_ROWS, None, 1),
    ("three-children-given", "((A,B)X,C,D)R;", WORKED_ROWS, {"R": [0], "X": [1]}, 2),
    # Inner X with three children is unedited for its parent but stores nothing.
    ("inner-three-children", "(((A,B)Z,C,D)X,E)R;", [[1], [1], [2], [0], [0]], None, 0),
    ("inner-three-children-given", "(((A,B)Z,C,D)X,E)R;", [[1], [1], [2], [0], [0]],
     {"X": [0], "Z": [1], "R": [0]}, 2),
    ("one-child-unstored", "((A)X,B)R;", [[1], [1]], None, 1),
    # R-X at position 0 only, nothing below edited or missing X, R-C at 0 and 3.
    ("edited-and-reverted", "((A,B)X,C)R;", [[1, 2, 0, 7]] * 3,
     {"R": [0, 1, 1, 0], "X": [1, 2, 0, -1]}, 3),
    # Internal "B" reads row [2], not its inferred [0]: R-B counts, B-A and B-B do not.
    ("internal-named-like-a-leaf", "((A,B)B,D)R;", [[1], [2], [0]], None, 1),
    # B's short row reads as missing at 1, so X = [1, 0]: R-X 1, X-A 1, Y-C 2.
    ("short-row", WORKED, [[1, 1], [1], [2, 2], [0]], None, 4),
    ("long-row-ignored", WORKED, [[1], [1, 3], [2], [0]], None, 2),
    ("row-0-sets-the-width", WORKED, [[1, 1, 1], [1, 1, 1], [2], [0]], None, 4),
]


@pytest.mark.parametrize(
    "text, rows, states, expected", [c[1:] for c in SCORES], ids=[c[0] for c in SCORES]
)
def test_hand_counted_scores(text, rows, states, expected):
    result = PS(text, rows, states)
    assert result["parsimony_score"] == result["total_mutations"] == expected
    assert oracles.parsimony(text, rows, states) == expected


def leaves_star(n: int) -> str:
    return "(" + ",".join(f"L{i}" for i in range(n)) + ")R;"


def with_score(s: int) -> tuple[str, list, dict]:
    """A two-leaf tree whose parsimony score is s (given root states)."""
    return "(A,B)R;", [[1] * s, [0] * s], {"R": [0] * s}


def poisson_tail(s: int, lam: float) -> float:
    """P(X >= s) for X ~ Poisson(lam), by log-space terms (an independent route)."""
    return 1.0 - math.fsum(math.exp(k * math.log(lam) - lam - math.lgamma(k + 1)) for k in range(s))


class TestPValue:
    @pytest.mark.parametrize(
        "s, rate", [(1, 100.0), (2, 100.0), (5, 100.0), (40, 100.0), (99, 100.0), (100, 100.0),
                    (101, 100.0), (102, 100.0), (110, 100.0), (101, 1000.0)]
    )
    def test_exact_poisson_tail_up_to_100_then_the_normal_approximation(self, s, rate):
        result = PV(*with_score(s), mutation_rate=rate)
        p = result["p_value"]
        assert result["parsimony_score"] == s
        assert p == oracles.parsimony_p_value(s, 2, rate)
        exact = poisson_tail(s, rate)
        if s <= 100:
            assert p == pytest.approx(exact, rel=1e-9, abs=1e-15)
        else:
            z = (s - rate) / math.sqrt(rate)
            assert p == pytest.approx(0.5 * math.erfc(z / math.sqrt(2)), abs=1e-6)
            assert rate > s or abs(p - exact) > 1e-3  # not the exact tail, unless both near 1

    def test_default_rate_with_eleven_leaves_has_lambda_one(self):
        rows = [[1]] + [[0]] * 10
        result = PV(leaves_star(11), rows)
        assert result["parsimony_score"] == 1
        assert result["p_value"] == 1.0 - math.exp(-1.0)

    @pytest.mark.parametrize(
        "text, rows, rate, expected",
        [
            ("A;", [[1]], None, 1.0),
            ("(A,B)R;", [[1], [0]], 0.0, 0.0),
            ("(A,B)R;", [[1], [0]], -2.0, 0.0),
            ("(A,B)R;", [[0], [0]], -2.0, 1.0),
            ("((A,B),C);", [[1], [1], [1]], 0.5, 1.0),
            ("(A,B)R;", [[0], [0]], 3.0, 1.0),
        ],
        ids=[
            "one-leaf",
            "zero-rate",
            "negative-rate",
            "negative-rate-score-0",
            "unnamed",
            "score-0",
        ],
    )
    def test_degenerate_cases(self, text, rows, rate, expected):
        assert PV(text, rows, mutation_rate=rate)["p_value"] == expected

    def test_nan_rate(self):
        assert math.isnan(PV(*with_score(1), mutation_rate=math.nan)["p_value"])
        assert math.isnan(PV(*with_score(101), mutation_rate=math.nan)["p_value"])
        assert PV(*with_score(0), mutation_rate=math.nan)["p_value"] == 1.0

    def test_rate_accepts_ints_and_float_like_objects(self):
        class Rate:
            def __float__(self):
                return 2.0

        expected = PV(*with_score(3), mutation_rate=2.0)["p_value"]
        assert PV(*with_score(3), mutation_rate=2)["p_value"] == expected
        assert PV(*with_score(3), mutation_rate=Rate())["p_value"] == expected

class TestAgainstOracle:
    @pytest.fixture(autouse=True)
    def hypothesis(self):
        return pytest.importorskip("hypothesis")

    def test_random_cases(self):
        from hypothesis import given, settings

        from strategies import character_cases

        @settings(max_examples=300, deadline=None)
        @given(character_cases)
        def check(case):
            text, matrix, states = case["text"], case["matrix"], case["states"]
            codes = {"missing_state": case["missing"], "unedited_state": case["unedited"]}
            expected = oracles.parsimony(
                text, matrix, states, case["missing"], case["unedited"]
            )
            assert score(text, matrix, states, **codes) == expected
            n_leaves = len(oracles.parse_newick(text).leaves())
            p = PV(text, matrix, states, 0.3, **codes)
            assert p["parsimony_score"] == expected
            assert p["p_value"] == oracles.parsimony_p_value(expected, n_leaves, 0.3)

        check()
