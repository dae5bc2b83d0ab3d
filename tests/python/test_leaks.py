"""No leaks: every function, on success and on each kind of failure, leaves the reference counts
of its arguments where they were."""

import inspect
import random
import sys

import pytest

import strategies
import veltrane


def variants(name: str, n: int = 40) -> list:
    # (id, keyword arguments, expected exception; None: a result, BaseException: either) for
    # success and each failure path, every argument built at run time (none cached or interned).
    params, rnd = list(inspect.signature(getattr(veltrane, name)).parameters), random.Random(n)
    texts = [p for p in params if p.endswith("newick")]
    ok = {"number_of_trials": int("300"), "mutation_rate": float("0.01"), "missing_state": -1,
          "collision_probability": float("0.01"), "unedited_state": 0,
          "character_matrix": [[(i * 7 + k) % 4 - 1 for k in range(6)] for i in range(n)]}
    ok = {p: strategies.binary_newick([f"t{i}" for i in range(n)], rnd, "n") if p in texts else
          {f"n{k}": [0, 0, 1, 0, 0, 0] for k in range(n - 1)} if p.startswith("internal") else
          ok.get(p, int("2")) for p in params}
    out = [("success", ok, None),
           ("conversion", dict(ok, **{params[-1]: object()}), TypeError),  # the last argument
           ("parse", dict(ok, **{texts[-1]: "(A,B));"}), ValueError),  # the last text
           ("unlabelled", dict(ok, **{t: "((A,B),(,C));" for t in texts}), BaseException),
           ("binding", dict(ok, unknown=1), TypeError)]
    if "character_matrix" in ok:  # a bad row after rows already converted
        out.append(("bad-row", dict(ok, character_matrix=[*ok["character_matrix"], "x"]),
                    TypeError))
    return out


def call(name: str, kwargs: dict, expected) -> None:
    try:
        getattr(veltrane, name)(**kwargs)
    except BaseException as exc:  # noqa: BLE001 - checked below
        assert expected is not None and isinstance(exc, expected), exc
    else:
        assert expected in (None, BaseException)


@pytest.mark.parametrize("name, kwargs, expected", [
    pytest.param(name, kwargs, expected, id=f"{name}-{vid}")
    for name in veltrane.__all__ for vid, kwargs, expected in variants(name)])
def test_argument_reference_counts_are_unchanged(name, kwargs, expected):
    objects = list(kwargs.values())
    for x in kwargs.values():  # and the rows and state vectors inside
        objects += list(x.values()) if isinstance(x, dict) else x if isinstance(x, list) else []
    call(name, kwargs, expected)  # the first call may create cached attributes (UTF-8 forms)
    before = [sys.getrefcount(x) for x in objects]
    for _ in range(5):
        call(name, kwargs, expected)
    assert [sys.getrefcount(x) for x in objects] == before
