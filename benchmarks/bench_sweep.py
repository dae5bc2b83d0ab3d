"""A sweep of many tree pairs: score_pairs on worker processes and on a dask.distributed cluster,
against the plain loop a user would write.

    python3 benchmarks/bench_sweep.py [--pairs 1000] [--leaves 2000] [--repeats 3]
                                      [--metrics rf,triplets] [--jobs 2]

Each pair is two independent random binary trees over the same cells (labels at random
positions, branch lengths on every edge). The loop calls the library's functions pair after
pair in this process; score_pairs runs the same calls on --jobs worker processes (its own pool,
started and stopped inside each call, so start-up is in the figure) and on a LocalCluster of
--jobs single-threaded worker processes (started once, as a cluster is). The timings of one
repeat are taken back to back, so the ratios compare like with like on a shared machine; the
table gives every repeat and the median ratio. "triplets" needs veltrane_tools.triplets; when it
is missing the benchmark says so and measures the other metrics. The load average is printed
before and after: with other work on the cores, no second core is there to win.
"""

from __future__ import annotations

import argparse
import importlib
import os
import random
import statistics
import time
from collections.abc import Callable

import veltrane
import veltrane_tools as vt
from run import to_newick, tree_shape


def random_tree(n: int, rnd: random.Random) -> str:
    children, root = tree_shape("binary", n, rnd)
    labels = [f"cell{i}" for i in range(n)]
    rnd.shuffle(labels)
    return to_newick(children, root, labels, rnd)


def plain_loop(pairs: list[tuple[str, str]], metrics: list[str]) -> list[dict[str, object]]:
    """What a user writes without score_pairs: one call per metric per pair."""
    agreement: Callable[..., dict[str, object]] | None = None
    if "triplets" in metrics:
        agreement = importlib.import_module("veltrane_tools.triplets").triplet_agreement
    rows = []
    for rec, truth in pairs:
        row: dict[str, object] = {}
        if "rf" in metrics:
            row["rf"] = veltrane.robinson_foulds_distance(rec, truth)["rf_distance"]
        if agreement is not None:
            row["triplets"] = agreement(rec, truth)["all_triplets_correct"]
        rows.append(row)
    return rows


def timed(fn: Callable[[], object]) -> tuple[float, object]:
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=1000)
    parser.add_argument("--leaves", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--metrics", default="rf,triplets")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    metrics = args.metrics.split(",")
    if "triplets" in metrics:
        try:
            importlib.import_module("veltrane_tools.triplets")
        except ImportError:
            print("veltrane_tools.triplets is not installed: measuring without 'triplets'")
            metrics.remove("triplets")

    rnd = random.Random(args.pairs * 7919 + args.leaves)
    pairs = [
        (random_tree(args.leaves, rnd), random_tree(args.leaves, rnd)) for _ in range(args.pairs)
    ]
    print(f"{args.pairs} pairs of {args.leaves}-leaf trees, metrics {','.join(metrics)}, "
          f"{args.jobs} workers, {args.repeats} repeats, load average {os.getloadavg()[0]:.1f}")

    expected = plain_loop(pairs[:5], metrics)
    speedups: dict[str, list[float]] = {"processes": [], "cluster": []}
    # Processes first, with nothing else running: a live cluster's workers and its client's
    # event loop take CPU of their own, which would count against the processes.
    print(f"{'repeat':>6} {'loop s':>8} {'jobs=1 s':>9} {'processes s':>12} {'speedup':>8}")
    for repeat in range(args.repeats):
        loop, _ = timed(lambda: plain_loop(pairs, metrics))
        serial, _ = timed(lambda: vt.score_pairs(pairs, metrics, jobs=1, as_frame=False))
        procs, rows = timed(
            lambda: vt.score_pairs(pairs, metrics, jobs=args.jobs, as_frame=False)
        )
        assert [{m: r[m] for m in e} for r, e in zip(rows[:5], expected)] == expected
        speedups["processes"].append(loop / procs)
        print(f"{repeat + 1:>6} {loop:>8.2f} {serial:>9.2f} {procs:>12.2f} {loop / procs:>7.2f}x")

    try:
        import distributed
    except ImportError:
        distributed = None
        print("(dask.distributed is not installed: no cluster figures)")
    if distributed is not None:
        start = time.perf_counter()
        cluster = distributed.LocalCluster(
            n_workers=args.jobs, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = distributed.Client(cluster)
        print(f"LocalCluster started in {time.perf_counter() - start:.1f} s (not counted)")
        executor = client.get_executor()
        print(f"{'repeat':>6} {'loop s':>8} {'cluster s':>10} {'speedup':>8}")
        for repeat in range(args.repeats):
            loop, _ = timed(lambda: plain_loop(pairs, metrics))
            on_cluster, rows = timed(
                lambda: vt.score_pairs(
                    pairs, metrics, executor=executor, jobs=args.jobs, as_frame=False
                )
            )
            assert [{m: r[m] for m in e} for r, e in zip(rows[:5], expected)] == expected
            speedups["cluster"].append(loop / on_cluster)
            print(f"{repeat + 1:>6} {loop:>8.2f} {on_cluster:>10.2f} {loop / on_cluster:>7.2f}x")
        client.close()
        cluster.close()
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    for name, values in speedups.items():
        if values:
            print(f"median speedup over the loop, {name}: {statistics.median(values):.2f}x")


if __name__ == "__main__":
    main()
