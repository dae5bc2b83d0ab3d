"""matrix_for: rows by cell name, in the order the character functions tie rows to leaves."""

import random
import subprocess
import sys

import pytest

import veltrane_tools as vt
from tools_helpers import random_newick

np = pytest.importorskip("numpy")


@pytest.mark.parametrize("seed", range(20))
def test_rows_follow_the_leaves_by_name_in_every_form(seed):
    rnd = random.Random(seed)
    cells = [f"c{k}" for k in range(rnd.randint(3, 30))]
    tree = random_newick(rnd, cells)
    table = {c: [rnd.randint(-1, 3) for _ in range(5)] for c in rnd.sample(cells, len(cells))}
    expected = [table[label] for label in vt.leaf_labels(tree)]
    names, rows = list(table), list(table.values())
    frame = pytest.importorskip("pandas").DataFrame(rows, index=names)
    for cells_in in [table, (rows, names), (np.array(rows), tuple(names)), frame]:
        got = vt.matrix_for(tree, cells_in)
        assert got.dtype == np.int32 and got.tolist() == expected, type(cells_in)


def test_missing_and_extra_cells_and_unlabelled_leaves():
    tree = "((" + ",".join(f"c{k}" for k in range(13)) + "),(,x));"
    with pytest.raises(ValueError) as info:
        vt.matrix_for(tree, {"x": [1, 2]})
    assert str(info.value) == (
        "13 cells of the tree missing from the table: c0, c1, c2, c3, c4, c5, c6, c7, c8, c9 "
        "(and 3 more); pass fill_missing=True to score them as missing (state -1)"
    )
    with pytest.warns(UserWarning, match="^2 cells of the table not in the tree, left out$"):
        rows = vt.matrix_for(tree, {"x": [1, 2], "y": [0, 0], "z": [3, 3]}, fill_missing=True,
                             missing_state=-9)
    assert rows.tolist() == [[-9, -9]] * 14 + [[1, 2]]  # the unlabelled leaf is missing too
    labelled = vt.matrix_for("(a,(,b));", {"a": [1], "b": [2]}, labelled_only=True)
    assert labelled.tolist() == [[1], [2]]  # the rows phs_optimized reads


def frame(column):
    # A DataFrame of cells a and b, its column "site 2" as given.
    pd = pytest.importorskip("pandas")
    return pd.DataFrame({"s1": [0, 1], "site 2": column}, index=["a", "b"])


@pytest.mark.parametrize(
    ("cells", "error", "message"),
    [
        (([[1], [2]], ["a", "a"]), ValueError, "the table names 1 cell more than once: a"),
        ({"a": [1, 2], "b": [1]}, ValueError, "the row of cell 'b' has 1 states, the first row 2"),
        ({"a": [1.5]}, TypeError, "the row of cell 'a' holds 1.5, which is not an integer"),
        ({"a": [2**31]}, ValueError, "outside 32 bits"),
        ({"a": "12"}, TypeError, "the row of cell 'a' must be a sequence of integers"),
        ((np.array([[0.5]]), ["a"]), TypeError, "the rows hold float64 values"),
        ((np.zeros((2, 1), dtype=int), ["a"]), ValueError, "2 rows but 1 names"),
        ([[1, 2]], TypeError, "cells must be a pandas DataFrame indexed by cell name"),
        (lambda: frame([1.0, None]), TypeError, "column 'site 2' holds float64 values, but"),
        (lambda: frame([1, None]).astype({"site 2": "Int64"}), TypeError,
         "column 'site 2' holds missing values, but states must be integers: convert the table "
         "first, for example with .fillna(-1).astype(int)"),
    ],
)
def test_bad_tables_say_what_to_fix(cells, error, message):
    with pytest.raises(error) as info:
        vt.matrix_for("(a,b);", cells() if callable(cells) else cells)
    assert message in str(info.value)


def test_numpy_and_pandas_stay_optional():
    code = (
        "import sys, veltrane_tools as vt\n"
        "print(sorted({'numpy', 'pandas'} & set(sys.modules)))\n"
        "sys.modules['numpy'] = sys.modules['pandas'] = None\n"
        "print(vt.matrix_for('(b,a);', {'a': [1], 'b': [2]}))\n"
        "print(vt.score_pairs([('(a,b);', '(b,a);')], 'rf', jobs=1))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == [
        "[]", "[[2], [1]]", "[{'id': 0, 'rf': 0, 'error_type': None, 'error': None}]"]
