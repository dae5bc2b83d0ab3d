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


class TestScores:
    def test_worked_example(self):
        # X = [1] (children agree), Y = [0] (they disagree), R forced to [0]:
        # R-X and Y-C carry one edit each.
        result = PS(WORKED, WORKED_ROWS)
        assert result["parsimony_score"] == result["total_mutations"] == 2
        assert PS(WORKED, [])["total_mutations"] == 0

    def test_tree_without_internal_names_counts_nothing(self):
        assert score("((A,B),(C,D));", WORKED_ROWS) == 0

    def test_given_states_are_used_as_they_are(self):
        # R = [1] is kept (no forcing), so neither R-X nor R-Y counts; only Y-C does.
        assert score(WORKED, WORKED_ROWS, {"R": [1], "X": [1], "Y": [0]}) == 1

    def test_given_states_for_leaves_without_rows(self):
        assert score(WORKED, [], {"R": [0, 0], "X": [1, 0], "A": [1, 3]}) == 2

    @pytest.mark.parametrize(
        "rows, expected",
        [([[-1], [0]], 0), ([[5], [0]], 1), ([[-1], [5]], 1), ([[5], [5]], 2)],
        ids=["missing", "edited", "missing-and-edited", "both-edited"],
    )
    def test_root_edges(self, rows, expected):
        # The root's inferred [5] in the last case is overwritten by the forced [0].
        assert score("(A,B)R;", rows) == expected

    def test_three_children_stop_inference_below(self):
        # R is not inferred, X is never visited: only R-C counts once R is forced unedited.
        assert score("((A,B)X,C,D)R;", WORKED_ROWS) == 1
        assert score("((A,B)X,C,D)R;", WORKED_ROWS, {"R": [0], "X": [1]}) == 2

    def test_inner_node_with_three_children_stores_nothing(self):
        # X is unedited for its parent but has no stored states, so X-C counts nothing even
        # though C is edited; Z below it is never inferred.
        text = "(((A,B)Z,C,D)X,E)R;"
        assert score(text, [[1], [1], [2], [0], [0]]) == 0
        assert score(text, [[1], [1], [2], [0], [0]], {"X": [0], "Z": [1], "R": [0]}) == 2

    def test_one_child_node_is_unedited_and_unstored(self):
        assert score("((A)X,B)R;", [[1], [1]]) == 1  # R-B only; X has no states

    def test_edits_between_edited_states_and_reversions_count_nothing(self):
        states = {"R": [0, 1, 1, 0], "X": [1, 2, 0, -1]}
        # R-X: position 0 only; X-A, X-B: nothing (X is edited or missing where A differs);
        # R-C: positions 0 and 3.
        assert score("((A,B)X,C)R;", [[1, 2, 0, 7]] * 3, states) == 1 + 2


class TestRows:
    def test_internal_node_named_like_a_leaf_reads_its_row(self):
        # Internal "B" reads row [2], not its inferred [0]: R-B counts, B-A and B-B do not.
        assert score("((A,B)B,D)R;", [[1], [2], [0]]) == 1

    @pytest.mark.parametrize(
        "rows, expected",
        [
            # B's short row reads as missing at 1, so X = [1, 0]: R-X 1, X-A 1, Y-C 2.
            ([[1, 1], [1], [2, 2], [0]], 4),
            # Row 0 fixes one character; B's extra state is never compared.
            ([[1], [1, 3], [2], [0]], 2),
            # Row 0 fixes three characters: X = [1, 1, 1], Y = [0, 0, 0]: R-X 3, Y-C 1.
            ([[1, 1, 1], [1, 1, 1], [2], [0]], 4),
        ],
        ids=["short-row", "long-row", "row-0-sets-the-width"],
    )
    def test_rows_of_other_lengths(self, rows, expected):
        assert score(WORKED, rows) == expected == oracles.parsimony(WORKED, rows)


def leaves_star(n: int) -> str:
    return "(" + ",".join(f"L{i}" for i in range(n)) + ")R;"


def with_score(s: int) -> tuple[str, list, dict]:
    """A two-leaf tree whose parsimony score is s (given root states)."""
    return "(A,B)R;", [[1] * s, [0] * s], {"R": [0] * s}


def poisson_tail(s: int, lam: float) -> float:
    """P(X >= s) for X ~ Poisson(lam), by log-space terms (an independent route)."""
    return 1.0 - math.fsum(math.exp(k * math.log(lam) - lam - math.lgamma(k + 1)) for k in range(s))


class TestPValue:
    @pytest.mark.parametrize("s", [1, 2, 5, 40, 99, 100])
    def test_exact_poisson_tail_up_to_100(self, s):
        result = PV(*with_score(s), mutation_rate=100.0)
        assert result["parsimony_score"] == s
        assert result["p_value"] == oracles.parsimony_p_value(s, 2, 100.0)
        assert result["p_value"] == pytest.approx(poisson_tail(s, 100.0), rel=1e-9, abs=1e-15)

    @pytest.mark.parametrize("s", [101, 102, 110])
    def test_normal_approximation_above_100(self, s):
        p = PV(*with_score(s), mutation_rate=100.0)["p_value"]
        assert p == oracles.parsimony_p_value(s, 2, 100.0)
        z = (s - 100.0) / 10.0
        assert p == pytest.approx(0.5 * math.erfc(z / math.sqrt(2)), abs=1e-6)
        assert abs(p - poisson_tail(s, 100.0)) > 1e-3  # not the exact tail

    def test_far_below_the_mean_is_near_one(self):
        p = PV(*with_score(101), mutation_rate=1000.0)["p_value"]
        assert p == oracles.parsimony_p_value(101, 2, 1000.0)
        assert p == pytest.approx(1.0)

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


def caterpillar(m: int) -> str:
    """((...((L0,L1)N1,L2)N2,...)N{m-1}; with every internal node named."""
    return "(" * (m - 1) + "L0" + "".join(f",L{i})N{i}" for i in range(1, m)) + ";"


@pytest.mark.slow
class TestDeepTrees:
    def test_million_leaf_caterpillar(self):
        m = 1_000_000
        text = caterpillar(m)
        rows = [[1]] * m  # every N is [1]; the forced root edits its two children
        result = PS(text, rows)
        assert result["parsimony_score"] == 2
        p = PV(text, rows)
        assert p["parsimony_score"] == 2
        assert p["p_value"] == oracles.parsimony_p_value(2, m)
