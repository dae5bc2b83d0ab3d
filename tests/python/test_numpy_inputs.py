"""NumPy character matrices: every integer dtype and memory layout gives the results and the
errors of the same data as a list of lists, also across the converter's internal bands."""

from __future__ import annotations

import random

import pytest

import veltrane

np = pytest.importorskip("numpy")

INTEGER_DTYPES = [
    "int8", "int16", "int32", "int64", "longlong",
    "uint8", "uint16", "uint32", "uint64", "ulonglong",
    ">i2", ">i8", "<u4",
]  # fmt: skip


def labelled_tree(n_leaves: int, seed: int) -> str:
    """A random binary tree over leaves t0.. with every internal node labelled."""
    rnd = random.Random(seed)
    pool = [f"t{i}" for i in range(n_leaves)]
    inner = 0
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})n{inner}"]
        inner += 1
    return pool[0] + ";"


def without_time(result: dict) -> dict:
    return {k: v for k, v in result.items() if k != "computation_time_ms"}


def scores(tree: str, matrix, with_phs: bool = False) -> list[dict]:
    """Results that depend on the values and their positions (missing code 9, unedited 0)."""
    codes = {"missing_state": 9, "unedited_state": 0}
    out = [
        veltrane.parsimony_score(tree, matrix, **codes),
        veltrane.parsimony_p_value(tree, matrix, **codes),
        veltrane.likelihood_score(tree, matrix, **codes),
        veltrane.likelihood_distance(tree, tree.replace("n0", "m0"), matrix, **codes),
    ]
    if with_phs:
        states = {f"n{k}": [0] * 3 for k in range(0, 400, 3)}
        out.append(veltrane.phs_optimized(tree, matrix, states, 0.1, 0.1, **codes))
    return [without_time(r) for r in out]


# 2500 x 5: three bands of rows in C order, and runs of 256 down each column in F order.
ROWS, COLS = 2500, 5
BIG_TREE = labelled_tree(ROWS, 1)
BIG = np.random.default_rng(7).integers(0, 10, size=(ROWS, COLS))


def layouts(a):
    wide = np.repeat(np.repeat(a, 3, axis=0), 2, axis=1)
    unaligned = np.frombuffer(b"\0" + a.tobytes(), dtype=a.dtype, offset=1).reshape(a.shape)
    readonly = a.copy()
    readonly.setflags(write=False)
    return {
        "C": np.ascontiguousarray(a),
        "F": np.asfortranarray(a),
        "rows-reversed": np.ascontiguousarray(a[::-1])[::-1],
        "cols-reversed": np.ascontiguousarray(a[:, ::-1])[:, ::-1],
        "both-reversed": np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
        "F-reversed": np.asfortranarray(a[::-1])[::-1],
        "strided": wide[::3, ::2],
        "transposed": np.ascontiguousarray(a.T).T,
        "unaligned": unaligned,
        "readonly": readonly,
    }


LAYOUT_NAMES = list(layouts(np.zeros((2, 2), dtype=np.int64)))


@pytest.fixture(scope="module")
def expected():
    return scores(BIG_TREE, BIG.tolist())


class TestSameResultsAsLists:
    @pytest.mark.parametrize("dtype", INTEGER_DTYPES)
    @pytest.mark.parametrize("layout", LAYOUT_NAMES)
    def test_every_dtype_and_layout(self, expected, dtype, layout):
        array = layouts(BIG.astype(dtype))[layout]
        assert array.tolist() == BIG.tolist()
        assert scores(BIG_TREE, array) == expected

    @pytest.mark.parametrize("dtype", ["int64", "uint8"])
    def test_rows_given_as_arrays(self, expected, dtype):
        rows = list(np.asfortranarray(BIG.astype(dtype)))  # strided 1-D rows
        assert scores(BIG_TREE, rows) == expected

    def test_all_five_functions_on_a_smaller_matrix(self):
        tree = labelled_tree(400, 2)
        data = np.random.default_rng(3).integers(0, 10, size=(400, 3), dtype=np.int16)
        expected = scores(tree, data.tolist(), with_phs=True)
        for array in (data, np.asfortranarray(data), data[::-1][::-1]):
            assert scores(tree, array, with_phs=True) == expected

    @pytest.mark.parametrize("rows", [1, 3])
    def test_rows_longer_than_a_band(self, rows):
        data = np.random.default_rng(4).integers(0, 10, size=(rows, 9000), dtype=np.int32)
        tree = labelled_tree(rows, 5) if rows > 1 else "(t0)n0;"
        expected = scores(tree, data.tolist())
        for array in (data, np.asfortranarray(data)):
            assert scores(tree, array) == expected

    def test_broadcast_rows_with_zero_stride(self):
        row = np.array([1, 0, 2, 9, 3], dtype=np.int64)
        array = np.broadcast_to(row, (ROWS, 5))
        assert array.strides[0] == 0
        assert scores(BIG_TREE, array) == scores(BIG_TREE, array.tolist())


def error_of(matrix) -> BaseException:
    with pytest.raises(BaseException) as ei:
        veltrane.parsimony_score(BIG_TREE, matrix)
    return ei.value


class TestSameErrorsAsLists:
    @pytest.mark.parametrize("order", ["C", "F"])
    @pytest.mark.parametrize(
        "dtype, first, second",
        [
            ("int64", 2**40, -(2**31) - 1),
            ("uint64", 2**31, 2**64 - 1),
            ("uint64", 2**63, 2**31),
            ("uint32", 2**32 - 1, 2**31),
        ],
    )
    def test_first_bad_value_in_row_order_is_reported(self, order, dtype, first, second):
        # In F order the second value comes first in memory; the list path reads row by row.
        data = np.zeros((ROWS, COLS), dtype=dtype)
        data[2000, 3] = first
        data[2100, 0] = second
        array = np.asarray(data, order=order)
        from_array, from_list = error_of(array), error_of(data.tolist())
        assert type(from_array) is type(from_list) is OverflowError
        assert str(from_array) == str(from_list)

    def test_values_at_the_limits_are_accepted(self):
        data = np.array([[-(2**31), 2**31 - 1]] * 3, dtype=np.int64)
        assert scores("((t0,t1)n0,t2)n1;", data) == scores("((t0,t1)n0,t2)n1;", data.tolist())

    @pytest.mark.parametrize("order", ["C", "F"])
    @pytest.mark.parametrize("dtype", ["float64", "float32", "complex128", "bool", "object"])
    def test_other_dtypes_behave_as_iterating_the_array(self, order, dtype):
        data = np.asarray(np.ones((4, 2), dtype=dtype), order=order)
        generic = [list(row) for row in data]  # the same element objects, iterated
        assert outcome(data) == outcome(generic)
        if dtype.startswith(("float", "complex")):
            kind, message = outcome(data)
            assert kind is TypeError
            assert message.startswith("argument 'character_matrix': ")


def outcome(matrix):
    """The scores, or the type and text of the error."""
    try:
        return scores("((t0,t1)n0,t2)n1;", matrix)
    except (TypeError, OverflowError) as exc:
        return type(exc), str(exc)
