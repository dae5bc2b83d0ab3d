"""veltrane_tools' tree helpers: the leaf order the character functions tie rows to."""

from __future__ import annotations

import pytest

import veltrane
import veltrane_tools as vt


@pytest.mark.parametrize(
    ("text", "labels"),
    [
        ("((A,B),(,C)X)R;", ["A", "B", None, "C"]),
        ("( A , B\u3000) ;", ["A", "B"]),
        ("(A(B,C));", ["AB", "C"]),  # text before "(" prefixes the next label
        ("((A,B)", [None, "A", "B"]),  # the root is a childless node too
        ("A;", ["A"]),
        ("", [None]),
    ],
)
def test_leaf_labels_follow_the_reader(text, labels):
    assert vt.leaf_labels(text) == labels


def test_leaf_labels_are_the_order_rows_are_read_in():
    # Row k is scored as the k-th label: a matrix built in that order scores like one by name.
    tree = "((C,A)X,(B,D)Y)R;"
    by_name = {"A": [1], "B": [2], "C": [1], "D": [0]}
    rows = [by_name[label] for label in vt.leaf_labels(tree)]
    assert veltrane.parsimony_score(tree, rows)["parsimony_score"] == 2


@pytest.mark.parametrize(
    ("text", "error", "message"),
    [
        ("(A,B));", ValueError, "newick: a ')' or ',' at character 5 "),
        ("(A,B)C", ValueError, "newick: Newick text ends inside a label or branch length"),
        (b"(A,B);", TypeError, "newick must be a str (Newick text), not bytes"),
    ],
)
def test_leaf_labels_raise_ordinary_exceptions(text, error, message):
    with pytest.raises(error) as info:
        vt.leaf_labels(text)
    assert str(info.value).startswith(message)
