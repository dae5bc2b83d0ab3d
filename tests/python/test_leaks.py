"""No leaks: every function, on success and on each kind of failure (conversion, parse,
internal failure, interruption), leaves the reference counts of its arguments, the
Python blocks allocated and the resident memory where they were."""

from __future__ import annotations

import gc
import inspect
import os
import random
import signal
import sys

import pytest

import oracles
import veltrane

ANY = "either a result or any exception"

RND = random.Random(0)
TEXT_PARAMS = {"tree1_newick", "tree2_newick", "tree_newick", "reconstructed_tree_newick",
               "ground_truth_tree_newick"}


def arguments(name: str, n: int = 40):
    """Valid arguments for every parameter of `name`, each a fresh object built at run time."""
    values = {}
    for param in inspect.signature(getattr(veltrane, name)).parameters:
        if param in TEXT_PARAMS:
            values[param] = oracles.binary_newick([f"t{i}" for i in range(n)], RND, inner="n")
        elif param == "character_matrix":
            values[param] = [[(i * 7 + k) % 4 - 1 for k in range(6)] for i in range(n)]
        elif param.startswith("internal"):
            values[param] = {f"n{k}": [0, 0, 1, 0, 0, 0] for k in range(n - 1)}
        else:
            values[param] = {"number_of_trials": int("300"), "mutation_rate": float("0.01"),
                             "collision_probability": float("0.01"), "missing_state": int("-1"),
                             "unedited_state": int("0")}.get(param, int("2"))
    return values


def variants(name: str, n: int = 40):
    """(id, keyword arguments, expected exception or None): success and each failure path."""
    params = list(inspect.signature(getattr(veltrane, name)).parameters)
    ok = arguments(name, n)
    out = [("success", ok, None)]
    # The last parameter fails to convert, after every other argument was converted.
    bad_last = dict(ok, **{params[-1]: object()})
    out.append(("conversion", bad_last, TypeError))
    # The last tree text fails to parse, after the others were parsed.
    texts = [p for p in params if p in TEXT_PARAMS]
    bad_parse = dict(ok, **{texts[-1]: "(A,B));"})
    out.append(("parse", bad_parse, ValueError))
    # An unlabelled leaf: an internal failure for some functions, a result for others.
    odd = dict(ok, **{t: "((A,B),(,C));" for t in texts})
    out.append(("unlabelled", odd, ANY))
    out.append(("binding", dict(ok, unknown=1), TypeError))
    if "character_matrix" in ok:  # a bad row after rows already converted
        bad_row = dict(ok, character_matrix=ok["character_matrix"] + ["bad"])
        out.append(("bad-row", bad_row, TypeError))
    return out


CALLS = [
    pytest.param(name, kwargs, expected, id=f"{name}-{vid}")
    for name in veltrane.__all__
    for vid, kwargs, expected in variants(name)
]


def call(name, kwargs, expected):
    fn = getattr(veltrane, name)
    if expected is None:
        return fn(**kwargs)
    if expected is ANY:
        try:
            return fn(**kwargs)
        except BaseException:  # noqa: BLE001 - whichever it is, it must not leak
            return None
    with pytest.raises(expected):
        fn(**kwargs)
    return None


@pytest.mark.parametrize("name, kwargs, expected", CALLS)
def test_argument_reference_counts_are_unchanged(name, kwargs, expected):
    objects = list(kwargs.values())
    for x in kwargs.values():  # and the rows and state vectors inside
        objects += list(x.values()) if isinstance(x, dict) else x if isinstance(x, list) else []
    call(name, kwargs, expected)  # the first call may create cached attributes (utf-8 forms)
    before = [sys.getrefcount(x) for x in objects]
    for _ in range(5):
        call(name, kwargs, expected)
    assert [sys.getrefcount(x) for x in objects] == before


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Stop(Exception):
    pass


def interrupted_calls():
    """Long calls stopped by SIGALRM after a few milliseconds, through the interrupt poller:
    sampling on the calling thread and chunked sampling on the pool."""

    def stop(signum, frame):
        raise Stop()

    old = signal.signal(signal.SIGALRM, stop)
    try:
        for fn, n in ((veltrane.triplets_correct, 300), (veltrane.triplets_correct_parallel, 2000)):
            tree = oracles.caterpillar(n, inner="n")
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            with pytest.raises(Stop):
                fn(tree, tree, 10**9, seed=1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


@pytest.mark.slow
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer holds freed memory in quarantine, so resident size tells nothing",
)
def test_resident_memory_does_not_grow_over_many_calls():
    # Trees of 200 leaves: a leaked tree or table costs tens of kilobytes per call.
    cases = [(name, kwargs, expected) for name in veltrane.__all__
             for _, kwargs, expected in variants(name, 200)]

    def round_of_calls():
        for name, kwargs, expected in cases:
            call(name, kwargs, expected)
        interrupted_calls()

    for _ in range(20):  # warm up allocator pools and the worker pool
        round_of_calls()
    gc.collect()
    before, blocks = resident_bytes(), sys.getallocatedblocks()
    for _ in range(100):
        round_of_calls()
    gc.collect()
    grown = resident_bytes() - before
    # A per-call leak of one tree (tens of kilobytes) would add far more than this, and one
    # leaked Python object on any single path would add a block per round.
    assert grown < 8 * 2**20, f"resident memory grew by {grown} bytes"
    assert sys.getallocatedblocks() - blocks < 50, f"{sys.getallocatedblocks() - blocks} blocks"
