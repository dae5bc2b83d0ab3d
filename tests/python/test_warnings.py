"""RuntimeWarnings for results that cannot mean what the caller thinks: when each kind comes and
when it does not, one per kind per call, the result unchanged, and as exceptions without leaks."""

from __future__ import annotations

import gc
import sys
import tracemalloc
import warnings

import pytest

import veltrane as V

FLIPPED = ("((A,B),C);", "(C,(A,B));")  # the same tree, leaves listed in other orders
ROWS = [[1, 0], [1, 2], [0, 1]]
TREE = "((A,B)X,C)R;"
REORDERED = "(C,(A,B)X)R;"
ORDERS = ("{}: tree1_newick and tree2_newick carry the same leaf labels in different orders. This "
          "function pairs leaves by position (the k-th leaf of one text with the k-th leaf of the"
          " other) without reading their labels, so it compared different taxa. Write both trees"
          " with their leaves in the same order, or use veltrane_tools.triplet_agreement, which "
          "matches leaves by label.")
ROW_COUNT = ("{}: character_matrix has {} but tree_newick has 3 leaves. Row k belongs to the k-th "
             "leaf in the Newick text, so a leaf without a row counts as missing data and a row "
             "without a leaf is not used. Pass one row per leaf, in the order "
             "veltrane_tools.leaf_labels lists the leaves.")
NO_KEY = ("{}: none of the keys of internal_character_states names a node of tree_newick, so the "
          "states given there take no part in the result. Keys are node labels of the Newick "
          "text: label the internal nodes there (in '((A,B)X,C)R;' the internal nodes are X and "
          "R) and key their states by those labels.")
QUOTE = ("{}: the label '{}' in {} holds a quote character or a square bracket. The Newick "
         "reader has no quoting and no comments, so these characters became part of the name, and"
         " it differs from the same name written without them. Pass the text through "
         "veltrane_tools.clean_newick first.")


def run(fn, *args):
    # (result without its time, the RuntimeWarnings' messages); they name the caller's line.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = fn(*args)
    assert all(w.category is RuntimeWarning and w.filename == __file__ for w in caught)
    result.pop("computation_time_ms", None)
    return result, [str(w.message) for w in caught]


POSITIONAL = [V.triplets_correct_ultra, V.triplets_correct_parallel, V.triplets_correct_optimized]
CHARACTER = [V.parsimony_score, V.parsimony_p_value, V.likelihood_score]
WARNS = [
    *[(f, FLIPPED, [ORDERS.format(f.__name__)]) for f in POSITIONAL],
    (V.triplets_correct_ultra, ("((A,A),B);", "((A,B),B);"), [ORDERS.format("triplets_correct_ultra")]),
    (V.likelihood_distance, (TREE, REORDERED, ROWS), [
        "likelihood_distance: reconstructed_tree_newick and ground_truth_tree_newick list the "
        "same leaf names in different orders. Row k of character_matrix belongs to the k-th leaf"
        " of each tree, so the one matrix gives these names different rows in the two trees."]),
    *[(f, (TREE, rows), [ROW_COUNT.format(f.__name__, text)]) for f in CHARACTER
      for rows, text in [(ROWS[:2], "2 rows"), (ROWS + [[1, 1]], "4 rows"), ([], "0 rows"),
                         ([[1, 0]], "1 row")]],
    (V.phs_optimized, ("((A,B)X,C,)R;", ROWS + [[2, 2]], {"X": [0, 0]}), [
        "phs_optimized: character_matrix has 4 rows but tree_newick has 3 labelled leaves."]),
    (V.likelihood_distance, (TREE, "((A,B)X,(C,D))R;", ROWS), [
        "likelihood_distance: character_matrix has 3 rows but reconstructed_tree_newick has 3 "
        "leaves and ground_truth_tree_newick has 4 leaves."]),
    *[(f, (TREE, ROWS, {"Q": [0, 0], "P": [0, 0]}), [NO_KEY.format(f.__name__)])
      for f in [*CHARACTER, V.phs_optimized]],
    (V.likelihood_distance, (TREE, TREE, ROWS, {"X": [0, 0]}, {"Q": [0, 0]}), [
        "likelihood_distance: none of the keys of internal_states_ground_truth names a node of "
        "ground_truth_tree_newick, so"]),
    (V.likelihood_distance, (TREE, TREE, ROWS, {"Q": [0]}, {"Q": [0]}), [
        "likelihood_distance: none of the keys of internal_states_reconstructed names a node of "
        "reconstructed_tree_newick, and none of the keys of internal_states_ground_truth"]),
    (V.robinson_foulds_distance, ("('" + "x" * 60 + "',B);", "('A',B);"),
     [QUOTE.format("robinson_foulds_distance", "'" + "x" * 39 + "...", "tree1_newick")]),
    # Every kind at once, each once: quotes, orders, rows, states.
    (V.likelihood_distance, ("(('A',B)X,C)R;", "(C,('A',B)X)R;", ROWS[:2], {"Q": [0]}, {"Q": [0]}),
     ["likelihood_distance: the label ''A''", "likelihood_distance: reconstructed_tree_newick an",
      "likelihood_distance: character_matrix has 2 rows", "likelihood_distance: none of the"]),
]


