"""Exact triplet agreement of two trees whose leaves are matched by label."""

from __future__ import annotations

import operator
from typing import TypedDict

from veltrane_tools import _native


class TripletAgreement(TypedDict):
    """The counts over every triple of shared taxa, and the four shares of the triplet
    metrics computed from them (with their meanings and zero-denominator values)."""

    taxa: int
    triples: int
    agree: int
    resolved_in_tree1: int
    resolved_agree: int
    unresolved_in_tree1: int
    unresolved_agree: int
    triplet_distance: int
    all_triplets_correct: float
    resolvable_triplets_correct: float
    unresolved_triplets_correct: float
    proportion_unresolvable: float
    only_in_tree1: int
    only_in_tree2: int


def triplet_agreement(
    tree1_newick: str, tree2_newick: str, *, max_threads: int | None = None
) -> TripletAgreement:
    """Counts, over every triple of taxa named on a leaf of both trees, how the two trees
    agree: leaves are matched by label, so the order of the texts does not matter.

    A triple is resolved in a tree when one pair's lowest common ancestor lies strictly deeper
    than the other two; the third leaf is its outgroup. The trees agree on a triple when both
    name the same outgroup or both leave it unresolved. "triplet_distance" is the number of
    triples on which they disagree (the count tqDist reports). Labels of internal nodes play no
    part; unlabelled leaves and taxa of one tree only are left out ("only_in_tree1",
    "only_in_tree2" count the latter). Exact at any size, in O(n log n) time and linear memory;
    the interpreter lock is released meanwhile, and ``max_threads`` caps the worker threads
    (None: the whole pool; the counts never depend on it).

    Raises ValueError for a text the reader rejects, a label on two leaves of one tree, or
    fewer than three shared taxa; TypeError for arguments of the wrong type.
    """
    if max_threads is not None:
        # Any integer type (NumPy's too), but not a bool, which is surely a mistake here.
        try:
            if isinstance(max_threads, bool):
                raise TypeError
            max_threads = operator.index(max_threads)
        except TypeError:
            raise TypeError(
                f"max_threads must be None or an int, not {type(max_threads).__name__}"
            ) from None
        if max_threads < 0:
            raise ValueError(f"max_threads must be None or at least 0, not {max_threads}")
    result: TripletAgreement = _native.triplet_agreement(tree1_newick, tree2_newick, max_threads)
    return result
