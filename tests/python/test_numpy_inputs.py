"""NumPy character matrices give the results and the errors of the same data as lists."""

import random

import pytest

import strategies
import veltrane

np = pytest.importorskip("numpy")
BIG_TREE = strategies.binary_newick([f"t{i}" for i in range(2500)], random.Random(1), "n")
BIG = np.random.default_rng(7).integers(0, 10, size=(2500, 5))  # C: 3 bands, F: runs of 256


def outcome(matrix, tree=BIG_TREE):
    # The log-likelihood, which depends on every value and its place (9 is missing), or the error.
    try:
        return veltrane.likelihood_score(tree, matrix, missing_state=9)["log_likelihood"]
    except (TypeError, OverflowError) as exc:
        return type(exc), str(exc)


@pytest.fixture(scope="module")
def expected():
    return outcome(BIG.tolist())


@pytest.mark.parametrize("dtype", ["int8", "int64", "uint16", "uint32", "uint64", ">i2", "<u4"])
@pytest.mark.parametrize("layout", [
    np.ascontiguousarray, np.asfortranarray, lambda a: np.ascontiguousarray(a[::-1])[::-1],
    lambda a: np.asfortranarray(a[::-1, ::-1])[::-1, ::-1],
    lambda a: np.repeat(np.repeat(a, 3, axis=0), 2, axis=1)[::3, ::2],  # strided
    lambda a: np.frombuffer(b"\0" + a.tobytes(), a.dtype, offset=1).reshape(a.shape),  # unaligned
    lambda a: list(np.asfortranarray(a))])  # rows as strided 1-D arrays
def test_every_dtype_and_layout(expected, dtype, layout):
    assert outcome(layout(BIG.astype(dtype))) == expected


def with_bad_values(dtype: str, order: str, first: int, second: int):
    data = np.zeros((2500, 5), dtype=dtype)
    data[2000, 3], data[2100, 0] = first, second  # in F order the second comes first in memory
    return np.asarray(data, order=order)


@pytest.mark.parametrize("array", [
    np.broadcast_to(np.array([1, 0, 2, 9, 3]), (2500, 5)),  # zero row stride
    np.random.default_rng(4).integers(0, 10, size=(3, 9000), dtype=np.int32),  # long rows
    np.array([[-(2**31), 2**31 - 1]] * 3), *[np.zeros(s, dtype=int) for s in [(0, 3), (3, 0)]],
    *[np.ones((4, 2), dtype=t) for t in ["float64", "complex128", "bool", "object"]],
    np.zeros(4, dtype=int), np.zeros((4, 2, 2), dtype=int),  # other dimensions
    *[with_bad_values(t, order, a, b) for order in "CF"
      for t, a, b in [("int64", 2**40, -(2**31) - 1), ("uint64", 2**63, 2**31),
                      ("uint32", 2**32 - 1, 2**31)]],
])
def test_special_shapes_dtypes_and_bad_values_behave_as_their_nested_lists(array):
    tree = BIG_TREE if len(array) == 2500 else "((t0,t1)n0,t2)n1;"
    assert outcome(array, tree) == outcome([list(r) if np.ndim(r) else r for r in array], tree)
