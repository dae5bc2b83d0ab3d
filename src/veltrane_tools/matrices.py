"""Character matrices by cell name, with the rows in the order the veltrane functions tie rows to
leaves (the order of the leaves in the Newick text)."""

from __future__ import annotations

import array
import importlib
import operator
import warnings
from collections import Counter
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from veltrane_tools import _native
from veltrane_tools.trees import leaf_labels

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    _Matrix = npt.NDArray[np.int32] | list[list[int]]

_INT32 = (-(2**31), 2**31 - 1)
_SHOWN = 10  # names listed in a message before "(and N more)"


def matrix_for(
    newick: str,
    cells: object,
    *,
    missing_state: int = -1,
    fill_missing: bool = False,
    labelled_only: bool = False,
) -> _Matrix:
    """The rows of ``cells`` in the tree's leaf order, ready for every character function.

    ``cells`` holds one row of integer states per cell name: a pandas DataFrame indexed by
    cell name, a mapping from name to row, or a ``(rows, names)`` pair of a 2-D array (or list
    of rows) and the names of its rows. Names that are not text are compared as ``str(name)``.
    Returns an int32 NumPy array, or a list of lists when NumPy is not installed.

    Leaves without a label get a row of ``missing_state``. A cell the tree names but the table
    lacks is a ValueError that lists them, unless ``fill_missing=True`` scores it as missing
    too; cells the table has but the tree lacks are left out, with a warning that counts them.
    ``labelled_only=True`` gives rows for the labelled leaves only, the order in which
    ``phs_optimized`` ties rows to leaves. Raises TypeError for states that are not integers
    (naming the column or cell) and ValueError for a name given twice, rows of different
    lengths or states outside 32 bits.
    """
    table = table_from(cells, missing_state=missing_state)
    return table.rows_for(
        newick,
        missing_state=missing_state,
        fill_missing=fill_missing,
        labelled_only=labelled_only,
        warn=True,
    )


@dataclass(frozen=True)
class Table:
    """Rows of states by cell name, in a form that pickles without pandas. Made by table_from,
    which checks that the names are distinct."""

    names: list[str]
    rows: Any  # an (n, k) int32 NumPy array, or a list of lists of int
    n_columns: int

    def rows_for(
        self,
        newick: str,
        *,
        missing_state: int,
        fill_missing: bool,
        labelled_only: bool,
        warn: bool,
    ) -> _Matrix:
        _check_state("missing_state", missing_state)
        raw, missing, used = _native.leaf_positions(newick, self.names, labelled_only)
        if missing and not fill_missing:
            known = set(self.names)
            absent = list(
                dict.fromkeys(lb for lb in leaf_labels(newick) if lb is not None and lb not in known)
            )
            raise ValueError(
                f"{_count(len(absent), 'cell')} of the tree missing from the table: "
                f"{_listing(absent)}; pass fill_missing=True to score them as missing "
                f"(state {missing_state})"
            )
        unused = len(self.names) - used
        if unused and warn:
            warnings.warn(
                f"{_count(unused, 'cell')} of the table not in the tree, left out",
                stacklevel=3,
            )
        if isinstance(self.rows, list):
            positions = array.array("q")
            positions.frombytes(raw)
            blank = [missing_state] * self.n_columns
            return [list(self.rows[p]) if p >= 0 else list(blank) for p in positions]
        import numpy as np

        where = np.frombuffer(raw, dtype=np.int64)
        out = np.full((len(where), self.n_columns), missing_state, dtype=np.int32)
        found = where >= 0
        out[found] = self.rows[where[found]]
        return out


def table_from(cells: object, *, missing_state: int = -1) -> Table:
    """A Table from any form ``matrix_for`` takes; TypeError for others."""
    module = type(cells).__module__
    if module.startswith("pandas") and hasattr(cells, "columns") and hasattr(cells, "index"):
        return _from_frame(cells, missing_state)
    if isinstance(cells, Mapping):
        return _from_rows(_names(list(cells.keys())), list(cells.values()))
    if isinstance(cells, tuple | list) and len(cells) == 2:
        rows, names = cells
        if isinstance(names, str | bytes) or not hasattr(names, "__len__"):
            raise TypeError(
                "a (rows, names) pair needs the names of the rows as a sequence, "
                f"not {type(names).__name__}"
            )
        names = _names(list(names))
        if hasattr(rows, "dtype") and hasattr(rows, "shape"):
            return _from_array(rows, names, missing_state)
        return _from_rows(names, list(rows))
    raise TypeError(
        "cells must be a pandas DataFrame indexed by cell name, a mapping from cell name to "
        f"row, or a (rows, names) pair, not {type(cells).__name__}"
    )


