"""veltrane_tools: what users of veltrane need beyond the module's twelve functions.

Helpers for real inputs (the leaf order rows are tied to), label-matched exact triplet
agreement, sweeps over many tree pairs and the ``veltrane`` command line. The functions release
the interpreter lock while they compute, take their options as keyword-only arguments and raise
ordinary exceptions (ValueError, TypeError, MemoryError, KeyboardInterrupt on Ctrl-C).
pandas, NumPy and tree libraries are optional: they are imported only when a caller's object
needs them.
"""

from __future__ import annotations

from veltrane_tools._panic import PanicException
from veltrane_tools.matrices import matrix_for
from veltrane_tools.sweeps import METRICS, score_pairs
from veltrane_tools.trees import clean_newick, leaf_labels
from veltrane_tools.triplets import TripletAgreement, triplet_agreement

__all__ = [
    "leaf_labels",
    "clean_newick",
    "matrix_for",
    "triplet_agreement",
    "TripletAgreement",
    "score_pairs",
    "METRICS",
    "PanicException",
]
