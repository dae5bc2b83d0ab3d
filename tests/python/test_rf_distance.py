"""Robinson-Foulds distance, plain and normalized, against bipartitions counted in Python."""

import random

import pytest

import oracles
import strategies
import veltrane

RF, RFN = veltrane.robinson_foulds_distance, veltrane.robinson_foulds_distance_normalized
KEYS = ["rf_distance", "normalized_rf_distance", "max_possible_rf", "tree1_leaves", "tree2_leaves"]


@pytest.mark.parametrize("t1, t2, expected", [
    ("((A,B),(C,D));", "((B,A),(D,C));", (0, 0.0, 2, 4, 4)),  # child order does not matter
    ("((A,B),(C,D));", "(A,(B,(C,D)));", (0, 0.0, 2, 4, 4)),  # nor does the root
    ("((A,B),(C,D));", "((A,C),(B,D));", (2, 1.0, 2, 4, 4)),
    ("((A,B),(C,D));", "((A,B),(C,E));", (4, 2.0, 2, 4, 4)),  # over the union of the labels
    ("((A,B)X,(C,D));", "((A,B),(C,D));", (0, 0.0, 2, 5, 4)),  # X is in every complement
    ("(A,(B,C));", "((A,B),C);", (0, 0.0, 0, 3, 3)),  # 2 * 3 - 6 = 0 gives 0.0
    ("(A,B);", "(A,C);", (2, 2.0, 1, 2, 2)),  # fewer than three labels: divided by 1
    ("A;", "((A,B),(C,D));", (4, 4.0, 1, 1, 4)),
    ("(A,A);", "(A,B);", (0, 0.0, 1, 1, 2)),  # a repeated label is one taxon
])
def test_documented_distances(t1, t2, expected):
    assert tuple(RFN(t1, t2)[k] for k in KEYS) == expected
    assert RF(t1, t2)["rf_distance"] == expected[0] == oracles.rf_distance(t1, t2)


def test_random_pairs_match_the_oracle_both_ways():
    # Unary nodes, labels on internal nodes only or shared with a leaf, labels one tree lacks,
    # a label on two leaves now and then, more than 64 labels, and reordered copies.
    for seed in range(300):
        rnd = random.Random(seed)
        names = [f"t{i}" for i in range(rnd.choice([3, 6, 12, 70]))]

        def tree():
            labels = rnd.sample(names, rnd.randint(1, len(names)))
            labels += [rnd.choice(labels)] if rnd.random() < 0.15 else []
            return strategies.random_newick(rnd, labels, (1, 2, 2, 3), names + ["X"], 0.3)

        t1 = tree()
        t2 = strategies.shuffled(t1, rnd) if rnd.random() < 0.3 else tree()
        d = RF(t1, t2)["rf_distance"]
        assert d == oracles.rf_distance(t1, t2) == RF(t2, t1)["rf_distance"], (t1, t2)
