"""The worker pool starts its threads as chunks need them: a huge RAYON_NUM_THREADS gives the
usual results and a process that holds only the threads its calls ran chunks on."""

from __future__ import annotations

import os
import sys

import pytest

pytestmark = pytest.mark.skipif(
    not os.path.isdir("/proc/self/task"), reason="threads are counted through /proc"
)

CODE = f"""
import json, os, random, sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
import veltrane
from oracles import binary_newick

def threads():
    return len(os.listdir("/proc/self/task"))

def values(r):
    return {{k: v for k, v in r.items()
            if k not in ("method_used", "parallel_chunks_used", "computation_time_ms")}}

before = threads()
rnd = random.Random(5)
labels = ["t%d" % i for i in range(400)]
T1 = binary_newick(labels, rnd, "n")
T2 = binary_newick(rnd.sample(labels, 400), rnd, "n")
MATRIX = [[rnd.choice([-1, 0, 0, 1, 2]) for _ in range(12)] for _ in labels]
STATES = {{"n%d" % k: [rnd.choice([0, 0, 1]) for _ in range(12)] for k in range(399)}}
# Texts past the size from which two trees are read at the same time on the pool.
big = ["b%06d" % i for i in range(12000)]
B1 = binary_newick(big, rnd, "")
B2 = binary_newick(rnd.sample(big, len(big)), rnd, "")

chunks, same = [], {{}}
exact = veltrane.triplets_correct_ultra(T1, T2, 10**12)
for name in ("triplets_correct_parallel", "triplets_correct_optimized"):
    r = getattr(veltrane, name)(T1, T2, 10**12)
    chunks.append(r["parallel_chunks_used"])
    same[name] = values(r) == values(exact)
    r = getattr(veltrane, name)(T1, T2, 10**6, seed=3)
    chunks.append(r["parallel_chunks_used"])
    same[name + " seeded"] = r == getattr(veltrane, name)(T1, T2, 10**6, seed=3)
r = veltrane.phs_optimized(T1, MATRIX, STATES, 0.02)
chunks.append(r["parallel_chunks_used"])
one = veltrane.phs_optimized(T1, MATRIX, STATES, 0.02, max_threads=1)
same["phs_optimized"] = r["phs_score"] == one["phs_score"] and r["total_pairs"] == one["total_pairs"]
rf = veltrane.robinson_foulds_distance(B1, B2)["rf_distance"]
same["robinson_foulds_distance"] = veltrane.robinson_foulds_distance(B1, B1)["rf_distance"] == 0
print(json.dumps({{"before": before, "after": threads(), "chunks": chunks, "same": same,
                  "rf": rf}}))
"""


def test_a_huge_pool_size_gives_the_usual_results_on_few_threads(python_child):
    out = python_child(CODE, RAYON_NUM_THREADS="100000")
    assert all(out["same"].values()), out["same"]
    # The big pool size chose many chunks (the chunk rules cap by the size, not by the
    # processors)...
    assert max(out["chunks"]) > 8, out["chunks"]
    # ...but the pool started no more workers than the chunks of one call: a chunk is cut into
    # at most four pieces. Without the lazy start it would hold 65535.
    workers = out["after"] - out["before"]
    assert 0 <= workers <= 4 * max(out["chunks"]), out
    # Same trees, any pool size: the distance does not depend on how the texts were read.
    small = python_child(CODE, RAYON_NUM_THREADS="1")
    assert small["rf"] == out["rf"]
    assert small["after"] <= small["before"] + 1


@pytest.mark.skipif(sys.platform != "linux", reason="thread counts through /proc are Linux's")
def test_no_thread_starts_before_a_chunk_needs_one(python_child):
    code = """
        import json, os, veltrane
        before = len(os.listdir("/proc/self/task"))
        # Sequential roads only: the pool is asked for its size but runs nothing.
        veltrane.triplets_correct_parallel("((A,B),(C,D));", "((A,C),(B,D));")
        veltrane.phs_optimized("((A,B)X,C)R;", [[1], [1], [0]], {"X": [0]})
        print(json.dumps(len(os.listdir("/proc/self/task")) - before))
        """
    assert python_child(code, RAYON_NUM_THREADS="100000") == 0
