"""leaf_labels: the leaf order the character functions tie rows to; clean_newick: text that
they read as meant, from other tools' Newick and tree objects."""

import functools
import io
import random

import pytest

import veltrane_tools as vt
from tools_helpers import MODES, random_dialect_tree

names = functools.partial(vt.clean_newick, internal_labels="names")


@pytest.mark.parametrize(
    ("function", "given", "expected"),
    [
        (vt.leaf_labels, "((A,B),(,C)X)R;", ["A", "B", None, "C"]),
        (vt.leaf_labels, "(A(B,C));", ["AB", "C"]),  # text before "(" prefixes the next label
        (vt.leaf_labels, "((A,B)", [None, "A", "B"]),  # the root is a childless node too
        (vt.leaf_labels, "(A,B));", ValueError("newick: a ')' or ',' at character 5 ")),
        (vt.leaf_labels, "(A,B)C", ValueError("newick: Newick text ends inside a label")),
        (vt.leaf_labels, b"(A,B);", TypeError("newick must be a str (Newick text), not bytes")),
        (names, "(Homo sapiens , B);", "(Homo_sapiens,B);"),  # blanks in an unquoted label too
        (names, "('a  b' , 'c''''d')", "(a__b,c''d);"),
        (names, "((A,B)'95',C)100/99;", "((A,B)95,C);"),  # quoted: a name, kept; unquoted: not
        (names, "('a,b',C);", ValueError("the label 'a,b' (character 1) holds ','")),
        (names, "(A,[B);", ValueError("the comment opened at character 3 is never closed")),
        (names, "((A,B),C;", ValueError("the '(' at character 0 is never closed")),
        (names, "(A,B));", ValueError("a ')' at character 5 has no open '('")),
        (names, "A(B,C);", ValueError("text stands directly before the '(' at character 1")),
        (names, "(A,B);(C,D);", ValueError("takes one tree, and the text holds 2 trees")),
        (names, " [&R] ", ValueError("takes one tree, and the text holds no tree")),
        (names, b"(A,B);", TypeError("takes text, not bytes")),
        (functools.partial(vt.clean_newick, internal_labels="yes"), "(A,B);",
         ValueError("internal_labels must be True, False or 'names', not 'yes'")),
    ],
)
def test_what_each_gives_or_raises(function, given, expected):
    if not isinstance(expected, Exception):
        assert function(given) == expected
        return
    with pytest.raises(type(expected)) as info:
        function(given)
    assert type(info.value) is type(expected) and str(expected) in str(info.value)


@pytest.mark.parametrize("seed", range(300))
def test_clean_newick_reads_other_dialects_as_meant(seed):
    rnd = random.Random(seed)
    dirty, clean = random_dialect_tree(rnd, rnd.randint(1, 12))
    for mode in MODES:
        assert vt.clean_newick(dirty, internal_labels=mode) == clean[mode], (dirty, mode)
        assert vt.clean_newick(clean[mode], internal_labels=mode) == clean[mode]  # idempotent


# One tree as the libraries hold it: a quoted name with a blank, a name with a quote, support
# values and a named internal node; and what clean_newick writes of their objects.
LIBRARY_TREE = "((A:1,'B c':2)95:0.5,(C:1,'D''s':1)x:1)r;"
FROM_OBJECT = {
    "names": "((A:1.0,B_c:2.0):0.5,(C:1.0,D's:1.0)x:1.0)r;",
    False: "((A:1.0,B_c:2.0):0.5,(C:1.0,D's:1.0):1.0);",
}


def _library_tree(module: str):
    # The library's tree object for LIBRARY_TREE and the text its own writer gives.
    lib = pytest.importorskip(module)
    if module == "dendropy":
        tree = lib.Tree.get(data=LIBRARY_TREE, schema="newick", rooting="force-rooted")
        return tree, tree.as_string(schema="newick")
    if module == "ete3":
        tree = lib.Tree(LIBRARY_TREE.replace("'B c'", "B_c"), format=1)
        tree.search_nodes(name="B_c")[0].name = "B c"
        tree.search_nodes(name="'D''s'")[0].name = "D's"
        return tree, tree.write(format=0)
    if module == "treeswift":
        tree = lib.read_tree_newick(LIBRARY_TREE)
        next(v for v in tree.traverse_leaves() if v.label == "Ds").label = "D's"  # its reader
        return tree, tree.newick()
    tree = lib.read(io.StringIO(LIBRARY_TREE), "newick")
    return tree, tree.format("newick")


@pytest.mark.parametrize("module", ["dendropy", "ete3", "treeswift", "Bio.Phylo"])
def test_clean_newick_takes_the_libraries_trees_and_texts(module):
    tree, written = _library_tree(module)
    for mode, text in FROM_OBJECT.items():
        assert vt.clean_newick(tree, internal_labels=mode) == text
    # TreeSwift writes 'D's' without doubling the quote: read as the standard says, "Ds'".
    labels = vt.leaf_labels(vt.clean_newick(written, internal_labels=False))
    assert labels == ["A", "B_c", "C", "Ds'" if module == "treeswift" else "D's"]
