"""Load: many Python threads calling every function at once (the interpreter lock serialises
the calls, the pool is shared) and many processes forked after the pool started all get the
results a lone caller gets."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading

import veltrane

# Chunked on the pool with two workers or more (200 leaves, 10**5 trials or forced exhaustive)
# and sequential ones, with seeds so that results are fixed.
SETUP = textwrap.dedent(
    """
    import random, veltrane
    rnd = random.Random(17)
    def tree(labels):
        pool = list(labels)
        while len(pool) > 1:
            i = rnd.randrange(len(pool) - 1)
            pool[i : i + 2] = ["(%s,%s)n%d" % (pool[i], pool[i + 1], len(pool))]
        return pool[0] + ";"
    labels = ["t%d" % i for i in range(200)]
    T1, T2 = tree(labels), tree(rnd.sample(labels, 200))
    MATRIX = [[rnd.choice([-1, 0, 0, 1, 2]) for _ in range(8)] for _ in labels]
    STATES = {"n%d" % k: [0] * 8 for k in range(2, 201)}
    CALLS = [
        lambda: veltrane.triplets_correct(T1, T2, 500, seed=1),
        lambda: veltrane.triplets_correct_fast(T1, T2, 2000, seed=2),
        lambda: veltrane.triplets_correct_ultra(T1, T2, 3000, seed=3),
        lambda: veltrane.triplets_correct_parallel(T1, T2, 100000, seed=4),
        lambda: veltrane.triplets_correct_parallel(T1, T2, 10**12),
        lambda: veltrane.triplets_correct_optimized(T1, T2, 40000, seed=5),
        lambda: veltrane.phs_optimized(T1, MATRIX, STATES, 0.02, 0.1),
        lambda: veltrane.robinson_foulds_distance_normalized(T1, T2),
    ]
    def results():
        out = []
        for call in CALLS:
            r = call()
            r.pop("computation_time_ms", None)
            out.append(r)
        return out
    """
)
namespace: dict = {}
exec(SETUP, namespace)  # noqa: S102 - the same setup runs in the forked children below


def test_many_threads_get_the_results_of_a_lone_caller():
    expected = namespace["results"]()
    failures: list[str] = []
    rounds = 3

    def worker(k: int) -> None:
        try:
            for _ in range(rounds):
                got = namespace["results"]()
                if got != expected:
                    failures.append(f"thread {k}: {got!r}")
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(f"thread {k}: {type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=worker, args=(k,), daemon=True) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert failures == []


def test_processes_forked_after_the_pool_started_get_the_same_results():
    code = SETUP + textwrap.dedent(
        """
        import json, os, sys, threading
        expected = results()          # starts the pool in the parent
        children = []
        for k in range(6):
            pid = os.fork()
            if pid == 0:
                # Each child uses its own pool, from two threads at once.
                ok = []
                def run():
                    ok.append(results() == expected)
                ts = [threading.Thread(target=run) for _ in range(2)]
                for t in ts:
                    t.start()
                for t in ts:
                    t.join(120)
                os._exit(0 if ok == [True, True] else 1)
            children.append(pid)
        statuses = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children]
        print(json.dumps({"children": statuses, "parent": results() == expected}))
        """
    )
    env = dict(os.environ, RAYON_NUM_THREADS="3")
    env.pop("RAYON_RS_NUM_CPUS", None)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.strip().splitlines()[-1]) == {
        "children": [0] * 6,
        "parent": True,
    }
