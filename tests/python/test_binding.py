"""The call boundary of every function: binding, conversion and parse errors in the
interpreter's wording and order, and keywords that bind like positions."""

from __future__ import annotations

import inspect
import math
import operator

import pytest

import veltrane as v

T = "((A,B),(C,D));"
BAD = "A,B);"  # a stray ')' at character 1
M = [[1], [1], [2], [0]]
PARSE_FAILURE = "Custom { kind: InvalidData, error: InvalidCharacter { idx: 1 } }"
RF = v.robinson_foulds_distance
TRIPLET_FNS = [n for n in v.__all__ if n.startswith("triplets")]
CHARACTER_FNS = [  # (function, required, total) positional parameters
    (v.parsimony_score, 2, 5),
    (v.parsimony_p_value, 2, 6),
    (v.likelihood_score, 2, 7),
    (v.likelihood_distance, 3, 9),
    (v.phs_optimized, 3, 8),
]


def said(fn, *args) -> str:
    """What the interpreter itself says when fn rejects args."""
    try:
        fn(*args)
    except (TypeError, OverflowError, UnicodeError) as exc:
        return str(exc)
    raise AssertionError(f"{args!r} was accepted")


class Outer:
    class Inner:
        pass


def missing(name, *params):
    joined = " and ".join(", ".join(f"'{p}'" for p in params).rsplit(", ", 1))
    noun = "argument" if len(params) == 1 else "arguments"
    return f"{name}() missing {len(params)} required positional {noun}: {joined}"


def cannot(param, type_name, target="PyString"):
    return f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"


# (id, function, args, kwargs, exception type, exact message)
ERRORS = [
    ("missing-one", RF, (T,), {}, TypeError, missing(RF.__name__, "tree2_newick")),
    ("missing-two", RF, (), {}, TypeError, missing(RF.__name__, "tree1_newick", "tree2_newick")),
    ("missing-first", RF, (), {"tree2_newick": T}, TypeError,
     missing(RF.__name__, "tree1_newick")),
    ("normalized-own-name", v.robinson_foulds_distance_normalized, (), {}, TypeError,
     missing("robinson_foulds_distance_normalized", "tree1_newick", "tree2_newick")),
    ("distance-missing-three", v.likelihood_distance, (), {}, TypeError,
     missing("likelihood_distance", "reconstructed_tree_newick", "ground_truth_tree_newick",
             "character_matrix")),
    ("phs-states-required", v.phs_optimized, (T, M), {}, TypeError,
     missing("phs_optimized", "internal_character_states")),
    ("too-many", RF, (T, T, T), {}, TypeError,
     "robinson_foulds_distance() takes 2 positional arguments but 3 were given"),
    ("too-many-before-keywords", RF, (T, T, T), {"foo": 1}, TypeError,
     "robinson_foulds_distance() takes 2 positional arguments but 3 were given"),
    *[
        (f"too-many-{fn.__name__}", fn, (None,) * (total + 1), {}, TypeError,
         f"{fn.__name__}() takes from {req} to {total} positional arguments"
         f" but {total + 1} were given")
        for fn, req, total in CHARACTER_FNS
    ],
    ("unexpected-keyword", RF, (T, T), {"foo": 1}, TypeError,
     "robinson_foulds_distance() got an unexpected keyword argument 'foo'"),
    ("multiple-values", RF, (T, T), {"tree1_newick": T}, TypeError,
     "robinson_foulds_distance() got multiple values for argument 'tree1_newick'"),
    ("keywords-in-callers-order", RF, (T,), {"foo": 1, "tree1_newick": T}, TypeError,
     "robinson_foulds_distance() got an unexpected keyword argument 'foo'"),
    ("keywords-in-callers-order-2", RF, (T,), {"tree1_newick": T, "foo": 1}, TypeError,
     "robinson_foulds_distance() got multiple values for argument 'tree1_newick'"),
    ("keywords-before-missing", RF, (), {"bar": 2}, TypeError,
     "robinson_foulds_distance() got an unexpected keyword argument 'bar'"),
    ("bytes-text", RF, (b"(A,B);", T), {}, TypeError, cannot("tree1_newick", "bytes")),
    ("none-text", RF, (None, T), {}, TypeError, cannot("tree1_newick", "NoneType")),
    ("list-text", RF, ([T], T), {}, TypeError, cannot("tree1_newick", "list")),
    ("qualified-name", RF, (Outer.Inner(), T), {}, TypeError, cannot("tree1_newick", "Outer.Inner")),
    ("conversion-before-parsing", RF, ("(A,B));", 1), {}, TypeError,
     cannot("tree2_newick", "int")),
    ("lone-surrogate-unprefixed", RF, ("(A,\ud800);", T), {}, UnicodeEncodeError,
     said(str.encode, "(A,\ud800);")),
    ("states-not-a-dict", v.phs_optimized, (T, M, None), {}, TypeError,
     cannot("internal_character_states", "NoneType", "PyDict")),
    ("float-trials", v.triplets_correct_ultra, (T, T, 2.5), {}, TypeError,
     "argument 'number_of_trials': " + said(operator.index, 2.5)),
    ("negative-trials", v.triplets_correct, (T, T, -1), {}, OverflowError,
     said(int.to_bytes, -1, 8, "little")),
    ("trials-above-64-bits", v.triplets_correct_fast, (T, T, 2**64), {}, OverflowError,
     "int too big to convert"),
    ("min-depth-still-converted", v.triplets_correct, (T, T, 10, -1), {}, OverflowError,
     said(int.to_bytes, -1, 8, "little")),
    ("float-threads", v.phs_optimized, (T, M, {}), {"max_threads": -1.5}, TypeError,
     "argument 'max_threads': " + said(operator.index, -1.5)),
    ("str-rate", v.parsimony_p_value, (T, M, None, "fast"), {}, TypeError,
     "argument 'mutation_rate': " + said(math.isnan, "fast")),
    ("str-collision", v.likelihood_score, (T, M, None, None, "x"), {}, TypeError,
     "argument 'collision_probability': " + said(math.isnan, "x")),
]


