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


# --- clean_newick -------------------------------------------------------------------------------

import random  # noqa: E402

from tools_helpers import MODES, random_dialect_tree  # noqa: E402

# One tree as the libraries hold it: a quoted name with a blank, a name with a quote, support
# values and a named internal node.
LIBRARY_TREE = "((A:1,'B c':2)95:0.5,(C:1,'D''s':1)x:1)r;"
LIBRARY_CLEAN = {
    True: "((A:1,B_c:2)95:0.5,(C:1,D's:1)x:1)r;",
    "names": "((A:1,B_c:2):0.5,(C:1,D's:1)x:1)r;",
    False: "((A:1,B_c:2):0.5,(C:1,D's:1):1);",
}


@pytest.mark.parametrize("seed", range(300))
def test_clean_newick_reads_other_dialects_as_meant(seed):
    rnd = random.Random(seed)
    dirty, clean = random_dialect_tree(rnd, rnd.randint(1, 12))
    for mode in MODES:
        assert vt.clean_newick(dirty, internal_labels=mode) == clean[mode], (dirty, mode)
        assert vt.clean_newick(clean[mode], internal_labels=mode) == clean[mode]  # idempotent


@pytest.mark.parametrize(
    ("text", "clean"),
    [
        ("(Homo sapiens , B);", "(Homo_sapiens,B);"),  # blanks inside an unquoted label too
        ("('a  b' , 'c''''d')", "(a__b,c''d);"),
        ("((A,B)'95',C)100/99;", "((A,B)95,C);"),  # quoted: a name, kept; unquoted: dropped
    ],
)
def test_clean_newick_cases(text, clean):
    assert vt.clean_newick(text, internal_labels="names") == clean
    with pytest.raises(ValueError, match="internal_labels must be True, False or 'names'"):
        vt.clean_newick(text, internal_labels="yes")  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("tree", "error", "message"),
    [
        ("('a,b',C);", ValueError, "the label 'a,b' (character 1) holds ','"),
        ("('A,B);", ValueError, "the quote opened at character 1 is never closed"),
        ("(A,[B);", ValueError, "the comment opened at character 3 is never closed"),
        ("((A,B),C;", ValueError, "the '(' at character 0 is never closed"),
        ("(A,B));", ValueError, "a ')' at character 5 has no open '('"),
        ("A(B,C);", ValueError, "text stands directly before the '(' at character 1"),
        ("(A,B);(C,D);", ValueError, "takes one tree, and the text holds 2 trees"),
        (" [&R] ", ValueError, "takes one tree, and the text holds no tree"),
        (b"(A,B);", TypeError, "takes text, not bytes"),
        (42, TypeError, "not builtins.int"),
    ],
)
def test_clean_newick_rejects_what_it_cannot_write(tree, error, message):
    with pytest.raises(error) as info:
        vt.clean_newick(tree)
    assert message in str(info.value)


def _library_trees(module: str):
    """The library's tree object for LIBRARY_TREE and the text its own writer gives."""
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
    import io

    phylo = pytest.importorskip("Bio.Phylo")
    tree = phylo.read(io.StringIO(LIBRARY_TREE), "newick")
    return tree, tree.format("newick")


@pytest.mark.parametrize("module", ["dendropy", "ete3", "treeswift", "Bio.Phylo"])
def test_clean_newick_takes_the_libraries_trees_and_texts(module):
    tree, written = _library_trees(module)
    as_object = vt.clean_newick(tree, internal_labels=False)
    as_text = vt.clean_newick(written, internal_labels=False)
    plain = LIBRARY_CLEAN[False]
    assert vt.leaf_labels(as_object) == vt.leaf_labels(plain)
    assert veltrane.robinson_foulds_distance(as_object, plain)["rf_distance"] == 0
    # TreeSwift writes 'D's' without doubling the quote: read as the standard says, "Ds'".
    expected = [label if module != "treeswift" or label != "D's" else "Ds'" for label in
                vt.leaf_labels(plain)]
    assert vt.leaf_labels(as_text) == expected
    names = vt.clean_newick(tree, internal_labels="names")
    assert veltrane.robinson_foulds_distance(names, LIBRARY_CLEAN["names"])["rf_distance"] == 0
