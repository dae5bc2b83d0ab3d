"""The PanicException type of the veltrane module, published here so that pickle finds it.

The veltrane module exports nothing but its twelve functions, so the type is taken from a call
that fails on purpose: a Newick text that ends inside a label is an internal failure of the
reader, before any tree is built. The type is created once per process under the name
``veltrane_tools.PanicException``; with this module attribute in place, an exception raised in
a worker process is pickled by reference to it and arrives in the parent with its type and
message.
"""

from __future__ import annotations

import veltrane


def _panic_exception_type() -> type[BaseException]:
    try:
        veltrane.robinson_foulds_distance("A", "A")
    except BaseException as exc:  # noqa: BLE001 - the failure is the point
        kind = type(exc)
        if kind.__name__ == "PanicException" and not issubclass(kind, Exception):
            return kind
        raise ImportError(
            f"veltrane_tools could not find veltrane's PanicException: the probe raised "
            f"{kind.__name__}: {exc}; reinstall veltrane and veltrane_tools together"
        ) from exc
    raise ImportError(
        "veltrane_tools could not find veltrane's PanicException: the probe did not fail; "
        "reinstall veltrane and veltrane_tools together"
    )


PanicException = _panic_exception_type()