@pytest.mark.parametrize("fn, args, messages", WARNS)
def test_each_kind_warns_once_with_what_to_do_and_leaves_the_result_as_it_is(fn, args, messages):
    result, got = run(fn, *args)
    assert len(got) == len(messages) and all(g.startswith(m) for g, m in zip(got, messages)), got
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert result == {k: v for k, v in fn(*args).items() if k != "computation_time_ms"}


@pytest.mark.parametrize("fn, args", [
    *[(f, pair) for f in POSITIONAL for pair in [
        ("((A,B),C);", "(A,(B,C));"), ("((A,B),C);", "((A,B),D);"), ("((A,B),C,);", "((A,B),C);")]],
    (V.triplets_correct, (*FLIPPED, 50, 1)), (V.triplets_correct_fast, (*FLIPPED, 50, 1)),
    *[(V.likelihood_distance, (TREE, other, ROWS)) for other in ["(A,(B,C)Y)R;", "((A,B)X,D)R;"]],
    (V.parsimony_score, ("((A,)X,C)R;", ROWS)),  # unlabelled leaves take rows too
    (V.phs_optimized, ("((A,B)X,C,)R;", ROWS, {"X": [0, 0]})),  # PHS counts labelled leaves
    *[(V.parsimony_score, (TREE, ROWS, s)) for s in [{}, {"Q": [0], "R": [0, 0]}, {"A": [1, 1]}]],
])
def test_results_that_mean_what_they_say_do_not_warn(fn, args):
    assert run(fn, *args)[1] == []


@pytest.mark.parametrize("tree, label", [
    ("(('A',B)X,C)R;", "'A'"), ('((A,"B")X,C)R;', '"B"'), ("[&R]((A,B)X,C)R;", "[&R]A"),
    ("((A,B)X,C)R[comment];", "R[comment]")])
def test_every_function_names_a_label_with_quotes_or_brackets(tree, label):
    for name in V.__all__:
        fn = getattr(V, name)
        args = ((tree, TREE, ROWS) if name == "likelihood_distance"
                else (tree, ROWS, {"X": [0, 0]}) if "(tree_newick" in fn.__text_signature__
                else (tree, TREE))
        first = fn.__text_signature__[1:].split(",")[0]
        quoted = [m for m in run(fn, *args)[1] if "quote" in m]
        assert quoted == [QUOTE.format(name, label, first)], name


@pytest.mark.parametrize("fn, args, _", WARNS[:1] + WARNS[4:6] + WARNS[-3:-1])
def test_a_warning_turned_into_an_error_raises_and_keeps_no_reference(fn, args, _):
    objects = [*args, *(x for a in args if isinstance(a, list) for x in a)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            fn(*args)
        before = [sys.getrefcount(x) for x in objects]
        for _ in range(5):
            with pytest.raises(RuntimeWarning):
                fn(*args)
        assert [sys.getrefcount(x) for x in objects] == before
        # And many of them allocate nothing that stays: a leak grows in every window.
        tracemalloc.start()
        grown = []
        for _ in range(3):
            gc.collect()
            before_bytes = tracemalloc.get_traced_memory()[0]
            for _ in range(1000):
                try:
                    fn(*args)
                except RuntimeWarning:
                    pass
            gc.collect()
            grown.append(tracemalloc.get_traced_memory()[0] - before_bytes)
        tracemalloc.stop()
    assert min(grown) < 16 * 1024, grown
