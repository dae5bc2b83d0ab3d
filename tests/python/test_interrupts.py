"""Ctrl-C during long computations: SIGINT from another process stops every long-running road
with KeyboardInterrupt, twice in a row, and the process stays usable."""

import textwrap

import pytest

# Runs in a child with three workers, so that the pool roads are chunked on any machine. SIGINT
# comes from a separate process, so that it arrives while the call holds the interpreter lock.
CHILD = """
import json, os, signal, subprocess, veltrane
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background parent may ignore it

def caterpillar(n, p="t"):
    return "(" * (n - 1) + p + "0" + "".join(",%s%d)" % (p, i) for i in range(1, n)) + ";"

def outcome(call):
    killer = subprocess.Popen(["sh", "-c", "sleep 0.3; kill -INT %d" % os.getpid()])
    try:
        call()
        return "finished"
    except KeyboardInterrupt:
        return "interrupted"
    finally:
        killer.wait()

A, B = caterpillar(60), "(" + caterpillar(30)[:-1] + "," + caterpillar(30, "u")[:-1] + ");"
def results():
    return [veltrane.triplets_correct_parallel(A, B, n, seed=5) for n in (20000, 10**9)]
before = results()
"""
LONG, SHORT = "caterpillar(20000)", "caterpillar(300)"
STAR = "'(' + ','.join('t%d' % i for i in range(100000)) + ')R;'; M = [[1] * 64] * 100000"
DEEP = "caterpillar(100000); M = [[1] * 100000] + [[1]] * 99999"
LONG_CALLS = {  # name: (tree T, call)
    "reference": (SHORT, "veltrane.triplets_correct(T, T, 10**15, seed=1)"),
    "fast": (SHORT, "veltrane.triplets_correct_fast(T, T, 10**15, seed=1)"),
    "reading-two-texts": ("caterpillar(1000000)", "veltrane.robinson_foulds_distance(T, T)"),
    "ultra": (LONG, "veltrane.triplets_correct_ultra(T, T, 10**12, seed=1)"),
    "parallel-pool": (LONG, "veltrane.triplets_correct_parallel(T, T, 10**12, seed=1)"),
    "phs-pool": (STAR, "veltrane.phs_optimized(T, M, {'R': [0] * 64})"),
    "parsimony-inference": (DEEP, "veltrane.parsimony_score(T, M)"),
    "endless-conversion": ("type('E', (), {'__len__': lambda s: 1, '__getitem__': lambda s, i: 1})",
                           "veltrane.parsimony_score('(A,B);', [T()])"),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_sigint_stops_the_call_and_the_process_stays_usable(name, python_child):
    tree, call = LONG_CALLS[name]
    out = python_child(CHILD + textwrap.dedent(f"""
        T = {tree}
        outcomes = [outcome(lambda: {call}) for _ in range(2)]
        print(json.dumps({{"outcomes": outcomes, "unchanged": results() == before}}))
        """), RAYON_NUM_THREADS="3")
    assert out == {"outcomes": ["interrupted", "interrupted"], "unchanged": True}
