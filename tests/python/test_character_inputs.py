"""Character matrix and internal-states conversion, shared by every character-based function."""

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
        args = [tree] * self.trees + [matrix]
        if states is not ABSENT:
            kwargs[self.states_param] = states
        return self.fn(*args, **kwargs)

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


def interpreter_message(fn, value) -> str:
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


class TestBinding:
    @pytest.mark.parametrize(
        "fn, message",
        [
            (
                veltrane.likelihood_distance,
                "likelihood_distance() missing 3 required positional arguments: "
                "'reconstructed_tree_newick', 'ground_truth_tree_newick' and 'character_matrix'",
            ),
            (
                veltrane.parsimony_score,
                "parsimony_score() missing 2 required positional arguments: "
                "'tree_newick' and 'character_matrix'",
            ),
        ],
        ids=["distance", "parsimony"],
    )
    def test_missing_arguments(self, fn, message):
        exc = raised(fn)
        assert type(exc) is TypeError
        assert str(exc) == message

    @pytest.mark.parametrize(
        "fn, total",
        [
            (veltrane.parsimony_score, 5),
            (veltrane.parsimony_p_value, 6),
            (veltrane.likelihood_score, 7),
            (veltrane.likelihood_distance, 9),
        ],
        ids=["parsimony", "p_value", "likelihood", "distance"],
    )
    def test_too_many_positional(self, fn, total):
        required = 3 if fn is veltrane.likelihood_distance else 2
        exc = raised(fn, *([None] * (total + 1)))
        assert str(exc) == (
            f"{fn.__name__}() takes from {required} to {total} positional arguments"
            f" but {total + 1} were given"
        )

    def test_keywords_bind_like_positions(self, character_fn):
        names = PARAMS[character_fn.name]
        values = [TREE] * (len(names) - 1) + [MATRIX]
        result = character_fn.fn(**dict(zip(reversed(names), reversed(values))))
        result.pop("computation_time_ms", None)
        assert result == character_fn.stable(MATRIX)


PARAMS = {
    "parsimony_score": ["tree_newick", "character_matrix"],
    "parsimony_p_value": ["tree_newick", "character_matrix"],
    "likelihood_score": ["tree_newick", "character_matrix"],
    "likelihood_distance": [
        "reconstructed_tree_newick",
        "ground_truth_tree_newick",
        "character_matrix",
    ],
}


class TestMatrixErrors:
    @pytest.mark.parametrize(
        "matrix, message",
        [
            ("11", "Can't extract `str` to `Vec`"),
            ([[1], "1"], "Can't extract `str` to `Vec`"),
            (5, "'int' object cannot be converted to 'Sequence'"),
            ([[1], 5], "'int' object cannot be converted to 'Sequence'"),
            (None, "'NoneType' object cannot be converted to 'Sequence'"),
            ([None], "'NoneType' object cannot be converted to 'Sequence'"),
            ({0: [1]}, "'dict' object cannot be converted to 'Sequence'"),
            ((r for r in [[1]]), "'generator' object cannot be converted to 'Sequence'"),
            ([{1, 2}], "'set' object cannot be converted to 'Sequence'"),
            ([[1], "x", [2**70]], "Can't extract `str` to `Vec`"),  # the first failure wins
        ],
        ids=[
            "str-matrix",
            "str-row",
            "int-matrix",
            "int-row",
            "none-matrix",
            "none-row",
            "dict-matrix",
            "generator",
            "set-row",
            "first-failure",
        ],
    )
    def test_type_errors_carry_the_argument_name(self, character_fn, matrix, message):
        exc = raised(character_fn, matrix)
        assert type(exc) is TypeError
        assert str(exc) == "argument 'character_matrix': " + message

    @pytest.mark.parametrize("state", [1.5, "1", None, 1j], ids=["float", "str", "none", "complex"])
    def test_non_integer_state_gives_the_interpreters_message(self, character_fn, state):
        exc = raised(character_fn, [[0], [state]])
        assert type(exc) is TypeError
        expected = interpreter_message(operator.index, state)
        assert str(exc) == "argument 'character_matrix': " + expected

    @pytest.mark.parametrize("state", [2**31, -(2**31) - 1, 2**63 - 1, -(2**63)])
    def test_beyond_32_bits_is_an_overflow_without_prefix(self, character_fn, state):
        exc = raised(character_fn, [[0], [state]])
        assert type(exc) is OverflowError
        assert str(exc) == "out of range integral type conversion attempted"

    @pytest.mark.parametrize("state", [2**63, -(2**63) - 1, 2**100])
    def test_beyond_64_bits_is_the_interpreters_overflow(self, character_fn, state):
        exc = raised(character_fn, [[0], [state]])
        assert type(exc) is OverflowError
        assert not str(exc).startswith("argument")
        assert str(exc) != "out of range integral type conversion attempted"

    def test_matrix_error_comes_before_a_bad_tree(self, character_fn):
        exc = raised(character_fn, "x", tree="A,B);")
        assert str(exc) == "argument 'character_matrix': Can't extract `str` to `Vec`"

    def test_type_error_from_index_keeps_its_cause(self, character_fn):
        class Chained:
            def __index__(self):
                try:
                    raise KeyError("inner")
                except KeyError as inner:
                    raise TypeError("outer") from inner

        exc = raised(character_fn, [[Chained()]])
        assert type(exc) is TypeError
        assert str(exc) == "argument 'character_matrix': outer"
        assert type(exc.__cause__) is KeyError

    def test_subclass_of_type_error_passes_unchanged(self, character_fn):
        class MyError(TypeError):
            pass

        class Bad:
            def __index__(self):
                raise MyError("mine")

        exc = raised(character_fn, [[Bad()]])
        assert type(exc) is MyError
        assert str(exc) == "mine"


