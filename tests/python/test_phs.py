"""phs_optimized: documented scores, p-values at their edges, unusable inputs, chunked roads."""

import math
import random

import pytest

import strategies
import veltrane

PHS = veltrane.phs_optimized
ROWS = [[1, 2], [1, 2], [1, 0]]


def big_case(n_leaves: int, seed: int) -> tuple:
    # Labelled binary tree, sparse random edits, mostly unedited states on internal nodes.
    rnd = random.Random(seed)
    text = strategies.binary_newick([f"t{i}" for i in range(n_leaves)], rnd, "n")
    matrix = [rnd.choices([-1, 0, 0, 0, 0, 0, *range(1, 9)], k=12) for _ in range(n_leaves)]
    return text, matrix, {f"n{k}": rnd.choices([0, 0, 0, 1], k=12) for k in range(n_leaves - 1)}


def test_worked_example():
    # (A,B) meet at X (depth 1, p = 1); (A,C) and (B,C) meet at the root sharing one edit.
    # n = 2, mu = -ln(1/6) (five edited entries of six), pi = 0.1 (5/6)^2, p = 1 - (1 - pi)^2.
    result = PHS("((A,B)X,C)R;", ROWS, {"X": [0, 0], "R": [0, 0]})
    p = 1 - (1 - 0.1 * (5 / 6) ** 2) ** 2
    assert result.pop("computation_time_ms") >= 0 and result == {
        "phs_score": pytest.approx(min(3 * p, 3 * p / 2, 1.0), rel=1e-12), "total_pairs": 3,
        "method_used": "optimized_sequential", "parallel_chunks_used": 1}
    assert result["phs_score"] == pytest.approx(0.2010995, abs=1e-7)


@pytest.mark.parametrize("text, rows", [("(A,);", []), ("A;", []), ("((,A),);", [[5]])])
def test_one_labelled_leaf_gives_no_pairs(text, rows):
    result = PHS(text, rows, {"A": [0]})
    assert result.pop("computation_time_ms") >= 0 and result == {
        "phs_score": 1.0, "total_pairs": 0, "method_used": "no_pairs", "parallel_chunks_used": 1}


@pytest.mark.parametrize("text, rows, states, kwargs, expected", [
    ("((A,B)X,C)R;", ROWS, {"X": [0, 0], "R": [1, 0]}, {}, 1.0),  # the root's edit is no homoplasy
    # n = 1 (row 0): A and B share three edits below X at depth 1 (pi = 1, h > n): p = 0,
    # raised to 2^-52; the other two pairs have p = 1.
    ("(Z,(A,B)X)R;", [[1], [1, 2, 3], [1, 2, 3]], {"X": [0, 0, 0]}, {}, 3 * 2.0**-52),
    ("((A,B),C);", [[1], [1], [1]], {}, {}, 1.0),  # no states: every pair has p = 1
    # The unlabelled leaf takes no row: A and B share their one edit at the root (n = 1).
    ("(A,,B)R;", [[1], [1]], {"R": [0]}, {"mutation_rate": 1.0}, 0.1 * (1 - math.exp(-1.0)) ** 2),
    # Estimated rate: N = 5 observed entries, E = 3 edited, mu = -ln(0.4).
    ("(A,B)R;", [[1, 0, -1], [1, 2, 0]], {"R": [0, 0, 0]}, {}, 1 - (1 - 0.1 * 0.6**2) ** 3),
])
def test_documented_scores(text, rows, states, kwargs, expected):
    assert PHS(text, rows, states, **kwargs)["phs_score"] == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("text, rows, kwargs, message", [
    ("(,);", [[1]], {}, "the tree has no labelled leaf"),
    ("((A,B),(C,,D),E);", [[1]] * 3, {},
     "character_matrix has 3 rows but the tree has 5 labelled leaves"),
    ("((A,B)", [[1]], {}, "character_matrix has 1 rows but the tree has 2 labelled leaves"),
    ("((A,B)", [[1], [1]], {}, "unreachable"),
    # An undefined p-value: a NaN rate with two pairs or one, every observed entry edited
    # (mu = inf), a probability of a shared edit above 1.
    ("(A,B,C)R;", [[1]] * 3, {"mutation_rate": math.nan}, "depth 0 is undefined"),
    ("(A,B)R;", [[1], [1]], {"collision_probability": math.nan}, "collision_probability nan"),
    ("(A,B)R;", [[1, -1], [1, -1]], {}, "mutation_rate inf"),
    ("((((A,B),C),D),E)R;", [[1]] * 5, {"mutation_rate": 0.1, "collision_probability": 200},
     "outside [0, 1]"),
])
def test_unusable_inputs(text, rows, kwargs, message, panic_exception):
    with pytest.raises(BaseException) as ei:
        PHS(text, rows, {"R": [0]}, **kwargs)
    expected = panic_exception if message in ("the tree has no labelled leaf", "unreachable") else ValueError
    assert type(ei.value) is expected and message in str(ei.value)
    assert "rows" not in message or str(ei.value) == message
    assert "undefined" not in message or "counted in edges" in str(ei.value)


def test_chunked_and_sequential_roads_agree():
    case = big_case(200, 7)  # 19900 pairs: chunked when the pool has two workers or more
    results = [PHS(*case, 0.02, max_threads=k) for k in (None, 1, 2)]
    assert len({r["phs_score"] for r in results}) == 1 and results[0]["phs_score"] < 1.0
    assert results[1]["method_used"] == "optimized_sequential"  # one worker


def test_an_undefined_p_value_names_the_shallowest_such_depth_the_rates_and_the_remedy():
    # The caterpillar ((((((L0,L1)n1,L2)n2,...)n5: L0 and L1 meet at depth 4, where mu = 1.2
    # makes pi = 0.1 e^-4.8 (1 - e^3.6)^2 = 1.04; at depth 3 it is 0.27. Every leaf has edit 1.
    text = strategies.caterpillar(6, prefix="L", inner="n")
    states = {f"n{k}": [0] for k in range(1, 6)}
    pi = 0.1 * math.exp(-4.8) * (1 - math.exp(3.6)) ** 2
    roads = []
    for max_threads in (None, 1):  # chunked on a pool of two or more, then sequential
        with pytest.raises(ValueError) as ei:
            PHS(text, [[1]] * 6, states, mutation_rate=1.2, max_threads=max_threads)
        roads.append(str(ei.value))
    assert roads[0] == roads[1] == (
        "the p-value of the pairs whose lowest common ancestor is at depth 4 is undefined: "
        f"with mutation_rate 1.2 and collision_probability 0.1, the per-character probability "
        f"of a shared edit there is {pi:.6g}, outside [0, 1]. Depths are counted in edges from "
        "the root, so give a per-edge mutation_rate small enough for the tree's depth (without "
        "one, the rate is estimated from the share of edited entries in character_matrix, "
        "which suits trees only a few edges deep) and a collision_probability within [0, 1].")
    # Pairs that share no edit have p = 1 whatever the rate.
    assert PHS(text, [[k] for k in range(1, 7)], states, mutation_rate=5.0)["phs_score"] == 1.0
