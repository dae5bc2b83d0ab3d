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
SMALL_TREE = "((t0,t1)n0,t2)n1;"


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


def scores(tree: str, matrix, with_phs: bool = False, states=None) -> list[dict]:
    """Results that depend on the values and their positions (missing code 9, unedited 0)."""
    codes = {"missing_state": 9, "unedited_state": 0}
    out = [
        veltrane.parsimony_score(tree, matrix, states, **codes),
        veltrane.parsimony_p_value(tree, matrix, states, **codes),
        veltrane.likelihood_score(tree, matrix, states, **codes),
        veltrane.likelihood_distance(tree, tree.replace("n0", "m0"), matrix, states, **codes),
    ]
    if with_phs:
        states = {f"n{k}": [0] * 3 for k in range(0, 400, 3)}
        out.append(veltrane.phs_optimized(tree, matrix, states, 0.1, 0.1, **codes))
    return [{k: x for k, x in r.items() if k != "computation_time_ms"} for r in out]


def outcome(matrix, tree=SMALL_TREE):
    """The scores, or the type and text of the error."""
    try:
        return scores(tree, matrix)
    except (TypeError, OverflowError) as exc:
        return type(exc), str(exc)


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
        "rows-as-arrays": list(np.asfortranarray(a)),  # strided 1-D rows
    }


@pytest.fixture(scope="module")
def expected():
    return scores(BIG_TREE, BIG.tolist())


@pytest.mark.parametrize("dtype", INTEGER_DTYPES)
@pytest.mark.parametrize("layout", list(layouts(np.zeros((2, 2), dtype=np.int64))))
def test_every_dtype_and_layout(expected, dtype, layout):
    array = layouts(BIG.astype(dtype))[layout]
    assert [list(map(int, r)) for r in array] == BIG.tolist()
    assert scores(BIG_TREE, array) == expected


@pytest.mark.parametrize(
    "array",
    [
        np.broadcast_to(np.array([1, 0, 2, 9, 3]), (ROWS, 5)),  # zero row stride
        np.random.default_rng(4).integers(0, 10, size=(3, 9000), dtype=np.int32),  # long rows
        np.asfortranarray(np.random.default_rng(4).integers(0, 10, size=(3, 9000))),
        np.array([[-(2**31), 2**31 - 1]] * 3, dtype=np.int64),  # the limits are accepted
        *[np.zeros(shape, dtype=np.int64) for shape in [(0, 3), (3, 0), (0, 0)]],
    ],
    ids=["broadcast", "long-rows", "long-rows-F", "limits", "no-rows", "no-cols", "empty"],
)
def test_special_shapes_equal_their_lists(array):
    tree = BIG_TREE if len(array) == ROWS else SMALL_TREE
    assert scores(tree, array) == scores(tree, array.tolist())


def test_all_five_functions_and_states_from_arrays():
    tree = labelled_tree(400, 2)
    data = np.random.default_rng(3).integers(0, 10, size=(400, 3), dtype=np.int16)
    want = scores(tree, data.tolist(), with_phs=True)
    for array in (data, np.asfortranarray(data), data[::-1][::-1]):
        assert scores(tree, array, with_phs=True) == want
    states = {"n0": np.array([1, 0, 0]), "n1": np.array([0, 0, 1], dtype=np.int8)}
    plain = {k: x.tolist() for k, x in states.items()}
    assert scores(tree, data, states=states) == scores(tree, data, states=plain)


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
def test_first_bad_value_in_row_order_is_reported(order, dtype, first, second):
    # In F order the second value comes first in memory; the list path reads row by row.
    data = np.zeros((ROWS, COLS), dtype=dtype)
    data[2000, 3] = first
    data[2100, 0] = second
    from_array = outcome(np.asarray(data, order=order), BIG_TREE)
    assert from_array == outcome(data.tolist(), BIG_TREE)
    assert from_array[0] is OverflowError


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("dtype", ["float64", "float32", "complex128", "bool", "object"])
def test_other_dtypes_behave_as_iterating_the_array(order, dtype):
    data = np.asarray(np.ones((4, 2), dtype=dtype), order=order)
    assert outcome(data) == outcome([list(row) for row in data])  # the same element objects
    if dtype.startswith(("float", "complex")):
        kind, message = outcome(data)
        assert kind is TypeError and message.startswith("argument 'character_matrix': ")


@pytest.mark.parametrize("shape", [(4,), (4, 2, 2)], ids=["1-D", "3-D"])
def test_other_dimensions_fail_as_their_nested_lists(shape):
    array = np.zeros(shape, dtype=np.int64)
    kind, message = outcome(array)
    assert (kind, message) == outcome(list(array))
    assert kind is TypeError and message.startswith("argument 'character_matrix': ")


def test_subclass_iterates_its_own_way():
    class RowsReversed(np.ndarray):
        def __iter__(self):
            return iter([np.asarray(r) for r in np.asarray(self)[::-1]])

    matrix = [[1, 0], [1, 2], [2, 0], [0, 0]]
    array = np.array(matrix).view(RowsReversed)
    assert outcome(array) == outcome(matrix[::-1]) != outcome(matrix)
