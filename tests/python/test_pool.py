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


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads counted through /proc")
def test_a_huge_pool_size_gives_the_usual_results_on_the_threads_the_chunks_need(python_child):
    code = textwrap.dedent(f"""
        import json, os, random, sys, veltrane
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from strategies import binary_newick
        threads = lambda: len(os.listdir("/proc/self/task"))
        start = threads()
        veltrane.triplets_correct_parallel("((A,B),(C,D));", "((A,C),(B,D));")  # sequential
        idle = threads() - start
        rnd = random.Random(5)
        labels = ["t%d" % i for i in range(400)]
        t1, t2 = binary_newick(labels, rnd, "n"), binary_newick(rnd.sample(labels, 400), rnd, "n")
        rows = [[rnd.choice([-1, 0, 1, 2]) for _ in range(12)] for _ in labels]
        states = {{"n%d" % k: [rnd.choice([0, 0, 1]) for _ in range(12)] for k in range(399)}}
        keys = ["all_triplets_correct", "proportion_unresolvable", "total_triplets_checked"]
        exact = veltrane.triplets_correct_ultra(t1, t2, 10**12)
        same, chunks = [], []
        for f in (veltrane.triplets_correct_parallel, veltrane.triplets_correct_optimized):
            r = f(t1, t2, 10**12)
            same.append([r[k] for k in keys] == [exact[k] for k in keys])
            chunks.append(r["parallel_chunks_used"])
            same.append(f(t1, t2, 10**6, seed=3) == f(t1, t2, 10**6, seed=3))
        p = veltrane.phs_optimized(t1, rows, states, 0.02)
        same.append(p["phs_score"] == veltrane.phs_optimized(t1, rows, states, 0.02,
                                                             max_threads=1)["phs_score"])
        print(json.dumps([idle, threads() - start, max(chunks), same]))
        """)
    idle, workers, chunks, same = python_child(code, RAYON_NUM_THREADS="100000")
    # No thread before a chunk needs one; then at most the chunks of one call (each cut into at
    # most four pieces), not the 65535 the size asks for.
    assert idle == 0 and chunks > 8 and 0 < workers <= 4 * chunks and all(same)