def _names(names: list[Any]) -> list[str]:
    """The names as text (str(name) where they are not), checked to be distinct."""
    if not set(map(type, names)) <= {str}:
        names = [name if isinstance(name, str) else str(name) for name in names]
    if len(set(names)) != len(names):
        twice = [name for name, count in Counter(names).items() if count > 1]
        raise ValueError(
            f"the table names {_count(len(twice), 'cell')} more than once: "
            f"{_listing(twice)}; give each cell one row"
        )
    return names


def _from_frame(frame: Any, missing_state: int) -> Table:
    import numpy as np

    for k, dtype in enumerate(frame.dtypes):
        column = frame.columns[k]
        integer = getattr(dtype, "kind", "O") in "iu"
        if not integer or frame.iloc[:, k].isna().any():
            held = "missing values" if integer else f"{dtype} values"
            raise TypeError(
                f"column {column!r} holds {held}, but states must be integers: convert the "
                f"table first, for example with .fillna({missing_state}).astype(int)"
            )
    names = _names(frame.index.tolist())  # in bulk: iterating a pandas Index is slow
    values = frame.to_numpy(dtype=np.int64)
    _check_range(values, lambda k: f"column {frame.columns[k]!r}")
    return Table(names, values.astype(np.int32), values.shape[1])


def _from_array(rows: Any, names: list[str], missing_state: int) -> Table:
    import numpy as np

    values = np.asarray(rows)
    if values.ndim != 2:
        raise ValueError(f"the rows must form a 2-D array, not one of shape {values.shape}")
    if values.dtype.kind not in "iu":
        raise TypeError(
            f"the rows hold {values.dtype} values, but states must be integers: convert them "
            f"first, for example with np.nan_to_num(rows, nan={missing_state}).astype(int)"
        )
    if len(names) != values.shape[0]:
        raise ValueError(f"{values.shape[0]} rows but {len(names)} names; give one name per row")
    _check_range(values, lambda k: f"column {k}")
    return Table(names, values.astype(np.int32), values.shape[1])


def _from_rows(names: list[str], rows: list[Any]) -> Table:
    """Rows given as sequences; NumPy is used when it is installed, else plain lists."""
    try:
        np: Any = importlib.import_module("numpy")
    except ImportError:
        np = None
    if np is not None and rows:
        try:
            array = np.asarray(rows)
        except ValueError:  # rows of different lengths: the loop below names the first
            array = None
        if array is not None and array.ndim == 2 and array.dtype.kind in "iu":
            _check_range(array, lambda k: f"column {k}")
            return Table(names, array.astype(np.int32), array.shape[1])
    width = None
    plain: list[list[int]] = []
    for name, row in zip(names, rows):
        if isinstance(row, str | bytes) or not hasattr(row, "__len__"):
            raise TypeError(f"the row of cell {name!r} must be a sequence of integers")
        if width is None:
            width = len(row)
        elif len(row) != width:
            raise ValueError(
                f"the row of cell {name!r} has {len(row)} states, the first row {width}; "
                "every row needs one state per character"
            )
        values = []
        for x in row:
            try:
                values.append(operator.index(x))
            except TypeError:
                raise TypeError(
                    f"the row of cell {name!r} holds {x!r}, which is not an integer"
                ) from None
        for x in values:
            if not _INT32[0] <= x <= _INT32[1]:
                raise ValueError(f"the row of cell {name!r} holds {x}, outside 32 bits")
        plain.append(values)
    if np is None:
        return Table(names, plain, width or 0)
    array = np.array(plain, dtype=np.int32).reshape(len(plain), width or 0)
    return Table(names, array, width or 0)


def _check_range(values: Any, where: Any) -> None:
    if values.size == 0:
        return
    low, high = values.min(axis=0), values.max(axis=0)
    for k in range(values.shape[1]):
        if low[k] < _INT32[0] or high[k] > _INT32[1]:
            raise ValueError(f"{where(k)} holds states outside 32 bits")


def _check_state(name: str, value: int) -> None:
    if not _INT32[0] <= operator.index(value) <= _INT32[1]:
        raise ValueError(f"{name} must fit in 32 bits, not {value}")


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" + ("" if n == 1 else "s")


def _listing(names: Sequence[str | None]) -> str:
    shown = ", ".join(str(n) for n in names[:_SHOWN])
    more = len(names) - _SHOWN
    return shown + (f" (and {more} more)" if more > 0 else "")
