"""The module object: its functions, their published signatures, and process-wide state."""

from __future__ import annotations

import inspect
import subprocess
import sys
import types

import pytest

import veltrane

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


class TestModuleObject:
    def test_module_docstring_and_name(self):
        assert veltrane.__name__ == "veltrane"
        assert veltrane.__doc__ == "Python module definition"

    def test_all_lists_functions_in_table_order(self):
        assert veltrane.__all__ == list(TABLE)

    def test_nothing_else_is_exported(self):
        public = {n for n in vars(veltrane) if not n.startswith("__")}
        assert public == set(TABLE)
        assert not hasattr(veltrane, "PanicException")

    @pytest.mark.parametrize("name", list(TABLE))
    def test_function_metadata(self, name):
        fn = getattr(veltrane, name)
        signature, summary = TABLE[name]
        assert isinstance(fn, types.BuiltinFunctionType)
        assert fn.__module__ == "veltrane"
        assert fn.__name__ == name
        assert fn.__text_signature__ == signature
        assert fn.__doc__ == summary
        # inspect shows the "..." default of missing_state as the Ellipsis object it parses to.
        assert str(inspect.signature(fn)) == signature.replace("=...", "=Ellipsis")


class TestPanicException:
    def test_derives_from_base_exception_only(self, panic_exception):
        assert panic_exception.__name__ == "PanicException"
        assert issubclass(panic_exception, BaseException)
        assert not issubclass(panic_exception, Exception)

    def test_is_not_caught_by_except_exception(self, panic_exception):
        with pytest.raises(panic_exception):
            try:
                veltrane.robinson_foulds_distance("(A,);", "(A,B);")
            except Exception:  # noqa: BLE001 - must not catch it
                pytest.fail("PanicException was caught as an Exception")

    def test_same_type_on_every_failure(self, panic_exception):
        with pytest.raises(BaseException) as ei:
            veltrane.robinson_foulds_distance("(A,B)C", "(A,B);")
        assert type(ei.value) is panic_exception


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )


def test_second_initialization_raises_import_error():
    proc = run_python(
        "import sys, veltrane\n"
        "del sys.modules['veltrane']\n"
        "try:\n"
        "    import veltrane\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
        "else:\n"
        "    print('imported twice')\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ImportError veltrane may only be initialized once")
