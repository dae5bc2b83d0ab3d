"""Character matrices, internal states and state codes, converted alike by every character-based
function, with exact errors."""

import operator

import pytest

import veltrane
from test_binding import said

TREE, MATRIX = "((A,B)X,(C,D)Y)R;", [[1, 0], [1, 2], [2, 0], [0, -1]]
STATES, ABSENT = {"X": [1, 0], "Y": [0, 0], "R": [0, 0]}, object()
FUNCTIONS = {  # name: (function, its states parameter, number of tree texts)
    "parsimony_score": (veltrane.parsimony_score, "internal_character_states", 1),
    "parsimony_p_value": (veltrane.parsimony_p_value, "internal_character_states", 1),
    "likelihood_score": (veltrane.likelihood_score, "internal_character_states", 1),
    "likelihood_distance": (veltrane.likelihood_distance, "internal_states_reconstructed", 2),
}


@pytest.fixture(params=FUNCTIONS)
def character_fn(request):
    # A function of matrix, states, tree and codes giving the result without its timing.
    fn, states_param, trees = FUNCTIONS[request.param]

    def call(matrix, states=ABSENT, tree=TREE, **kwargs):
        kwargs.update({} if states is ABSENT else {states_param: states})
        result = fn(*[tree] * trees, matrix, **kwargs)
        result.pop("computation_time_ms", None)
        return result

    call.states = states_param
    return call


def raised(call, *args, **kwargs) -> BaseException:
    with pytest.raises(BaseException) as ei:
        call(*args, **kwargs)
    return ei.value


class OnIndex:
    # An integer through __index__ alone, which first runs `action`.

    def __init__(self, action):
        self.action = action

    def __index__(self) -> int:
        self.action()
        return 1


M, S, VEC = "argument 'character_matrix': ", "argument '{states}': ", "Can't extract `str` to `Vec`"
RANGE = "out of range integral type conversion attempted"


def cannot(prefix, type_name, target="Sequence"):
    return f"{prefix}'{type_name}' object cannot be converted to '{target}'"


@pytest.mark.parametrize("matrix, states, codes, exc_type, message", [  # None: unprefixed
    ("11", ABSENT, {}, TypeError, M + VEC), ([[1], "1"], ABSENT, {}, TypeError, M + VEC),
    (5, ABSENT, {}, TypeError, cannot(M, "int")), ([{1}], ABSENT, {}, TypeError, cannot(M, "set")),
    ({0: [1]}, ABSENT, {}, TypeError, cannot(M, "dict")),
    ([[1], "x", [2**70]], ABSENT, {}, TypeError, M + VEC),  # the first failure wins
    *[([[0], [x]], ABSENT, {}, TypeError, M + said(operator.index, x)) for x in (1.5, "1", None)],
    *[([[0], [x]], ABSENT, {}, OverflowError, RANGE) for x in (2**31, -(2**31) - 1, 2**63 - 1)],
    *[([[0], [x]], ABSENT, {}, OverflowError, None) for x in (2**63, -(2**63) - 1)],
    (MATRIX, [("X", [1])], {}, TypeError, cannot(S, "list", "PyDict")),
    (MATRIX, {"X": [1], b"Y": [1]}, {}, TypeError, cannot(S, "bytes", "PyString")),
    (MATRIX, {"X": "1"}, {}, TypeError, S + VEC),
    (MATRIX, {"X": [1], "Y": ["1"]}, {}, TypeError, S + said(operator.index, "1")),
    (MATRIX, {"X": [2**31]}, {}, OverflowError, RANGE),
    (MATRIX, ABSENT, {"missing_state": None}, TypeError,
     "argument 'missing_state': " + said(operator.index, None)),
    (MATRIX, ABSENT, {"missing_state": 2**31}, OverflowError, RANGE),
    (MATRIX, ABSENT, {"unedited_state": -(2**31) - 1}, OverflowError, RANGE),
    (MATRIX, [1], {"missing_state": None}, TypeError, cannot(S, "list", "PyDict")),  # states first
])
def test_conversion_errors_come_before_parsing(character_fn, matrix, states, codes, exc_type,
                                               message):
    exc = raised(character_fn, matrix, states, tree="A,B);", **codes)
    assert type(exc) is exc_type
    assert str(exc) == message.format(states=character_fn.states) if message else (
        not str(exc).startswith("argument") and str(exc) != RANGE)


def test_index_errors_keep_their_cause_and_subclasses_pass_unchanged(character_fn):
    class MyError(TypeError):
        pass

    def chained():
        raise TypeError("outer") from KeyError("inner")

    def mine():
        raise MyError("mine")

    exc = raised(character_fn, [[OnIndex(chained)]])
    assert (type(exc), str(exc), type(exc.__cause__)) == (TypeError, M + "outer", KeyError)
    exc = raised(character_fn, [[OnIndex(mine)]])
    assert (type(exc), str(exc)) == (MyError, "mine")
