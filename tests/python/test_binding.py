"""The module and its call boundary: exports, signatures, exact binding, conversion and parse
errors, result keys, PanicException and the single initialization."""

import math
import operator
import subprocess
import sys
import types

import pytest

import veltrane as v
from test_stubs import result_typed_dicts, stub_signatures

SUMMARIES = [  # registration order
    "Python wrapper for triplets_correct function",
    "Fast Python wrapper for triplets_correct function",
    "Ultra-fast Python wrapper with automatic exhaustive/sampling selection",
    "Parallel Python wrapper with rayon-based parallelization",
    "Optimized Python wrapper using phylo-rs inspired techniques",
    "Optimized PHS (Pairwise Homoplasy Score) calculation",
    "Python wrapper for Robinson-Foulds distance calculation",
    "Python wrapper for normalized Robinson-Foulds distance calculation",
    "Python wrapper for parsimony calculation",
    "Python wrapper for parsimony p-value calculation  ",
    "Python wrapper for likelihood calculation",
    "Python wrapper for likelihood distance calculation",
]


def test_module_functions_summaries_and_signatures():
    assert (v.__name__, v.__doc__) == ("veltrane", "Python module definition")
    assert {n for n in vars(v) if not n.startswith("__")} == set(v.__all__)
    fns = [getattr(v, name) for name in v.__all__]
    assert {(type(fn), fn.__module__) for fn in fns} == {(types.BuiltinFunctionType, "veltrane")}
    assert [(fn.__name__, fn.__doc__) for fn in fns] == list(zip(stub_signatures(), SUMMARIES))
    assert [fn.__text_signature__ for fn in fns] == list(stub_signatures().values())


def said(fn, *args) -> str:
    # What the interpreter itself says when fn rejects args.
    try:
        fn(*args)
    except (TypeError, OverflowError, UnicodeError) as exc:
        return str(exc)
    raise AssertionError(f"{args!r} was accepted")


class Outer:
    class Inner:
        pass


def cannot(param, type_name, target="PyString"):
    return f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"


T, BAD, M = "((A,B),(C,D));", "A,B);", [[1], [1], [2], [0]]
RF, TC, PHS = v.robinson_foulds_distance, v.triplets_correct, v.phs_optimized
RFD = "robinson_foulds_distance()"
NEGATIVE = said(int.to_bytes, -1, 8, "little")


@pytest.mark.parametrize("fn, args, kwargs, exc_type, message", [
    (RF, (T,), {}, TypeError, f"{RFD} missing 1 required positional argument: 'tree2_newick'"),
    (TC, (), {}, TypeError, "triplets_correct() missing 2 required positional arguments:"
     " 'tree1_newick' and 'tree2_newick'"),
    (v.likelihood_distance, (), {}, TypeError, "likelihood_distance() missing 3 required positional"
     " arguments: 'reconstructed_tree_newick', 'ground_truth_tree_newick' and 'character_matrix'"),
    (RF, (T, T, T), {"foo": 1}, TypeError, f"{RFD} takes 2 positional arguments but 3 were given"),
    (PHS, (T,) * 9, {}, TypeError,
     "phs_optimized() takes from 3 to 8 positional arguments but 9 were given"),
    (RF, (T, T), {"foo": 1}, TypeError, f"{RFD} got an unexpected keyword argument 'foo'"),
    (RF, (T,), {"tree1_newick": T, "foo": 1}, TypeError,  # keywords in the caller's order
     f"{RFD} got multiple values for argument 'tree1_newick'"),
    (RF, (), {"bar": 2}, TypeError,  # keywords are checked before missing arguments
     f"{RFD} got an unexpected keyword argument 'bar'"),
    (RF, (b"(A,B);", T), {}, TypeError, cannot("tree1_newick", "bytes")),
    (RF, (Outer.Inner(), T), {}, TypeError, cannot("tree1_newick", "Outer.Inner")),
    (RF, ("(A,\ud800);", T), {}, UnicodeEncodeError, said(str.encode, "(A,\ud800);")),
    (PHS, (T, M, None), {}, TypeError, cannot("internal_character_states", "NoneType", "PyDict")),
    (v.triplets_correct_ultra, (T, T, 2.5), {}, TypeError,
     "argument 'number_of_trials': " + said(operator.index, 2.5)),
    (TC, (T, T, None), {}, TypeError, "argument 'number_of_trials': " + said(operator.index, None)),
    (TC, (T, T, -1), {}, OverflowError, NEGATIVE),  # other errors pass unprefixed
    (TC, (T, T, 10, -1), {}, OverflowError, NEGATIVE),  # converted, although never used
    (v.parsimony_p_value, (T, M, None, "fast"), {}, TypeError,
     "argument 'mutation_rate': " + said(math.isnan, "fast")),
])
def test_error_type_and_exact_message(fn, args, kwargs, exc_type, message):
    with pytest.raises(BaseException) as ei:
        fn(*args, **kwargs)
    assert (type(ei.value), str(ei.value)) == (exc_type, message)
    assert exc_type is not TypeError or ei.value.__cause__ is None


