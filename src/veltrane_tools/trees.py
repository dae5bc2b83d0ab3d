"""Reading trees as the veltrane functions read them, and writing trees from other tools so
that they read them as their authors meant."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any, Literal, TypeAlias

from veltrane_tools import _native

InternalLabels: TypeAlias = bool | Literal["names"]

# Characters that a label can only carry inside quotes.
_NEEDS_QUOTES = frozenset("()[],:;'") | frozenset(" \t\n\r\v\f")


def leaf_labels(newick: str) -> list[str | None]:
    """The leaf labels of a Newick text, in the order the veltrane functions tie matrix rows to
    leaves: the order of the leaves in the text (None for an unlabelled leaf).

    The text is read by the same reader as the veltrane functions, so the labels are exactly
    theirs: blanks are removed, and quotes, square brackets and internal labels are read as
    they stand (``clean_newick`` turns other dialects into this one).
    """
    return _native.leaf_labels(newick)


def clean_newick(tree: object, *, internal_labels: InternalLabels = True) -> str:
    """One tree as Newick text that the veltrane functions read as its author meant.

    ``tree`` is Newick text in the common dialects or a tree object of DendroPy, ete3,
    TreeSwift or Bio.Phylo (recognised by its attributes; none of them is needed otherwise).
    In text, square-bracket comments ("[&R]", NHX blocks) are dropped, quoted labels are
    unquoted ('' stands for one quote), blanks inside a label become "_" and blanks around
    labels are dropped; a final ";" is added when missing. Labels of internal nodes are kept
    (``internal_labels=True``), all dropped (``False``) or dropped only where they are numbers
    such as support values (``"names"``; numbers joined by "/" count too, quoted labels never
    do). Of a tree object, node names are written; support values that the library keeps apart
    from names (ete3, Bio.Phylo) are not, while DendroPy's internal labels are written as they
    are.

    Raises ValueError for a label holding one of ( ) , : ; (plain Newick cannot write it),
    for text that is not one tree (no tree, several trees, an unclosed "(" or quote or comment,
    a stray ")" or ","), and TypeError for any other kind of object.
    """
    if isinstance(tree, str):
        text = tree
    elif isinstance(tree, bytes | bytearray):
        raise TypeError("clean_newick() takes text, not bytes: decode it first (data.decode())")
    else:
        text = _write_tree_object(tree)
    trees = clean_trees(text, internal_labels=internal_labels)
    if len(trees) != 1:
        what = "no tree" if not trees else f"{len(trees)} trees (separated by ';')"
        raise ValueError(f"clean_newick() takes one tree, and the text holds {what}")
    return trees[0]


def clean_trees(text: str, *, internal_labels: InternalLabels = True) -> list[str]:
    """Every tree of a text (trees end at ";"), each cleaned as by ``clean_newick``."""
    if internal_labels is True:
        mode = 0
    elif internal_labels is False:
        mode = 1
    elif internal_labels == "names":
        mode = 2
    else:
        raise ValueError(
            f"internal_labels must be True, False or 'names', not {internal_labels!r}"
        )
    return _native.clean_trees(text, mode)


Node = Any
Accessors = tuple[
    Callable[[Node], Iterable[Node]], Callable[[Node], object], Callable[[Node], Any]
]


def _accessors(tree: object) -> tuple[Node, Accessors]:
    """The root of a tree object and how to read its nodes' children, label and length."""
    if hasattr(tree, "seed_node") or hasattr(tree, "child_nodes"):  # DendroPy Tree or Node
        return getattr(tree, "seed_node", tree), (
            lambda v: v.child_nodes(),
            lambda v: v.taxon.label if v.taxon is not None else v.label,
            lambda v: v.edge_length,
        )
    if hasattr(tree, "get_tree_root") and hasattr(tree, "children"):  # ete3 TreeNode
        return tree, (lambda v: v.children, lambda v: v.name, lambda v: v.dist)
    root = getattr(tree, "root", tree)
    if hasattr(root, "clades"):  # Bio.Phylo Tree or Clade
        return root, (lambda v: v.clades, lambda v: v.name, lambda v: v.branch_length)
    if hasattr(root, "children") and hasattr(root, "edge_length"):  # TreeSwift Tree or Node
        return root, (lambda v: v.children, lambda v: v.label, lambda v: v.edge_length)
    raise TypeError(
        f"clean_newick() takes Newick text or a tree of DendroPy, ete3, TreeSwift or "
        f"Bio.Phylo, not {type(tree).__module__}.{type(tree).__qualname__}; write other trees "
        "as Newick text first"
    )


def _label_text(label: object) -> str:
    if label is None or label == "":
        return ""
    text = str(label)
    if any(c in _NEEDS_QUOTES for c in text) or not text.isprintable():
        return "'" + text.replace("'", "''") + "'"
    return text


def _write_tree_object(tree: object) -> str:
    """Newick text of a tree object, labels quoted where they need it (the cleaner unquotes
    them), written with an explicit stack so that any depth works."""
    root, (children_of, label_of, length_of) = _accessors(tree)
    parts: list[str] = []
    stack: list[tuple[Node, list[Node] | None, int]] = [(root, None, 0)]
    while stack:
        node, children, i = stack.pop()
        if children is None:
            children = list(children_of(node))
        if i < len(children):
            parts.append("(" if i == 0 else ",")
            stack.append((node, children, i + 1))
            stack.append((children[i], None, 0))
            continue
        if children:
            parts.append(")")
        parts.append(_label_text(label_of(node)))
        length = length_of(node)
        if length is not None and node is not root:
            parts.append(f":{float(length)!r}")
    return "".join(parts) + ";"