class TestMatrixForms:
    @pytest.mark.parametrize(
        "matrix",
        [
            tuple(tuple(r) for r in MATRIX),
            [range(1, -1, -1), range(1, 3), range(2, -1, -2), range(0, -2, -1)],
            OldStyleSequence(OldStyleSequence(r) for r in MATRIX),
            LyingLength(LyingLength(r) for r in MATRIX),
            BrokenLength(BrokenLength(r) for r in MATRIX),
            [[IndexOnly(v) for v in r] for r in MATRIX],
            collections.deque(MATRIX),
        ],
        ids=["tuples", "ranges", "getitem-only", "huge-len", "failing-len", "index", "deque"],
    )
    def test_any_sequence_of_integers_equals_the_list_of_lists(self, character_fn, matrix):
        assert character_fn.stable(matrix) == character_fn.stable(MATRIX)

    def test_bools_and_bytes_are_integers(self, character_fn):
        assert character_fn.stable([[True, False], b"\x01\x02", [2, 0], [0, -1]]) == (
            character_fn.stable(MATRIX)
        )

    def test_extreme_32_bit_values_work_as_codes(self, character_fn):
        lo, hi = -(2**31), 2**31 - 1
        renamed = {-1: lo, 0: hi}
        matrix = [[renamed.get(v, v) for v in row] for row in MATRIX]
        assert character_fn.stable(matrix, missing_state=lo, unedited_state=hi) == (
            character_fn.stable(MATRIX)
        )


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


class TestRowsEditedDuringConversion:
    @pytest.mark.parametrize("kind", [list, ListSubclass], ids=["list", "subclass"])
    @pytest.mark.parametrize("grow, seen", [(False, [1, 0]), (True, [1, 0, 3, 2])])
    def test_items_are_those_iteration_sees(self, character_fn, kind, grow, seen):
        row = kind([None, 0, 3])
        row[0] = EditsItsRow(row, grow)
        result = character_fn.stable([row] + MATRIX[1:])
        assert result == character_fn.stable([seen] + MATRIX[1:])


