"""RuntimeWarnings for results that cannot mean what the caller thinks: when each kind comes and
when it does not, one per kind per call, the result unchanged, and as exceptions without leaks."""

from __future__ import annotations

import gc
import sys
import tracemalloc
import warnings

import pytest

import veltrane

V = veltrane
FLIPPED = ("((A,B),C);", "(C,(A,B));")  # the same tree, leaves listed in other orders
MATRIX3 = [[1, 0], [1, 2], [0, 1]]
TREE3 = "((A,B)X,C)R;"


def run(fn, *args, **kwargs):
    """(result, messages of the RuntimeWarnings it issued)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = fn(*args, **kwargs)
    assert all(w.category is RuntimeWarning for w in caught), caught
    assert all(w.filename == __file__ for w in caught), "the warning names the caller's line"
    result.pop("computation_time_ms", None)
    return result, [str(w.message) for w in caught]


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fn(*args, **kwargs)
    result.pop("computation_time_ms", None)
    return result


POSITIONAL = ["triplets_correct_ultra", "triplets_correct_parallel", "triplets_correct_optimized"]


class TestPositionalPairing:
    @pytest.mark.parametrize("name", POSITIONAL)
    def test_same_labels_in_other_orders(self, name):
        result, messages = run(getattr(V, name), *FLIPPED)
        assert messages == [
            f"{name}: tree1_newick and tree2_newick carry the same leaf labels in different "
            "orders. This function pairs leaves by position (the k-th leaf of one text with the "
            "k-th leaf of the other) without reading their labels, so it compared different "
            "taxa. Write both trees with their leaves in the same order, or use "
            "veltrane_tools.triplet_agreement, which matches leaves by label."
        ]
        assert result["all_triplets_correct"] == {0: 0.0}
        assert result == quiet(getattr(V, name), *FLIPPED)

    @pytest.mark.parametrize(
        "tree1, tree2",
        [
            ("((A,B),C);", "(A,(B,C));"),  # same order, other shape
            ("((A,B),C);", "((A,B),D);"),  # other labels: not a reordering
            ("((A,B),C,);", "((A,B),C);"),  # an extra unlabelled leaf after the paired ones
            ("((A,B),(C,D));", "((A,B),(C,D));"),
        ],
        ids=["same-order", "other-labels", "trailing-unlabelled", "same-text"],
    )
    @pytest.mark.parametrize("name", POSITIONAL)
    def test_no_warning_when_positions_pair_equal_labels_or_sets_differ(self, name, tree1, tree2):
        assert run(getattr(V, name), tree1, tree2)[1] == []

    def test_repeated_labels_in_other_places(self):
        # {A, B} on both sides, but A, A, B against A, B, B.
        assert len(run(V.triplets_correct_ultra, "((A,A),B);", "((A,B),B);")[1]) == 1

    @pytest.mark.parametrize("name", ["triplets_correct", "triplets_correct_fast"])
    def test_functions_that_match_labels_do_not_warn(self, name):
        assert run(getattr(V, name), *FLIPPED, 50, seed=1)[1] == []


class TestLikelihoodDistanceRows:
    def test_same_names_in_other_orders(self):
        result, messages = run(V.likelihood_distance, "((A,B)X,C)R;", "(C,(A,B)X)R;", MATRIX3)
        assert messages == [
            "likelihood_distance: reconstructed_tree_newick and ground_truth_tree_newick list "
            "the same leaf names in different orders. Row k of character_matrix belongs to the "
            "k-th leaf of each tree, so the one matrix gives these names different rows in the "
            "two trees. Write both trees with their leaves in the same order "
            "(veltrane_tools.leaf_labels lists a tree's order), or score each tree with "
            "likelihood_score and a matrix in its own leaf order."
        ]
        assert result == quiet(V.likelihood_distance, "((A,B)X,C)R;", "(C,(A,B)X)R;", MATRIX3)

    @pytest.mark.parametrize(
        "other",
        ["(A,(B,C)Y)R;", "((A,B)X,D)R;", "((A,B)X,C,)R;"],
        ids=["same-order", "other-names", "extra-unlabelled-leaf-last"],
    )
    def test_rows_that_fit_both_trees_do_not_warn(self, other):
        messages = run(V.likelihood_distance, TREE3, other, MATRIX3)[1]
        assert not any("different orders" in m for m in messages), messages


class TestRowCounts:
    @pytest.mark.parametrize(
        "name", ["parsimony_score", "parsimony_p_value", "likelihood_score"]
    )
    @pytest.mark.parametrize(
        "rows, text",
        [
            (MATRIX3[:2], "character_matrix has 2 rows but tree_newick has 3 leaves."),
            (MATRIX3 + [[1, 1]], "character_matrix has 4 rows but tree_newick has 3 leaves."),
            ([], "character_matrix has 0 rows but tree_newick has 3 leaves."),
            ([[1, 0]], "character_matrix has 1 row but tree_newick has 3 leaves."),
        ],
        ids=["fewer", "more", "none", "one"],
    )
    def test_rows_other_than_leaves(self, name, rows, text):
        result, messages = run(getattr(V, name), TREE3, rows)
        assert messages == [
            f"{name}: {text} Row k belongs to the k-th leaf in the Newick text, so a leaf "
            "without a row counts as missing data and a row without a leaf is not used. Pass "
            "one row per leaf, in the order veltrane_tools.leaf_labels lists the leaves."
        ]
        assert result == quiet(getattr(V, name), TREE3, rows)

    def test_unlabelled_leaves_take_rows_too(self):
        assert run(V.parsimony_score, "((A,)X,C)R;", MATRIX3)[1] == []

    def test_phs_counts_labelled_leaves_and_fewer_rows_stay_an_error(self):
        tree = "((A,B)X,C,)R;"  # three labelled leaves and an unlabelled one
        assert run(V.phs_optimized, tree, MATRIX3, {"X": [0, 0]})[1] == []
        messages = run(V.phs_optimized, tree, MATRIX3 + [[2, 2]], {"X": [0, 0]})[1]
        assert len(messages) == 1
        assert messages[0].startswith(
            "phs_optimized: character_matrix has 4 rows but tree_newick has 3 labelled leaves. "
            "Row k belongs to the k-th labelled leaf in the Newick text"
        )
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(ValueError):
                V.phs_optimized(tree, MATRIX3[:2], {"X": [0, 0]})

    def test_likelihood_distance_names_both_trees(self):
        messages = run(V.likelihood_distance, TREE3, "((A,B)X,(C,D))R;", MATRIX3)[1]
        assert [m for m in messages if "rows but" in m] == [
            "likelihood_distance: character_matrix has 3 rows but reconstructed_tree_newick has "
            "3 leaves and ground_truth_tree_newick has 4 leaves. Row k belongs to the k-th leaf "
            "in the Newick text, so a leaf without a row counts as missing data and a row "
            "without a leaf is not used. Pass one row per leaf, in the order "
            "veltrane_tools.leaf_labels lists the leaves."
        ]


class TestInternalStates:
    @pytest.mark.parametrize(
        "name", ["parsimony_score", "parsimony_p_value", "likelihood_score", "phs_optimized"]
    )
    def test_keys_that_name_no_node(self, name):
        states = {"Q": [0, 0], "P": [0, 0]}
        result, messages = run(getattr(V, name), TREE3, MATRIX3, states)
        assert messages == [
            f"{name}: none of the keys of internal_character_states names a node of "
            "tree_newick, so the states given there take no part in the result. Keys are node "
            "labels of the Newick text: label the internal nodes there (in '((A,B)X,C)R;' the "
            "internal nodes are X and R) and key their states by those labels."
        ]
        assert result == quiet(getattr(V, name), TREE3, MATRIX3, states)

    @pytest.mark.parametrize(
        "states", [{}, {"X": [0, 0]}, {"Q": [0], "R": [0, 0]}, {"A": [1, 1]}],
        ids=["empty", "one-match", "one-of-two", "a-leaf"],
    )
    def test_states_that_name_some_node_do_not_warn(self, states):
        assert run(V.parsimony_score, TREE3, MATRIX3, states)[1] == []

    def test_likelihood_distance_names_only_the_maps_that_miss(self):
        good, bad = {"X": [0, 0]}, {"Q": [0, 0]}
        messages = run(V.likelihood_distance, TREE3, TREE3, MATRIX3, good, bad)[1]
        assert len(messages) == 1
        assert messages[0].startswith(
            "likelihood_distance: none of the keys of internal_states_ground_truth names a node "
            "of ground_truth_tree_newick, so"
        )
        both = run(V.likelihood_distance, TREE3, TREE3, MATRIX3, bad, bad)[1]
        assert len(both) == 1
        assert both[0].startswith(
            "likelihood_distance: none of the keys of internal_states_reconstructed names a node "
            "of reconstructed_tree_newick, and none of the keys of internal_states_ground_truth "
            "names a node of ground_truth_tree_newick, so"
        )


def label_syntax_calls(tree1, tree2=TREE3):
    """Every function with a first tree text `tree1` (and rows, states that fit TREE3)."""
    return [
        (V.triplets_correct, (tree1, tree2, 20), {"seed": 1}),
        (V.triplets_correct_fast, (tree1, tree2, 20), {"seed": 1}),
        (V.triplets_correct_ultra, (tree1, tree2), {}),
        (V.triplets_correct_parallel, (tree1, tree2), {}),
        (V.triplets_correct_optimized, (tree1, tree2), {}),
        (V.phs_optimized, (tree1, MATRIX3, {"X": [0, 0]}), {}),
        (V.robinson_foulds_distance, (tree1, tree2), {}),
        (V.robinson_foulds_distance_normalized, (tree1, tree2), {}),
        (V.parsimony_score, (tree1, MATRIX3, {"X": [0, 0]}), {}),
        (V.parsimony_p_value, (tree1, MATRIX3, {"X": [0, 0]}), {}),
        (V.likelihood_score, (tree1, MATRIX3, {"X": [0, 0]}), {}),
        (V.likelihood_distance, (tree1, tree2, MATRIX3, {"X": [0, 0]}, {"X": [0, 0]}), {}),
    ]


class TestLabelSyntax:
    @pytest.mark.parametrize(
        "tree, label",
        [
            ("(('A',B)X,C)R;", "'A'"),
            ('((A,"B")X,C)R;', '"B"'),
            ("[&R]((A,B)X,C)R;", "[&R]A"),  # text before "(" joins the next label
            ("((A,B)X,C)R[comment];", "R[comment]"),
        ],
        ids=["single-quote", "double-quote", "rooting-comment", "bracket-after-root"],
    )
    def test_every_function_names_the_label(self, tree, label):
        assert len(label_syntax_calls(tree)) == len(V.__all__)
        for fn, args, kwargs in label_syntax_calls(tree):
            messages = [m for m in run(fn, *args, **kwargs)[1] if "quote" in m]
            first = "reconstructed_tree_newick" if fn is V.likelihood_distance else (
                "tree_newick" if len(args) == 3 and isinstance(args[1], list) else "tree1_newick"
            )
            assert messages == [
                f"{fn.__name__}: the label '{label}' in {first} holds a quote character or a "
                "square bracket. The Newick reader has no quoting and no comments, so these "
                "characters became part of the name, and it differs from the same name written "
                "without them. Pass the text through veltrane_tools.clean_newick first."
            ], fn.__name__

    def test_one_warning_for_two_trees_and_long_labels_are_cut(self):
        long = "'" + "x" * 60 + "'"
        messages = run(V.robinson_foulds_distance, f"({long},B);", "('A',B);")[1]
        assert len(messages) == 1
        assert f"the label '{long[:40]}...' in tree1_newick" in messages[0]

    def test_plain_labels_do_not_warn(self):
        for fn, args, kwargs in label_syntax_calls(TREE3):
            assert run(fn, *args, **kwargs)[1] == [], fn.__name__


def test_each_kind_once_in_one_call():
    # likelihood_distance with every kind: quotes in both trees, leaves in other orders, rows
    # that fit neither tree, states that name no node.
    messages = run(
        V.likelihood_distance, "(('A',B)X,C)R;", "(C,('A',B)X)R;", MATRIX3[:2],
        {"Q": [0]}, {"Q": [0]},
    )[1]
    kinds = ["holds a quote", "different orders", "rows but", "none of the keys"]
    assert [next(k for k in kinds if k in m) for m in messages] == kinds


# Calls that warn, for the checks of warnings turned into errors.
WARNING_CALLS = [
    (V.triplets_correct_ultra, FLIPPED),
    (V.likelihood_distance, ("((A,B)X,C)R;", "(C,(A,B)X)R;", MATRIX3)),
    (V.parsimony_score, (TREE3, MATRIX3[:2])),
    (V.phs_optimized, (TREE3, MATRIX3, {"Q": [0, 0]})),
    (V.robinson_foulds_distance, ("('A',B);", "(A,B);")),
]


@pytest.mark.parametrize("fn, args", WARNING_CALLS, ids=lambda x: getattr(x, "__name__", ""))
def test_a_warning_turned_into_an_error_raises_and_keeps_no_reference(fn, args):
    objects = list(args)  # and the rows and state vectors inside
    for a in args:
        objects += list(a.values()) if isinstance(a, dict) else a if isinstance(a, list) else []
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            fn(*args)
        before = [sys.getrefcount(x) for x in objects]
        for _ in range(5):
            with pytest.raises(RuntimeWarning):
                fn(*args)
    assert [sys.getrefcount(x) for x in objects] == before


@pytest.mark.slow
def test_many_warnings_as_errors_allocate_nothing_that_stays():
    def round_of_calls():
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for fn, args in WARNING_CALLS:
                try:
                    fn(*args)
                except RuntimeWarning:
                    pass

    for _ in range(500):
        round_of_calls()
    gc.collect()
    tracemalloc.start()
    try:
        # The interpreter may grow a table of its own once in a while (one block, whatever
        # the number of calls); a leak grows in every window.
        blocks = sys.getallocatedblocks()
        grown = []
        for _ in range(3):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(700):
                round_of_calls()
            gc.collect()
            grown.append(tracemalloc.get_traced_memory()[0] - before)
        blocks = sys.getallocatedblocks() - blocks
    finally:
        tracemalloc.stop()
    assert min(grown) < 16 * 1024, f"bytes kept per 3500 calls: {grown}"
    assert blocks < 50, f"{blocks} blocks kept over 10500 calls"
