"""The process-wide worker pool: its size from the environment, many Python threads calling
every function at once, and processes forked after the pool started."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

# Two random trees of 200 leaves: chunked on the pool with two workers or more (10**5
# trials, or forced exhaustive) and sequential calls, with seeds so that results are fixed.
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
        out = [call() for call in CALLS]
        for r in out:
            r.pop("computation_time_ms", None)
        return out
    """
)


def run_python(code: str, **env_overrides: str) -> str:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env.update(env_overrides)
    proc = subprocess.run(
        [sys.executable, "-c", SETUP + textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip().splitlines()[-1]


@pytest.mark.parametrize(
    "env, chunks",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+5"}, 5),
        ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "6"}, 1),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "6"}, 6),
        ({"RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "0"}, "processors"),
    ],
    ids=["threads", "plus-sign", "threads-first", "bad-threads", "cpus", "zero"],
)
def test_environment_sets_the_worker_count(env, chunks):
    # A 100000-trial parallel sampling run is chunked by the pool size alone.
    out = run_python("print(CALLS[3]()['parallel_chunks_used'])", **env)
    if chunks == "processors":
        processors = {os.cpu_count() or 1}
        if hasattr(os, "sched_getaffinity"):  # Linux only
            processors.add(len(os.sched_getaffinity(0)))
        chunks = {min(24, p) for p in processors}
        assert int(out) in chunks
    else:
        assert int(out) == chunks


def test_many_threads_get_the_results_of_a_lone_caller():
    namespace: dict = {}
    exec(SETUP, namespace)  # noqa: S102
    expected = namespace["results"]()
    failures: list[str] = []

    def worker(k: int) -> None:
        try:
            for _ in range(3):
                if (got := namespace["results"]()) != expected:
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


@pytest.mark.skipif(not hasattr(os, "fork"), reason="the platform has no fork()")
def test_processes_forked_after_the_pool_started_get_the_same_results():
    code = """
        import json, os, threading
        expected = results()          # starts the pool in the parent
        children = []
        for k in range(4):
            pid = os.fork()
            if pid == 0:
                # Each child uses its own pool, from two threads at once.
                ok = []
                ts = [threading.Thread(target=lambda: ok.append(results() == expected))
                      for _ in range(2)]
                for t in ts:
                    t.start()
                for t in ts:
                    t.join(120)
                os._exit(0 if ok == [True, True] else 1)
            children.append(pid)
        statuses = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children]
        print(json.dumps({"children": statuses, "parent": results() == expected}))
        """
    out = json.loads(run_python(code, RAYON_NUM_THREADS="3"))
    assert out == {"children": [0] * 4, "parent": True}