class TestStateMapConversion:
    def test_absent_and_none_are_the_same(self, character_fn):
        assert character_fn.stable(MATRIX, None) == character_fn.stable(MATRIX)

    @pytest.mark.parametrize(
        "states, message",
        [
            ([("X", [1])], "'list' object cannot be converted to 'PyDict'"),
            ("X", "'str' object cannot be converted to 'PyDict'"),
            ({1: [1]}, "'int' object cannot be converted to 'PyString'"),
            ({"X": [1], b"Y": [1]}, "'bytes' object cannot be converted to 'PyString'"),
            ({"X": "1"}, "Can't extract `str` to `Vec`"),
            ({"X": 1}, "'int' object cannot be converted to 'Sequence'"),
            ({"X": [1.0]}, interpreter_message(operator.index, 1.0)),
        ],
        ids=["list", "str", "int-key", "bytes-key", "str-value", "int-value", "float-state"],
    )
    def test_type_errors_carry_the_parameter_name(self, character_fn, states, message):
        exc = raised(character_fn, MATRIX, states)
        assert type(exc) is TypeError
        assert str(exc) == f"argument '{character_fn.states_param}': " + message

    def test_state_overflow_has_no_prefix(self, character_fn):
        exc = raised(character_fn, MATRIX, {"X": [2**31]})
        assert type(exc) is OverflowError
        assert str(exc) == "out of range integral type conversion attempted"
        assert character_fn(MATRIX, {"X": [-(2**31)]})  # the lowest value is fine

    @pytest.mark.parametrize(
        "make",
        [collections.OrderedDict, lambda d: collections.defaultdict(list, d)],
        ids=["ordered", "defaultdict"],
    )
    def test_dict_subclasses_are_accepted(self, character_fn, make):
        states = {"X": [1, 0], "Y": [0, 0], "R": [0, 0]}
        assert character_fn.stable(MATRIX, make(states)) == character_fn.stable(MATRIX, states)

    def test_a_later_bad_entry_still_fails(self, character_fn):
        exc = raised(character_fn, MATRIX, {"X": [1], "Y": ["1"]})
        assert str(exc) == f"argument '{character_fn.states_param}': " + interpreter_message(
            operator.index, "1"
        )

    def test_growing_the_dict_during_conversion_panics(self, character_fn, panic_exception):
        states: dict = {}

        class Grows:
            def __index__(self):
                states["new"] = [0]
                return 1

        states["X"] = [Grows()]
        states["Y"] = [0]
        exc = raised(character_fn, MATRIX, states)
        assert type(exc) is panic_exception
        assert str(exc) == "dictionary changed size during iteration"

    def test_swapping_keys_during_conversion_panics(self, character_fn, panic_exception):
        states: dict = {}

        class Swaps:
            def __index__(self):
                del states["X"]
                states["Z"] = [0]
                return 1

        states["X"] = [Swaps()]
        states["Y"] = [0]
        exc = raised(character_fn, MATRIX, states)
        assert type(exc) is panic_exception
        assert str(exc) == "dictionary keys changed during iteration"


class TestCodes:
    @pytest.mark.parametrize(
        "kwargs, exc_type, message",
        [
            ({"missing_state": None}, TypeError, None),
            ({"unedited_state": 1.0}, TypeError, None),
            ({"missing_state": 2**31}, OverflowError, OUT_OF_RANGE),
            ({"unedited_state": -(2**31) - 1}, OverflowError, OUT_OF_RANGE),
        ],
        ids=["none", "float", "above", "below"],
    )
    def test_code_conversion(self, character_fn, kwargs, exc_type, message):
        exc = raised(character_fn, MATRIX, **kwargs)
        assert type(exc) is exc_type
        (param,) = kwargs
        if exc_type is TypeError:
            expected = interpreter_message(operator.index, kwargs[param])
            assert str(exc) == f"argument '{param}': " + expected
        else:
            assert str(exc) == message

    def test_explicit_defaults_equal_absent_ones(self, character_fn):
        explicit = character_fn.stable(MATRIX, missing_state=-1, unedited_state=0)
        assert explicit == character_fn.stable(MATRIX)

    def test_index_objects_are_accepted_as_codes(self, character_fn):
        assert character_fn.stable(MATRIX, missing_state=IndexOnly(-1)) == (
            character_fn.stable(MATRIX)
        )

    def test_codes_are_converted_after_the_states(self, character_fn):
        exc = raised(character_fn, MATRIX, [1], missing_state=None)
        assert str(exc).startswith(f"argument '{character_fn.states_param}': ")


