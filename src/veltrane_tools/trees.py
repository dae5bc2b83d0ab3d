"""Reading trees as the veltrane functions read them."""

from __future__ import annotations

from veltrane_tools import _native


def leaf_labels(newick: str) -> list[str | None]:
    """The leaf labels of a Newick text, in the order the veltrane functions tie matrix rows to
    leaves: the order of the leaves in the text (None for an unlabelled leaf).

    The text is read by the same reader as the veltrane functions, so the labels are exactly
    theirs: blanks are removed, and quotes, square brackets and internal labels are read as
    they stand (``clean_newick`` turns other dialects into this one).
    """
    return _native.leaf_labels(newick)
