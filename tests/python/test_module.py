"""The module object: its functions, their published signatures, result shapes, the
PanicException type and the single initialization."""

from __future__ import annotations

import inspect
import subprocess
import sys
import types

import pytest

import veltrane as v

# Functions in registration order, each with its exact signature line and summary.
TABLE = {
    "triplets_correct": (
        "(tree1_newick, tree2_newick, number_of_trials=1000, min_triplets_at_depth=1, seed=None)",
        "Python wrapper for triplets_correct function",
    ),
    "triplets_correct_fast": (
        "(tree1_newick, tree2_newick, number_of_trials=1000, min_triplets_at_depth=1, seed=None)",
        "Fast Python wrapper for triplets_correct function",
    ),
    "triplets_correct_ultra": (
        "(tree1_newick, tree2_newick, number_of_trials=5000, min_triplets_at_depth=1, seed=None)",
        "Ultra-fast Python wrapper with automatic exhaustive/sampling selection",
    ),
    "triplets_correct_parallel": (
        "(tree1_newick, tree2_newick, number_of_trials=10000, min_triplets_at_depth=1, seed=None,"
        " max_threads=None)",
        "Parallel Python wrapper with rayon-based parallelization",
    ),
    "triplets_correct_optimized": (
        "(tree1_newick, tree2_newick, number_of_trials=10000, min_triplets_at_depth=1, seed=None,"
        " max_threads=None)",
        "Optimized Python wrapper using phylo-rs inspired techniques",
    ),
    "phs_optimized": (
        "(tree_newick, character_matrix, internal_character_states, mutation_rate=None,"
        " collision_probability=None, missing_state=..., unedited_state=0, max_threads=None)",
        "Optimized PHS (Pairwise Homoplasy Score) calculation",
    ),
    "robinson_foulds_distance": (
        "(tree1_newick, tree2_newick)",
        "Python wrapper for Robinson-Foulds distance calculation",
    ),
    "robinson_foulds_distance_normalized": (
        "(tree1_newick, tree2_newick)",
        "Python wrapper for normalized Robinson-Foulds distance calculation",
    ),
    "parsimony_score": (
        "(tree_newick, character_matrix, internal_character_states=None, missing_state=...,"
        " unedited_state=0)",
        "Python wrapper for parsimony calculation",
    ),
    "parsimony_p_value": (
        "(tree_newick, character_matrix, internal_character_states=None, mutation_rate=None,"
        " missing_state=..., unedited_state=0)",
        "Python wrapper for parsimony p-value calculation  ",
    ),
    "likelihood_score": (
        "(tree_newick, character_matrix, internal_character_states=None, mutation_rate=None,"
        " collision_probability=None, missing_state=..., unedited_state=0)",
        "Python wrapper for likelihood calculation",
    ),
    "likelihood_distance": (
        "(reconstructed_tree_newick, ground_truth_tree_newick, character_matrix,"
        " internal_states_reconstructed=None, internal_states_ground_truth=None,"
        " mutation_rate=None, collision_probability=None, missing_state=..., unedited_state=0)",
        "Python wrapper for likelihood distance calculation",
    ),
}


def test_module_exports_exactly_the_table():
    assert (v.__name__, v.__doc__) == ("veltrane", "Python module definition")
    assert v.__all__ == list(TABLE)
    assert {n for n in vars(v) if not n.startswith("__")} == set(TABLE)


@pytest.mark.parametrize("name", list(TABLE))
def test_function_metadata(name):
    fn = getattr(v, name)
    signature, summary = TABLE[name]
    assert isinstance(fn, types.BuiltinFunctionType)
    assert (fn.__module__, fn.__name__, fn.__doc__) == ("veltrane", name, summary)
    assert fn.__text_signature__ == signature
    # inspect shows the "..." default of missing_state as the Ellipsis object it parses to.
    assert str(inspect.signature(fn)) == signature.replace("=...", "=Ellipsis")