class TestNumpy:
    @pytest.fixture(autouse=True)
    def np(self):
        return pytest.importorskip("numpy")

    @pytest.mark.parametrize(
        "dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", ">i4"]
    )
    def test_integer_array_equals_list_of_lists(self, character_fn, np, dtype):
        matrix = [[1, 0, 3], [1, 2, 0], [2, 0, 0], [0, 9, 3]]
        array = np.array(matrix, dtype=dtype)
        assert character_fn.stable(array) == character_fn.stable(matrix)
        assert character_fn.stable(list(array)) == character_fn.stable(matrix)

    @pytest.mark.parametrize(
        "view",
        [
            lambda a: a.T.copy().T,
            lambda a: a[::-1][::-1],
            lambda a: a[:, ::-1][:, ::-1],
            lambda a: np_wide(a)[:, ::2],
            lambda a: np_wide(a)[::2, ::2][:2],
        ],
        ids=["fortran", "reversed-rows", "reversed-cols", "strided-cols", "strided-both"],
    )
    def test_strided_views(self, character_fn, np, view):
        matrix = [[1, 0, 3], [1, 2, 0], [2, 0, 0], [0, 9, 3]]
        array = view(np.array(matrix, dtype=np.int64))
        assert character_fn.stable(array) == character_fn.stable(array.tolist())

    @pytest.mark.parametrize("shape", [(0, 3), (4, 0), (0, 0)])
    def test_empty_arrays(self, character_fn, np, shape):
        array = np.zeros(shape, dtype=np.int64)
        assert character_fn.stable(array) == character_fn.stable(array.tolist())

    @pytest.mark.parametrize(
        "dtype, value",
        [
            ("int64", 2**31),
            ("int64", -(2**31) - 1),
            ("uint32", 2**31),
            ("uint64", 2**63),
            ("uint64", 2**64 - 1),
        ],
    )
    def test_out_of_range_values_fail_as_in_a_list(self, character_fn, np, dtype, value):
        array = np.array([[0, 0], [0, value]], dtype=dtype)
        from_array = raised(character_fn, array)
        from_list = raised(character_fn, [[0, 0], [0, value]])
        assert type(from_array) is type(from_list) is OverflowError
        assert str(from_array) == str(from_list)

    @pytest.mark.parametrize("dtype", ["float64", "float32", "bool"])
    def test_non_integer_arrays_give_the_generic_error(self, character_fn, np, dtype):
        array = np.ones((4, 2), dtype=dtype)
        exc = raised(character_fn, array)
        assert type(exc) is TypeError
        expected = interpreter_message(operator.index, array[0, 0])
        assert str(exc) == "argument 'character_matrix': " + expected

    def test_three_dimensional_array_fails_as_nested_lists_of_arrays(self, character_fn, np):
        array = np.zeros((4, 2, 2), dtype=np.int64)
        exc = raised(character_fn, array)
        assert type(exc) is TypeError
        expected = interpreter_message(operator.index, array[0, 0])
        assert str(exc) == "argument 'character_matrix': " + expected

    def test_one_dimensional_array_fails_as_a_list_of_scalars(self, character_fn, np):
        array = np.arange(4)
        from_array = raised(character_fn, array)
        from_list = raised(character_fn, list(array))
        assert type(from_array) is type(from_list) is TypeError
        assert str(from_array) == str(from_list)
        assert str(from_array).startswith("argument 'character_matrix': ")

    def test_subclass_iterates_its_own_way(self, character_fn, np):
        class RowsReversed(np.ndarray):
            def __iter__(self):
                return iter([np.asarray(r) for r in np.asarray(self)[::-1]])

        matrix = [[1, 0], [1, 2], [2, 0], [0, 0]]
        array = np.array(matrix).view(RowsReversed)
        assert character_fn.stable(array) == character_fn.stable(matrix[::-1])

    def test_states_from_numpy_rows(self, character_fn, np):
        states = {"X": np.array([1, 0]), "Y": np.array([0, 0], dtype=np.int8)}
        plain = {"X": [1, 0], "Y": [0, 0]}
        assert character_fn.stable(MATRIX, states) == character_fn.stable(MATRIX, plain)


def np_wide(a):
    """a with every column doubled, so that [:, ::2] gives back a's values as a strided view."""
    import numpy

    return numpy.repeat(numpy.repeat(a, 2, axis=1), 2, axis=0)


class TestReferences:
    def test_arguments_keep_their_reference_counts(self, character_fn):
        row = [1, 0]
        matrix = [row, [1, 2], [2, 0], [0, -1]]
        states = {"X": [1, 0]}
        before = [sys.getrefcount(o) for o in (row, matrix, states, states["X"])]
        character_fn(matrix, states)
        for bad_matrix, bad_states in [(matrix + ["bad"], states), (matrix, {"X": [1], 2: [0]})]:
            try:
                character_fn(bad_matrix, bad_states)
            except TypeError:
                pass
            else:
                pytest.fail("the call should have failed")
        del bad_matrix, bad_states
        after = [sys.getrefcount(o) for o in (row, matrix, states, states["X"])]
        assert after == before


@pytest.mark.slow
def test_repeated_calls_do_not_leak_python_objects(character_fn):
    import gc

    np = pytest.importorskip("numpy")
    array = np.array(MATRIX)

    def run(k):
        for _ in range(k):
            character_fn(MATRIX, {"X": [1, 0]})
            character_fn(array)
            for bad in ([[1], "x"], [[2**40]]):
                try:
                    character_fn(bad)
                except (TypeError, OverflowError):
                    pass
            try:
                character_fn(MATRIX, tree="A,B);")
            except ValueError:
                pass

    run(200)  # warm up caches and free lists
    gc.collect()
    before = sys.getallocatedblocks()
    run(3000)
    gc.collect()
    # One leaked object per call would add thousands of blocks.
    assert sys.getallocatedblocks() - before < 500
