"""Character matrix, internal states and state codes, converted alike by every character-based
function: accepted forms, exact errors, and inputs edited while they are read."""

from __future__ import annotations

import collections
import operator
import sys
from dataclasses import dataclass
from typing import Callable

import pytest

import veltrane

TREE = "((A,B)X,(C,D)Y)R;"
MATRIX = [[1, 0], [1, 2], [2, 0], [0, -1]]
ABSENT = object()
OUT_OF_RANGE = "out of range integral type conversion attempted"


@dataclass
class CharacterFn:
    """One character-based function, called with a matrix and, optionally, internal states."""

    name: str
    fn: Callable
    states_param: str
    trees: int  # number of leading tree texts

    def __call__(self, matrix, states=ABSENT, tree=TREE, **kwargs):
        if states is not ABSENT:
            kwargs[self.states_param] = states
        return self.fn(*[tree] * self.trees, matrix, **kwargs)

    def stable(self, *args, **kwargs) -> dict:
        """The result without its timing."""
        result = self(*args, **kwargs)
        result.pop("computation_time_ms", None)
        return result


CHARACTER_FNS = [
    CharacterFn("parsimony_score", veltrane.parsimony_score, "internal_character_states", 1),
    CharacterFn("parsimony_p_value", veltrane.parsimony_p_value, "internal_character_states", 1),
    CharacterFn("likelihood_score", veltrane.likelihood_score, "internal_character_states", 1),
    CharacterFn(
        "likelihood_distance", veltrane.likelihood_distance, "internal_states_reconstructed", 2
    ),
]


@pytest.fixture(params=CHARACTER_FNS, ids=[f.name for f in CHARACTER_FNS])
def character_fn(request) -> CharacterFn:
    return request.param


def raised(call, *args, **kwargs) -> BaseException:
    with pytest.raises(BaseException) as ei:
        call(*args, **kwargs)
    return ei.value


def said(fn, value) -> str:
    """What the interpreter itself says when fn rejects value."""
    try:
        fn(value)
    except (TypeError, OverflowError) as exc:
        return str(exc)
    raise AssertionError(f"{value!r} was accepted")


class IndexOnly:
    """An integer only through __index__."""

    def __init__(self, value: int):
        self.value = value

    def __index__(self) -> int:
        return self.value