T1, T2 = "((A,B)X,(C,D)Y)R;", "((A,C)X,(B,D)Y)R;"
M = [[1, 0], [1, 2], [2, 0], [0, -1]]
RATIOS = [(k, "ratio") for k in ("all_triplets_correct", "resolvable_triplets_correct",
                                 "unresolved_triplets_correct", "proportion_unresolvable")]
TIME = ("computation_time_ms", float)
POSITIONAL = RATIOS + [("method_used", str), ("total_triplets_checked", int)]
CHUNKED = POSITIONAL + [("parallel_chunks_used", int)]
# (id, call, keys and value types in order, method_used)
SHAPES = [
    ("triplets", lambda: v.triplets_correct(T1, T2, 9, seed=1), RATIOS, None),
    ("fast", lambda: v.triplets_correct_fast(T1, T2, 9, seed=1), RATIOS, None),
    ("ultra", lambda: v.triplets_correct_ultra(T1, T2), POSITIONAL, "exhaustive"),
    ("parallel", lambda: v.triplets_correct_parallel(T1, T2), CHUNKED, "parallel_exhaustive"),
    ("optimized", lambda: v.triplets_correct_optimized(T1, T2), CHUNKED, "optimized_exhaustive"),
    ("phs", lambda: v.phs_optimized(T1, M, {"X": [0, 0]}),
     [("phs_score", float), ("total_pairs", int), TIME, ("method_used", str),
      ("parallel_chunks_used", int)], "optimized_sequential"),
    ("rf", lambda: v.robinson_foulds_distance(T1, T2),
     [("rf_distance", int), TIME, ("method_used", str)], "phylo-rs RobinsonFoulds"),
    ("rf-normalized", lambda: v.robinson_foulds_distance_normalized(T1, T2),
     [("rf_distance", int), ("normalized_rf_distance", float), TIME, ("method_used", str),
      ("max_possible_rf", int), ("tree1_leaves", int), ("tree2_leaves", int)],
     "phylo-rs RobinsonFoulds"),
    ("parsimony", lambda: v.parsimony_score(T1, M),
     [("parsimony_score", int), ("total_mutations", int), TIME, ("method_used", str),
      ("internal_states_inferred", bool)], "small_mp_inferred"),
    ("parsimony-given", lambda: v.parsimony_score(T1, M, {}),
     [("parsimony_score", int), ("total_mutations", int), TIME, ("method_used", str),
      ("internal_states_inferred", bool)], "provided_states"),
    ("p-value", lambda: v.parsimony_p_value(T1, M),
     [("p_value", float), ("parsimony_score", int), TIME, ("method_used", str)],
     "poisson_approximation"),
    ("likelihood", lambda: v.likelihood_score(T1, M),
     [("log_likelihood", float), ("likelihood", float), TIME, ("method_used", str),
      ("n_characters", int), ("n_leaves", int)], "crispr_cas9_model"),
    ("likelihood-distance", lambda: v.likelihood_distance(T1, T2, M),
     [("likelihood_distance", float)], None),
]


@pytest.mark.parametrize(
    "call, keys, method", [s[1:] for s in SHAPES], ids=[s[0] for s in SHAPES]
)
def test_result_keys_types_and_method(call, keys, method):
    result, again = call(), call()
    assert type(result) is dict and result is not again
    assert list(result) == [k for k, _ in keys]
    for key, kind in keys:
        if kind == "ratio":
            assert list(result[key]) == [0] and type(result[key][0]) is float
        else:
            assert type(result[key]) is kind, key
    assert result.get("method_used") == method
    assert result.get("computation_time_ms", 0.0) >= 0.0
    if "internal_states_inferred" in result:
        assert result["internal_states_inferred"] is (method == "small_mp_inferred")


def test_panic_exception_is_a_base_exception_only(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert not hasattr(v, "PanicException")
    with pytest.raises(BaseException) as ei:
        try:
            v.robinson_foulds_distance("(A,B)C", "(A,B);")
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(ei.value) is panic_exception


def test_second_initialization_raises_import_error():
    code = (
        "import sys, veltrane\n"
        "del sys.modules['veltrane']\n"
        "try:\n"
        "    import veltrane\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ImportError veltrane may only be initialized once")
