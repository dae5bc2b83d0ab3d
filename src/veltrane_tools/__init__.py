"""veltrane_tools: what users of veltrane need beyond the module's twelve functions.

Helpers for real inputs (the leaf order rows are tied to), label-matched exact triplet
agreement, sweeps over many tree pairs and the ``veltrane`` command line. The functions release
the interpreter lock while they compute, take their options as keyword-only arguments and raise
ordinary exceptions (ValueError, TypeError, MemoryError, KeyboardInterrupt on Ctrl-C).
pandas, NumPy and tree libraries are optional: they are imported only when a caller's object
needs them.
"""

from __future__ import annotations

from veltrane_tools.trees import leaf_labels
from veltrane_tools.triplets import TripletAgreement, triplet_agreement

__all__ = ["leaf_labels", "triplet_agreement", "TripletAgreement"]
