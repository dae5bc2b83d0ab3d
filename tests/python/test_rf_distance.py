"""Robinson-Foulds distance, plain and normalized, against bipartitions counted in Python."""

from __future__ import annotations

import random

import pytest

import oracles
import veltrane

RF = veltrane.robinson_foulds_distance
RFN = veltrane.robinson_foulds_distance_normalized


@pytest.mark.parametrize(
    "t1, t2, rf",
    [
        ("((A,B),(C,D));", "((B,A),(D,C));", 0),
        ("((A,B),(C,D));", "(A,(B,(C,D)));", 0),  # rerooted: the same unrooted splits
        ("((A,B),(C,D));", "((A,C),(B,D));", 2),
        ("((A,B),(C,D));", "((A,B),(C,E));", 4),
        ("((A,B)X,(C,D));", "((A,B),(C,D));", 0),
        ("A;", "B;", 0),  # {A}|{B} is the same bipartition in both
        ("(A,A);", "(A,B);", 0),
        ("(A,B);", "(A,C);", 2),
        ("(((A,B),C),(D,(E,F)));", "((A,(B,C)),((D,E),F));", 4),
    ],
)
def test_distance(t1, t2, rf):
    assert RF(t1, t2)["rf_distance"] == rf == oracles.rf_distance(t1, t2)
    assert RFN(t1, t2)["rf_distance"] == rf


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
def test_normalization(t1, t2, expected):
    r = RFN(t1, t2)
    keys = ["rf_distance", "normalized_rf_distance", "max_possible_rf", "tree1_leaves",
            "tree2_leaves"]
    assert tuple(r[k] for k in keys) == expected


@pytest.mark.parametrize("bad", ["(A,);", "();", "", "((A,B),(C,));"])
@pytest.mark.parametrize("position", [0, 1])
def test_unlabelled_leaf_is_an_internal_failure(bad, position, panic_exception):
    args = [bad, "(A,B);"] if position == 0 else ["(A,B);", bad]
    with pytest.raises(panic_exception) as ei:
        RF(*args)
    assert "label" in str(ei.value)


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from strategies import decorated_trees, newick_trees, shuffled  # noqa: E402


@settings(max_examples=250, deadline=None)
@given(decorated_trees(), decorated_trees())
def test_matches_the_oracle_and_is_symmetric(t1, t2):
    # Up to 30 labels, unary nodes, labels that only some trees have, labels on internal
    # nodes only, and internal nodes that share a leaf's label.
    n1, n2 = oracles.to_newick(t1), oracles.to_newick(t2)
    d = RF(n1, n2)["rf_distance"]
    assert d == oracles.rf_distance(n1, n2)
    assert d == RF(n2, n1)["rf_distance"]


@settings(max_examples=100, deadline=None)
@given(newick_trees(), st.integers(0, 2**32 - 1))
def test_reordered_children_give_distance_zero(t1, seed):
    text = oracles.to_newick(t1)
    assert RF(text, oracles.to_newick(shuffled(t1, random.Random(seed))))["rf_distance"] == 0
