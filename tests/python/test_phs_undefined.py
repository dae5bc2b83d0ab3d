"""phs_optimized: a pair p-value the rates leave undefined is a ValueError that says why and
what to pass instead, on both roads and for a single pair."""

from __future__ import annotations

import math
import random
import sys

import pytest

import oracles
import veltrane

PHS = veltrane.phs_optimized


def edit_probability(d: int, mu: float, q: float) -> float:
    t = 1.0 - math.exp(-mu * (1.0 - d))
    return 1.0 if d == 1 else q * math.exp(-mu * d) * t * t


def message(depth: int, mu: float, q: float) -> str:
    pi = edit_probability(depth, mu, q)
    return (
        f"the p-value of the pairs whose lowest common ancestor is at depth {depth} is "
        f"undefined: with mutation_rate {mu:.6g} and collision_probability {q:.6g}, the "
        f"per-character probability of a shared edit there is {pi:.6g}, outside [0, 1]. Depths "
        "are counted in edges from the root, so give a per-edge mutation_rate small enough for "
        "the tree's depth (without one, the rate is estimated from the share of edited entries "
        "in character_matrix, which suits trees only a few edges deep) and a "
        "collision_probability within [0, 1]."
    )


# The caterpillar (((((L0,L1)n1,L2)n2,L3)n3,L4)n4,L5)n5: L0 and L1 meet at depth 4, L2 meets
# them at depth 3, and so on up to L5 at the root. Every leaf carries edit 1 on the character.
CATERPILLAR = oracles.caterpillar(6, prefix="L", inner="n")
ROWS = [[1]] * 6
UNEDITED = {f"n{k}": [0] for k in range(1, 6)}


def test_the_message_names_the_shallowest_undefined_depth_and_the_rates():
    # With mu = 1.2, pi is 0.27 at depth 3 and 1.04 at depth 4, where only L0 and L1 meet.
    assert edit_probability(3, 1.2, 0.1) < 1 < edit_probability(4, 1.2, 0.1)
    with pytest.raises(ValueError) as ei:
        PHS(CATERPILLAR, ROWS, UNEDITED, mutation_rate=1.2)
    assert type(ei.value) is ValueError
    assert str(ei.value) == message(4, 1.2, 0.1)


def test_the_estimated_rate_is_named_and_a_small_given_rate_scores():
    # Edits everywhere but one entry: the estimate -ln(1 - 5/6) = 1.79 is too large at depth 4.
    rows = ROWS[:5] + [[0]]
    mu = -math.log(1 - 5 / 6)
    with pytest.raises(ValueError) as ei:
        PHS(CATERPILLAR, rows, UNEDITED)
    assert str(ei.value) == message(4, mu, 0.1)
    score = PHS(CATERPILLAR, rows, UNEDITED, mutation_rate=0.05)["phs_score"]
    assert score == oracles.phs(CATERPILLAR, rows, UNEDITED, mutation_rate=0.05)[0]


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"mutation_rate": math.nan}, "with mutation_rate nan and collision_probability 0.1"),
        ({"mutation_rate": math.inf}, "with mutation_rate inf and collision_probability 0.1"),
        ({"mutation_rate": 0.1, "collision_probability": math.nan}, "probability nan, the"),
    ],
    ids=["nan-rate", "infinite-rate", "nan-collision"],
)
def test_a_single_pair_with_a_rate_that_is_not_a_number(kwargs, text):
    with pytest.raises(ValueError) as ei:
        PHS("(A,B)R;", [[1], [1]], {"R": [0]}, **kwargs)
    assert text in str(ei.value)
    assert "is not a number. Depths are counted in edges" in str(ei.value)


def test_pairs_without_shared_edits_never_fail():
    # Only pairs that share an edit have a p-value other than 1.
    rows = [[1], [2], [3], [4], [5], [6]]
    assert PHS(CATERPILLAR, rows, UNEDITED, mutation_rate=5.0)["phs_score"] == 1.0


def test_both_roads_fail_alike_and_keep_no_reference():
    rnd = random.Random(4)
    labels = [f"t{i}" for i in range(150)]  # 11175 pairs: chunked on a pool of two or more
    newick = oracles.binary_newick(labels, rnd, inner="n")
    matrix = [[rnd.choice([0, 1, 1, 2]) for _ in range(6)] for _ in labels]
    states = {f"n{k}": [0] * 6 for k in range(149)}
    errors = []
    for max_threads in (None, 1):
        before = [sys.getrefcount(x) for x in (newick, matrix, states)]
        for _ in range(3):
            with pytest.raises(ValueError) as ei:
                PHS(newick, matrix, states, max_threads=max_threads)
        assert [sys.getrefcount(x) for x in (newick, matrix, states)] == before
        errors.append(str(ei.value))
    assert errors[0] == errors[1]
    assert "is undefined: with mutation_rate" in errors[0]