@pytest.mark.parametrize("fn, args, name", [  # the first text that fails names its argument
    (RF, (BAD, "(A,B));"), "tree1"), (v.robinson_foulds_distance_normalized, (T, BAD), "tree2"),
    *[(getattr(v, n), (T, BAD), "tree2") for n in v.__all__ if n.startswith("triplets")],
    *[(fn, (BAD, M), "tree") for fn in (v.parsimony_score, v.parsimony_p_value,
                                          v.likelihood_score)],
    (PHS, (BAD, [], {}), "tree"), (v.likelihood_distance, (T, BAD, M), "ground truth tree"),
    (v.likelihood_distance, (BAD, "(A,B));", M), "reconstructed tree")])
def test_parse_error_names_the_first_failing_text(fn, args, name):
    with pytest.raises(ValueError) as ei:
        fn(*args)
    assert (type(ei.value), str(ei.value)) == (ValueError, f"Failed to parse {name}: Custom {{"
                                               " kind: InvalidData, error: InvalidCharacter"
                                               " { idx: 1 } }")


T1, T2, M2 = "((A,B)X,(C,D)Y)R;", "((A,C)X,(B,D)Y)R;", [[1, 0], [1, 2], [2, 0], [0, -1]]


@pytest.mark.parametrize("name, args, method", [  # keys, their order and value types: the stub's
    ("triplets_correct", (T1, T2, 9, 1, 1), None),
    ("triplets_correct_fast", (T1, T2, 9, 1, 1), None),
    ("triplets_correct_ultra", (T1, T2), "exhaustive"),
    ("triplets_correct_parallel", (T1, T2), "parallel_exhaustive"),
    ("triplets_correct_optimized", (T1, T2), "optimized_exhaustive"),
    ("phs_optimized", (T1, M2, {"X": [0, 0]}), "optimized_sequential"),
    ("robinson_foulds_distance", (T1, T2), "phylo-rs RobinsonFoulds"),
    ("robinson_foulds_distance_normalized", (T1, T2), "phylo-rs RobinsonFoulds"),
    ("parsimony_score", (T1, M2), "small_mp_inferred"),
    ("parsimony_score", (T1, M2, {}), "provided_states"),
    ("parsimony_p_value", (T1, M2), "poisson_approximation"),
    ("likelihood_score", (T1, M2), "crispr_cas9_model"),
    ("likelihood_distance", (T1, T2, M2), None),
])
def test_result_keys_types_and_method(name, args, method):
    result, again = getattr(v, name)(*args), getattr(v, name)(*args)
    fields = result_typed_dicts()[name]
    assert type(result) is dict and result is not again and list(result) == [k for k, _ in fields]
    for key, annotation in fields:
        value = result[key]
        if annotation == "dict[int, float]":
            assert list(value) == [0] and type(value[0]) is float
        elif annotation.startswith("Literal["):  # stubtest sees neither keys nor Literals
            assert type(value) is str and repr(value) in annotation, key
        else:
            assert type(value).__name__ == annotation, key
    assert result.get("method_used") == method and result.get("computation_time_ms", 0.0) >= 0.0
    assert result.get("internal_states_inferred", False) is (method == "small_mp_inferred")


def test_panic_exception_and_a_second_initialization(panic_exception):
    assert panic_exception.__name__ == "PanicException" and not hasattr(v, "PanicException")
    assert issubclass(panic_exception, BaseException) and not issubclass(panic_exception, Exception)
    code = "import sys, veltrane\ndel sys.modules['veltrane']\nimport veltrane"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "ImportError: veltrane may only be initialized once" in proc.stderr
