"""Functions that read two trees: large texts are read at the same time, yet the first text's
failure still wins and the results are those of reading them one after the other."""

from __future__ import annotations

import pytest

import veltrane


def caterpillar(n: int, prefix: str = "t") -> str:
    return "(" * (n - 1) + f"{prefix}0" + "".join(f",{prefix}{i})" for i in range(1, n)) + ";"


BIG = caterpillar(20000)  # well past the size from which both texts are read in parallel
BROKEN_EARLY = "A,B);" + " " * len(BIG)  # a stray comma at character 1
BROKEN_LATE = BIG[:-1] + ");"  # one ")" too many, at the very end
MATRIX = [[0]] * 20000

CALLS = {
    "rf": (lambda a, b: veltrane.robinson_foulds_distance(a, b), ("tree1", "tree2")),
    "rf_normalized": (
        lambda a, b: veltrane.robinson_foulds_distance_normalized(a, b),
        ("tree1", "tree2"),
    ),
    "triplets_ultra": (
        lambda a, b: veltrane.triplets_correct_ultra(a, b, number_of_trials=2**63),
        ("tree1", "tree2"),
    ),
    "likelihood_distance": (
        lambda a, b: veltrane.likelihood_distance(a, b, MATRIX),
        ("reconstructed tree", "ground truth tree"),
    ),
}


def message(call, a, b) -> str:
    with pytest.raises(ValueError) as info:
        call(a, b)
    return str(info.value)


@pytest.mark.parametrize("name", list(CALLS))
def test_the_first_texts_failure_wins_and_each_names_its_text(name):
    call, (first, second) = CALLS[name]
    early = message(call, BROKEN_EARLY, "(A,B);")
    assert early.startswith(f"Failed to parse {first}: ")
    # Both broken, both large: the first text's failure, whatever finishes first.
    assert message(call, BROKEN_EARLY, BROKEN_LATE) == early
    assert message(call, BROKEN_LATE, BROKEN_EARLY) == message(call, BROKEN_LATE, "(A,B);")
    late = message(call, BIG, BROKEN_LATE)
    assert late.startswith(f"Failed to parse {second}: ")
    # The same failure as when the broken text comes with a small partner.
    assert late == message(call, "(A,B);", BROKEN_LATE)


def test_large_pairs_keep_each_tree_in_its_place():
    other = caterpillar(20001, "u")
    r = veltrane.robinson_foulds_distance_normalized(BIG, other)
    assert (r["tree1_leaves"], r["tree2_leaves"]) == (20000, 20001)
    r = veltrane.robinson_foulds_distance_normalized(other, BIG)
    assert (r["tree1_leaves"], r["tree2_leaves"]) == (20001, 20000)
    assert veltrane.robinson_foulds_distance(BIG, BIG)["rf_distance"] == 0
    exact = veltrane.triplets_correct_ultra(BIG, BIG, number_of_trials=2**63)
    assert exact["method_used"] == "exhaustive"
    assert exact["all_triplets_correct"][0] == 1.0