@pytest.mark.parametrize(
    "fn, args, kwargs, exc_type, message", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS]
)
def test_error_type_and_exact_message(fn, args, kwargs, exc_type, message):
    with pytest.raises(BaseException) as ei:
        fn(*args, **kwargs)
    assert type(ei.value) is exc_type
    assert str(ei.value) == message
    if exc_type is TypeError:
        assert ei.value.__cause__ is None


# (id, function, args, message prefix): the first text that fails names its argument.
PARSE_ERRORS = [
    ("rf-tree1", RF, (BAD, "(A,B));"), "Failed to parse tree1: "),
    ("rf-normalized-tree2", v.robinson_foulds_distance_normalized, (T, BAD),
     "Failed to parse tree2: "),
    *[(f"{n}-tree2", getattr(v, n), (T, BAD), "Failed to parse tree2: ") for n in TRIPLET_FNS],
    ("parsimony", v.parsimony_score, (BAD, M), "Failed to parse tree: "),
    ("p-value", v.parsimony_p_value, (BAD, M), "Failed to parse tree: "),
    ("likelihood", v.likelihood_score, (BAD, M), "Failed to parse tree: "),
    ("phs", v.phs_optimized, (BAD, [], {}), "Failed to parse tree: "),
    ("distance-reconstructed", v.likelihood_distance, (BAD, "(A,B));", M),
     "Failed to parse reconstructed tree: "),
    ("distance-ground-truth", v.likelihood_distance, (T, BAD, M),
     "Failed to parse ground truth tree: "),
]


@pytest.mark.parametrize(
    "fn, args, prefix", [e[1:] for e in PARSE_ERRORS], ids=[e[0] for e in PARSE_ERRORS]
)
def test_parse_error_names_the_first_failing_text(fn, args, prefix):
    with pytest.raises(ValueError) as ei:
        fn(*args)
    assert type(ei.value) is ValueError
    assert str(ei.value) == prefix + PARSE_FAILURE


REQUIRED = {
    "tree1_newick": "((A,B)X,(C,D)Y)R;",
    "tree2_newick": "((A,C)X,(B,D)Y)R;",
    "tree_newick": "((A,B)X,(C,D)Y)R;",
    "reconstructed_tree_newick": "((A,B)X,(C,D)Y)R;",
    "ground_truth_tree_newick": "((A,C)X,(B,D)Y)R;",
    "character_matrix": [[1, 0], [1, 2], [2, 0], [0, -1]],
    "internal_character_states": {"X": [0, 0], "R": [0, 0]},
}


class StrSubclass(str):
    pass


@pytest.mark.parametrize("name", v.__all__)
def test_keywords_in_any_order_bind_like_positions(name):
    fn = getattr(v, name)
    params = [p for p in inspect.signature(fn).parameters if p in REQUIRED]
    values = [REQUIRED[p] for p in params]
    values[0] = StrSubclass(values[0])  # str subclasses are texts too
    seed = {"seed": 5} if name.startswith("triplets") else {}

    def stable(result):
        result.pop("computation_time_ms", None)
        return result

    positional = stable(fn(*values, **seed))
    assert stable(fn(**dict(reversed(list(zip(params, values)))), **seed)) == positional
    assert stable(fn(values[0], **dict(zip(params[1:], values[1:])), **seed)) == positional
