"""The process-wide worker pool as the parallel functions see it: its size from the
environment, and a working pool in processes forked after it started."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

# Two random binary trees of 200 leaves: with two workers both a chunked sampling run
# (10000 trials) and a chunked exhaustive run (forced by a huge trial count) use 2 chunks.
SETUP = """
import random, veltrane
rnd = random.Random(3)
def tree(labels):
    pool = list(labels)
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = ["(%s,%s)" % (pool[i], pool[i + 1])]
    return pool[0] + ";"
labels = ["t%d" % i for i in range(200)]
T1, T2 = tree(labels), tree(rnd.sample(labels, 200))
def work():
    a = veltrane.triplets_correct_parallel(T1, T2, seed=11)
    b = veltrane.triplets_correct_optimized(T1, T2, 10**12)
    assert a["parallel_chunks_used"] == 2 and b["parallel_chunks_used"] == 2, (a, b)
    return repr((a, b))
"""


def run_python(code: str, **env_overrides: str) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env.update(env_overrides)
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
    )


def chunks_for(env: dict[str, str]) -> int:
    """Chunks of a 100000-trial parallel sampling run, which is capped only by the pool size."""
    code = SETUP + (
        "print(veltrane.triplets_correct_parallel(T1, T2, 100000, seed=1)"
        "['parallel_chunks_used'])\n"
    )
    proc = run_python(code, **env)
    assert proc.returncode == 0, proc.stderr
    return int(proc.stdout)


class TestPoolSize:
    @pytest.mark.parametrize(
        "env, chunks",
        [
            ({"RAYON_NUM_THREADS": "3"}, 3),
            ({"RAYON_NUM_THREADS": "+5"}, 5),
            ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "6"}, 1),
            ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "6"}, 6),
            ({"RAYON_RS_NUM_CPUS": "4"}, 4),
        ],
        ids=["threads", "plus-sign", "threads-first", "bad-threads", "cpus"],
    )
    def test_environment_sets_the_worker_count(self, env, chunks):
        assert chunks_for(env) == chunks

    def test_zero_means_the_processor_count(self):
        processors = {os.cpu_count() or 1, len(os.sched_getaffinity(0))}
        assert chunks_for({"RAYON_NUM_THREADS": "0"}) in {min(24, p) for p in processors}


class TestFork:
    def test_child_of_os_fork_gets_a_working_pool(self):
        code = SETUP + (
            "import os\n"
            "before = work()\n"  # the pool's threads exist now
            "r, w = os.pipe()\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    os.close(r)\n"
            "    os.write(w, work().encode())\n"
            "    os._exit(0)\n"
            "os.close(w)\n"
            "got = b''\n"
            "while chunk := os.read(r, 65536):\n"
            "    got += chunk\n"
            "_, status = os.waitpid(pid, 0)\n"
            "assert os.waitstatus_to_exitcode(status) == 0\n"
            "assert got.decode() == before, (got, before)\n"
            "assert work() == before\n"  # and the parent's pool still works
            "print('ok')\n"
        )
        proc = run_python(code, RAYON_NUM_THREADS="2")
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "ok\n"

    def test_multiprocessing_fork_workers_get_working_pools(self):
        code = SETUP + (
            "import multiprocessing as mp\n"
            "def job(_):\n"
            "    return work()\n"
            "if __name__ == '__main__':\n"
            "    before = work()\n"
            "    with mp.get_context('fork').Pool(2) as p:\n"
            "        results = p.map(job, range(4))\n"
            "    assert results == [before] * 4\n"
            "    print('ok')\n"
        )
        proc = run_python(code, RAYON_NUM_THREADS="2")
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "ok\n"