class OldStyleSequence:
    """A sequence by __getitem__ alone: no __len__, no __iter__."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]


class LyingLength(OldStyleSequence):
    def __len__(self) -> int:
        return sys.maxsize


class BrokenLength(OldStyleSequence):
    def __len__(self) -> int:
        raise RuntimeError("no length")


M = "argument 'character_matrix': "
S = "argument '{states}': "
VEC = "Can't extract `str` to `Vec`"
# (id, matrix, states, codes, exception type, message; None: the interpreter's own, unprefixed).
# The tree text is broken too: every conversion comes before parsing.
CONVERSION_ERRORS = [
    ("str-matrix", "11", ABSENT, {}, TypeError, M + VEC),
    ("str-row", [[1], "1"], ABSENT, {}, TypeError, M + VEC),
    ("int-matrix", 5, ABSENT, {}, TypeError, M + "'int' object cannot be converted to 'Sequence'"),
    ("int-row", [[1], 5], ABSENT, {}, TypeError,
     M + "'int' object cannot be converted to 'Sequence'"),
    ("none-matrix", None, ABSENT, {}, TypeError,
     M + "'NoneType' object cannot be converted to 'Sequence'"),
    ("none-row", [None], ABSENT, {}, TypeError,
     M + "'NoneType' object cannot be converted to 'Sequence'"),
    ("dict-matrix", {0: [1]}, ABSENT, {}, TypeError,
     M + "'dict' object cannot be converted to 'Sequence'"),
    ("generator", (r for r in [[1]]), ABSENT, {}, TypeError,
     M + "'generator' object cannot be converted to 'Sequence'"),
    ("set-row", [{1, 2}], ABSENT, {}, TypeError,
     M + "'set' object cannot be converted to 'Sequence'"),
    ("first-failure-wins", [[1], "x", [2**70]], ABSENT, {}, TypeError, M + VEC),
    *[
        (f"{type(x).__name__}-state", [[0], [x]], ABSENT, {}, TypeError,
         M + said(operator.index, x))
        for x in (1.5, "1", None, 1j)
    ],
    *[(f"state-{x}", [[0], [x]], ABSENT, {}, OverflowError, OUT_OF_RANGE)
      for x in (2**31, -(2**31) - 1, 2**63 - 1, -(2**63))],
    *[(f"state-{x}", [[0], [x]], ABSENT, {}, OverflowError, None)
      for x in (2**63, -(2**63) - 1, 2**100)],
    ("states-list", MATRIX, [("X", [1])], {}, TypeError,
     S + "'list' object cannot be converted to 'PyDict'"),
    ("states-str", MATRIX, "X", {}, TypeError, S + "'str' object cannot be converted to 'PyDict'"),
    ("int-key", MATRIX, {1: [1]}, {}, TypeError,
     S + "'int' object cannot be converted to 'PyString'"),
    ("later-bytes-key", MATRIX, {"X": [1], b"Y": [1]}, {}, TypeError,
     S + "'bytes' object cannot be converted to 'PyString'"),
    ("str-value", MATRIX, {"X": "1"}, {}, TypeError, S + VEC),
    ("int-value", MATRIX, {"X": 1}, {}, TypeError,
     S + "'int' object cannot be converted to 'Sequence'"),
    ("later-str-state", MATRIX, {"X": [1], "Y": ["1"]}, {}, TypeError,
     S + said(operator.index, "1")),
    ("states-overflow", MATRIX, {"X": [2**31]}, {}, OverflowError, OUT_OF_RANGE),
    ("none-code", MATRIX, ABSENT, {"missing_state": None}, TypeError,
     "argument 'missing_state': " + said(operator.index, None)),
    ("float-code", MATRIX, ABSENT, {"unedited_state": 1.0}, TypeError,
     "argument 'unedited_state': " + said(operator.index, 1.0)),
    ("code-above", MATRIX, ABSENT, {"missing_state": 2**31}, OverflowError, OUT_OF_RANGE),
    ("code-below", MATRIX, ABSENT, {"unedited_state": -(2**31) - 1}, OverflowError,
     OUT_OF_RANGE),
    ("states-before-codes", MATRIX, [1], {"missing_state": None}, TypeError,
     S + "'list' object cannot be converted to 'PyDict'"),
]


@pytest.mark.parametrize(
    "matrix, states, codes, exc_type, message",
    [c[1:] for c in CONVERSION_ERRORS],
    ids=[c[0] for c in CONVERSION_ERRORS],
)
def test_conversion_errors(character_fn, matrix, states, codes, exc_type, message):
    exc = raised(character_fn, matrix, states, tree="A,B);", **codes)
    assert type(exc) is exc_type
    if message is None:
        assert not str(exc).startswith("argument") and str(exc) != OUT_OF_RANGE
    else:
        assert str(exc) == message.format(states=character_fn.states_param)


def test_index_errors_keep_their_cause_and_subclasses_pass_unchanged(character_fn):
    class MyError(TypeError):
        pass

    class Chained:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    class Mine:
        def __index__(self):
            raise MyError("mine")

    exc = raised(character_fn, [[Chained()]])
    assert (type(exc), str(exc)) == (TypeError, M + "outer")
    assert type(exc.__cause__) is KeyError
    exc = raised(character_fn, [[Mine()]])
    assert (type(exc), str(exc)) == (MyError, "mine")


LO, HI = -(2**31), 2**31 - 1
STATES = {"X": [1, 0], "Y": [0, 0], "R": [0, 0]}
# (id, matrix, states, codes): each gives the result of MATRIX with STATES (or None) and
# the default codes.
EQUIVALENT_INPUTS = [
    ("tuples", tuple(tuple(r) for r in MATRIX), None, {}),
    ("ranges", [range(1, -1, -1), range(1, 3), range(2, -1, -2), range(0, -2, -1)], None, {}),
    ("getitem-only", OldStyleSequence(OldStyleSequence(r) for r in MATRIX), None, {}),
    ("huge-len", LyingLength(LyingLength(r) for r in MATRIX), None, {}),
    ("failing-len", BrokenLength(BrokenLength(r) for r in MATRIX), None, {}),
    ("index-states", [[IndexOnly(v) for v in r] for r in MATRIX], None, {}),
    ("deque", collections.deque(MATRIX), None, {}),
    ("bools-and-bytes", [[True, False], b"\x01\x02", [2, 0], [0, -1]], None, {}),
    ("extreme-codes", [[{-1: LO, 0: HI}.get(v, v) for v in r] for r in MATRIX], None,
     {"missing_state": LO, "unedited_state": HI}),
    ("explicit-codes", MATRIX, None, {"missing_state": IndexOnly(-1), "unedited_state": 0}),
    ("ordered-dict", MATRIX, collections.OrderedDict(STATES), {}),
    ("defaultdict", MATRIX, collections.defaultdict(list, STATES), {}),
]


@pytest.mark.parametrize(
    "matrix, states, codes", [e[1:] for e in EQUIVALENT_INPUTS], ids=[e[0] for e in EQUIVALENT_INPUTS]
)
def test_equivalent_inputs_give_the_same_result(character_fn, matrix, states, codes):
    plain_states = None if states is None else STATES
    expected = character_fn.stable(MATRIX, plain_states)
    assert character_fn.stable(matrix, states, **codes) == expected
    if states is None:
        assert character_fn.stable(MATRIX) == expected  # None and absent are alike


class EditsItsRow:
    """A state whose conversion shortens or lengthens the row that holds it."""

    def __init__(self, row, grow: bool):
        self.row, self.grow = row, grow

    def __index__(self) -> int:
        if self.grow:
            self.row.append(2)
        else:
            self.row.pop()
        return 1


class ListSubclass(list):
    pass


@pytest.mark.parametrize("kind", [list, ListSubclass], ids=["list", "subclass"])
@pytest.mark.parametrize("grow, seen", [(False, [1, 0]), (True, [1, 0, 3, 2])])
def test_rows_edited_while_read_give_what_iteration_sees(character_fn, kind, grow, seen):
    row = kind([None, 0, 3])
    row[0] = EditsItsRow(row, grow)
    result = character_fn.stable([row] + MATRIX[1:])
    assert result == character_fn.stable([seen] + MATRIX[1:])


@pytest.mark.parametrize(
    "how, message",
    [
        ("add", "dictionary changed size during iteration"),
        ("swap", "dictionary keys changed during iteration"),  # same size, other keys
        ("clear", "dictionary changed size during iteration"),
    ],
)
def test_states_edited_while_read_panic(character_fn, how, message, panic_exception):
    states: dict = {}

    class Edit:
        def __index__(self):
            if how == "add":
                states["new"] = [0]
            elif how == "swap":
                del states["X"]
                states["Z"] = [0]
            else:
                states.clear()
            return 1

    states["X"] = [Edit()]
    states["Y"] = [0]
    exc = raised(character_fn, MATRIX, states)
    assert (type(exc), str(exc)) == (panic_exception, message)
