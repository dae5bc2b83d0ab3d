"""The process-wide worker pool takes its size from the environment."""

import os
import textwrap

import pytest

CPUS = {os.cpu_count() or 1}
if hasattr(os, "sched_getaffinity"):  # Linux only
    CPUS.add(len(os.sched_getaffinity(0)))


@pytest.mark.parametrize("env, chunks", [
    ({"RAYON_NUM_THREADS": "3"}, {3}), ({"RAYON_NUM_THREADS": "+5", "RAYON_RS_NUM_CPUS": "6"}, {5}),
    ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "6"}, {1}),
    ({"RAYON_NUM_THREADS": "4x", "RAYON_RS_NUM_CPUS": "6"}, {6}),  # not a count: the next rule
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "6"}, {min(24, n) for n in CPUS}),
])
def test_environment_sets_the_worker_count(env, chunks, python_child):
    # 100000 sampled trials are cut into as many chunks as there are workers, at most 24.
    code = textwrap.dedent(f"""
        import random, sys, veltrane
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from strategies import binary_newick
        tree = binary_newick(["t%d" % i for i in range(200)], random.Random(17))
        print(veltrane.triplets_correct_parallel(tree, tree, 100000)["parallel_chunks_used"])
        """)
    assert python_child(code, **env) in chunks
