"""Ctrl-C during long computations: SIGINT from another process stops every long-running
road with KeyboardInterrupt, the process stays usable, and calls that are not interrupted
give the results they always gave."""

from __future__ import annotations

import textwrap

import pytest

# Child-side helpers. `interrupt_after` sends SIGINT to the child from a separate process, so
# it arrives while the child holds the interpreter lock inside the call.
PRELUDE = textwrap.dedent(
    """
    import json, os, signal, subprocess, sys, veltrane

    # A parent started in the background may hand SIGINT down ignored; the test needs Python's
    # own handler, which turns the signal into KeyboardInterrupt.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def caterpillar(n, prefix="t"):
        return "(" * (n - 1) + prefix + "0" + "".join(",%s%d)" % (prefix, i) for i in range(1, n)) + ";"

    def star(n):
        return "(" + ",".join("t%d" % i for i in range(n)) + ")R;"

    def interrupt_after(seconds):
        return subprocess.Popen(["sh", "-c", "sleep %s; kill -INT %d" % (seconds, os.getpid())])

    def outcome(call, delay=0.3):
        killer = interrupt_after(delay)
        try:
            call()
            result = "finished"
        except KeyboardInterrupt:
            result = "interrupted"
        killer.wait()
        return result

    SMALL = caterpillar(60)
    SMALL2 = "(" + caterpillar(30)[:-1] + "," + caterpillar(30, "u")[:-1] + ");"
    def reference_results():
        return repr((
            veltrane.triplets_correct(SMALL, SMALL2, 2000, seed=5),
            veltrane.triplets_correct_parallel(SMALL, SMALL2, 20000, seed=5),
            veltrane.triplets_correct_optimized(SMALL, SMALL2, 10**9, seed=5),
            veltrane.robinson_foulds_distance(SMALL, SMALL2)["rf_distance"],
        ))
    """
)

CATERPILLAR, STAR = "T = caterpillar(20000)", "T = star(100000); M = [[1] * 64] * 100000"
INFERENCE = "T = caterpillar(100000); M = [[1] * 100000] + [[1]] * 99999"
ENDLESS = "E = type('E', (), {'__len__': lambda s: 1, '__getitem__': lambda s, i: 1})"
LONG_CALLS = {  # name: (setup, call), every long-running road
    "reference": ("T = caterpillar(300)", "veltrane.triplets_correct(T, T, 10**15, seed=1)"),
    "fast": ("T = caterpillar(300)", "veltrane.triplets_correct_fast(T, T, 10**15, seed=1)"),
    "reading-two-large-texts-on-the-pool": (
        "T = caterpillar(1000000)", "veltrane.robinson_foulds_distance(T, T)"),
    "ultra": (CATERPILLAR, "veltrane.triplets_correct_ultra(T, T, 10**12, seed=1)"),
    "parallel-pool": (CATERPILLAR, "veltrane.triplets_correct_parallel(T, T, 10**12, seed=1)"),
    "optimized-pool": (CATERPILLAR, "veltrane.triplets_correct_optimized(T, T, 10**12, seed=1)"),
    "phs-pool": (STAR, "veltrane.phs_optimized(T, M, {'R': [0] * 64})"),
    "phs-one-thread": (STAR, "veltrane.phs_optimized(T, M, {'R': [0] * 64}, max_threads=1)"),
    "parsimony-inference": (INFERENCE, "veltrane.parsimony_score(T, M)"),
    "likelihood-inference": (INFERENCE, "veltrane.likelihood_distance(T, T, M)"),
    "endless-conversion": (ENDLESS, "veltrane.parsimony_score('(A,B);', [E()])"),
}


@pytest.fixture
def run_child(python_child):
    # Three workers: the pool roads are chunked whatever the machine's processor count.
    return lambda code: python_child(PRELUDE + textwrap.dedent(code), RAYON_NUM_THREADS="3")


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_sigint_stops_the_call_and_the_process_stays_usable(name, run_child):
    setup, call = LONG_CALLS[name]
    out = run_child(
        f"""
        before = reference_results()
        {setup}
        first = outcome(lambda: {call})
        # Interrupted twice: nothing of the first call is left to disturb the second.
        second = outcome(lambda: {call})
        print(json.dumps({{"outcomes": [first, second], "unchanged": reference_results() == before}}))
        """
    )
    assert out == {"outcomes": ["interrupted", "interrupted"], "unchanged": True}


@pytest.mark.parametrize(
    "outer, raises",
    [
        ("veltrane.triplets_correct(SMALL, SMALL, 10**15, seed=1)", True),
        ("veltrane.triplets_correct_parallel(BIG, BIG2, 10**6, seed=9)", False),
        ("veltrane.triplets_correct_fast(BIG, BIG2, 2 * 10**5, seed=9)", False),
    ],
    ids=["raising", "returning-outer-on-the-pool", "returning-outer-on-the-calling-thread"],
)
def test_the_handlers_own_exception_is_raised_and_a_returning_handler_changes_nothing(
    outer, raises, run_child
):
    # The handler itself calls into veltrane, pool included, while the outer call waits; its
    # exception is what the call raises, and if it returns, the call gives its usual result.
    out = run_child(
        f"""
        BIG = caterpillar(20000)
        BIG2 = "(" + caterpillar(10000)[:-1] + "," + caterpillar(10000, "t1")[:-1] + ");"
        class Stop(Exception):
            pass
        inner_results = []
        def handler(signum, frame):
            inner_results.append(reference_results())
            if {raises}:
                raise Stop("from the handler")
        expected_outer = None if {raises} else {outer}
        expected_inner = reference_results()
        signal.signal(signal.SIGINT, handler)
        killer = interrupt_after(0.1)
        try:
            got = {outer} == expected_outer
        except Stop as exc:
            got = str(exc)
        killer.wait()
        inner = [r == expected_inner for r in inner_results]
        print(json.dumps({{"got": got, "inner": inner}}))
        """
    )
    assert out == {"got": "from the handler" if raises else True, "inner": [True]}
