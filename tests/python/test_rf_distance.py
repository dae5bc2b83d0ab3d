"""Robinson-Foulds distance, plain and normalized."""

from __future__ import annotations

import math
import random

import pytest

import oracles
import veltrane

RF = veltrane.robinson_foulds_distance
RFN = veltrane.robinson_foulds_distance_normalized


class TestResultShape:
    def test_plain_keys_and_types(self):
        result = RF("((A,B),(C,D));", "((A,C),(B,D));")
        assert list(result) == ["rf_distance", "computation_time_ms", "method_used"]
        assert type(result["rf_distance"]) is int
        assert type(result["computation_time_ms"]) is float
        assert result["computation_time_ms"] >= 0.0
        assert result["method_used"] == "phylo-rs RobinsonFoulds"

    def test_normalized_keys_and_types(self):
        result = RFN("((A,B),(C,D));", "((A,C),(B,D));")
        assert list(result) == [
            "rf_distance",
            "normalized_rf_distance",
            "computation_time_ms",
            "method_used",
            "max_possible_rf",
            "tree1_leaves",
            "tree2_leaves",
        ]
        assert [type(v) for v in result.values()] == [int, float, float, str, int, int, int]

    def test_results_are_new_objects(self):
        a = RF("(A,B);", "(A,B);")
        b = RF("(A,B);", "(A,B);")
        assert a is not b


class TestKnownDistances:
    @pytest.mark.parametrize(
        "t1, t2, rf",
        [
            ("((A,B),(C,D));", "((A,B),(C,D));", 0),
            ("((A,B),(C,D));", "((B,A),(D,C));", 0),
            ("((A,B),(C,D));", "(A,(B,(C,D)));", 0),
            ("((A,B),(C,D));", "((A,C),(B,D));", 2),
            ("((A,B),(C,D));", "((A,B),(C,E));", 4),
            ("((A,B)X,(C,D));", "((A,B),(C,D));", 0),
            ("A;", "A;", 0),
            ("A;", "B;", 0),  # {A}|{B} is the same bipartition in both
            ("(A,A);", "(A,B);", 0),
            ("(A,B);", "(A,C);", 2),
        ],
    )
    def test_distance(self, t1, t2, rf):
        assert RF(t1, t2)["rf_distance"] == rf
        assert RF(t1, t2)["rf_distance"] == oracles.rf_distance(t1, t2)

    @pytest.mark.parametrize(
        "t1, t2, expected",
        [
            ("((A,B),(C,D));", "((A,C),(B,D));", (2, 1.0, 2, 4, 4)),
            ("((A,B),(C,D));", "((A,B),(C,E));", (4, 2.0, 2, 4, 4)),
            ("((A,B)X,(C,D));", "((A,B),(C,D));", (0, 0.0, 2, 5, 4)),
            ("(A,(B,C));", "((A,B),C);", (0, 0.0, 0, 3, 3)),  # 2*3 - 6 = 0 gives 0.0
            ("(A,B);", "(A,C);", (2, 2.0, 1, 2, 2)),  # fewer than three labels: divide by 1
            ("A;", "((A,B),(C,D));", (4, 4.0, 1, 1, 4)),
        ],
    )
    def test_normalization(self, t1, t2, expected):
        r = RFN(t1, t2)
        got = (
            r["rf_distance"],
            r["normalized_rf_distance"],
            r["max_possible_rf"],
            r["tree1_leaves"],
            r["tree2_leaves"],
        )
        assert got == expected

    def test_plain_and_normalized_agree(self):
        t1, t2 = "(((A,B),C),(D,(E,F)));", "((A,(B,C)),((D,E),F));"
        assert RF(t1, t2)["rf_distance"] == RFN(t1, t2)["rf_distance"] == 4


class TestUnlabelledLeaves:
    @pytest.mark.parametrize("bad", ["(A,);", "();", "", "((A,B),(C,));"])
    @pytest.mark.parametrize("position", [0, 1])
    def test_unlabelled_leaf_is_an_internal_failure(self, bad, position, panic_exception):
        args = [bad, "(A,B);"] if position == 0 else ["(A,B);", bad]
        with pytest.raises(panic_exception) as ei:
            RF(*args)
        assert "label" in str(ei.value)


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from strategies import (  # noqa: E402
    decorated_trees,
    label_sets,
    newick_trees,
    random_tree,
    rerooted,
    shuffled,
)


class TestProperties:
    @settings(max_examples=150, deadline=None)
    @given(newick_trees(), newick_trees())
    def test_matches_the_oracle_and_is_symmetric(self, t1, t2):
        n1, n2 = oracles.to_newick(t1), oracles.to_newick(t2)
        d = RF(n1, n2)["rf_distance"]
        assert d == oracles.rf_distance(n1, n2)
        assert d == RF(n2, n1)["rf_distance"]

    @settings(max_examples=200, deadline=None)
    @given(decorated_trees(), decorated_trees())
    def test_unary_nodes_and_internal_labels_match_the_oracle(self, t1, t2):
        # Up to 30 labels: the linear-time path, with labels that only some trees have, labels
        # on internal nodes only, and internal nodes that share a leaf's label.
        n1, n2 = oracles.to_newick(t1), oracles.to_newick(t2)
        d = RF(n1, n2)["rf_distance"]
        assert d == oracles.rf_distance(n1, n2)
        assert d == RF(n2, n1)["rf_distance"]

    @settings(max_examples=100, deadline=None)
    @given(newick_trees(), st.integers(0, 2**32 - 1))
    def test_zero_against_itself_and_reordered_children(self, tree, seed):
        text = oracles.to_newick(tree)
        assert RF(text, text)["rf_distance"] == 0
        other = oracles.to_newick(shuffled(tree, random.Random(seed)))
        assert RF(text, other)["rf_distance"] == 0

    @settings(max_examples=100, deadline=None)
    @given(label_sets, st.integers(0, 2**32 - 1))
    def test_zero_against_a_rerooting(self, labels, seed):
        rnd = random.Random(seed)
        tree = random_tree(rnd, labels)
        internal = [v for v in range(len(tree.parent)) if tree.children[v]]
        if not internal:
            return
        other = rerooted(tree, rnd.choice(internal))
        assert RF(oracles.to_newick(tree), oracles.to_newick(other))["rf_distance"] == 0

    @settings(max_examples=100, deadline=None)
    @given(newick_trees(), newick_trees())
    def test_normalized_is_the_ratio(self, t1, t2):
        r = RFN(oracles.to_newick(t1), oracles.to_newick(t2))
        m = min(r["tree1_leaves"], r["tree2_leaves"])
        assert r["max_possible_rf"] == (2 * m - 6 if m >= 3 else 1)
        if r["max_possible_rf"] == 0:
            assert r["normalized_rf_distance"] == 0.0
        else:
            assert math.isclose(
                r["normalized_rf_distance"], r["rf_distance"] / r["max_possible_rf"]
            )
