"""Label-matched exact triplet agreement against tqDist, each call in a fresh process.

    python3 benchmarks/bench_agreement.py [--sizes 10000,100000,1000000] [--repeats 3]
                                          [--tqdist-max 1000000] [--tqdist-repeats 3]

Inputs: two INDEPENDENT random trees over the same taxa, labels at random positions in each
(so leaf orders differ), branch lengths on every edge, in three shapes: binary (random joins),
caterpillar and multifurcating (random joins of 2 to 8). Both tools read the texts themselves,
so parsing is included on both sides. Calls of the two tools alternate, in rotated order, each
repeated; the medians are reported (wall clock, and for ours also process CPU time, which a
busy machine inflates less), with ours' peak resident memory. tqDist's triplet distance, a share
of the triples, is checked against our count of disagreeing triples: exactly while the number
of triples is below 2^53, to a few units in the last place beyond.
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from run import to_newick, tree_shape  # the shapes of the main benchmark

CHILD = r"""
import json, resource, sys, time
tool, first, second = sys.argv[1], sys.argv[2], sys.argv[3]
texts = [open(p).read().strip() for p in (first, second)]
if tool == "ours":
    import veltrane_tools
else:
    import tqdist
wall, cpu = time.perf_counter(), time.process_time()
if tool == "ours":
    r = veltrane_tools.triplet_agreement(texts[0], texts[1])
    value = {"distance": r["triplet_distance"], "triples": r["triples"]}
else:
    value = {"share": tqdist.triplet_distance(texts[0], texts[1])}
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"wall": wall, "cpu": cpu, "peak_mb": peak, **value}))
"""


def tree_text(shape: str, n: int, rnd: random.Random) -> str:
    """A random tree over t0 .. t<n-1>, labels shuffled, printed without recursion."""
    children, root = tree_shape(shape, n, rnd)
    labels = [f"t{i}" for i in range(n)]
    rnd.shuffle(labels)
    return to_newick(children, root, labels, rnd)


def measure(tool: str, files: list[Path], timeout: float) -> dict | None:
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, tool, *map(str, files)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    if proc.returncode != 0:
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def check(ours: dict, share: float) -> str:
    triples, distance = ours["triples"], ours["distance"]
    if triples < 2**53:
        return "exact" if round(share * triples) == distance else "DIFFERS"
    ulps = abs(share - distance / triples) / (2**-52 * max(share, 2**-1022))
    return f"~{ulps:.0f} ulp" if ulps <= 8 else "DIFFERS"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--shapes", default="binary,caterpillar,multifurcating")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tqdist-max", type=int, default=1_000_000)
    parser.add_argument("--tqdist-repeats", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()
    try:
        import tqdist  # noqa: F401

        have_tqdist = True
    except ImportError:
        have_tqdist = False
    header = (f"{'leaves':>9} {'shape':<15}{'ours s':>8}{'cpu s':>8}{'peak MB':>9}"
              f"{'tqDist s':>10}{'cpu s':>8}{'ratio':>8}  check")
    print(header)
    with tempfile.TemporaryDirectory() as tmp:
        for n in map(int, args.sizes.split(",")):
            for shape in args.shapes.split(","):
                rnd = random.Random(f"{shape}/{n}")
                files = [Path(tmp) / f"{shape}_{n}_{i}.nwk" for i in (1, 2)]
                for f in files:
                    f.write_text(tree_text(shape, n, rnd))
                runs: dict[str, list[dict]] = {"ours": [], "tqdist": []}
                tq_repeats = args.tqdist_repeats if have_tqdist and n <= args.tqdist_max else 0
                for rep in range(max(args.repeats, tq_repeats)):
                    order = ["ours", "tqdist"] if rep % 2 == 0 else ["tqdist", "ours"]
                    for tool in order:
                        if tool == "ours" and rep >= args.repeats:
                            continue
                        if tool == "tqdist" and (rep >= tq_repeats or None in runs["tqdist"]):
                            continue
                        runs[tool].append(measure(tool, files, args.timeout))
                ours = [r for r in runs["ours"] if r]
                tq = [r for r in runs["tqdist"] if r]
                wall = statistics.median(r["wall"] for r in ours)
                cpu = statistics.median(r["cpu"] for r in ours)
                peak = max(r["peak_mb"] for r in ours)
                if tq:
                    tq_wall = statistics.median(r["wall"] for r in tq)
                    tq_cpu = statistics.median(r["cpu"] for r in tq)
                    tq_cell, ratio = f"{tq_wall:10.3f}{tq_cpu:8.3f}", f"{tq_wall / wall:7.1f}x"
                    verdict = check(ours[0], tq[0]["share"])
                elif runs["tqdist"]:
                    tq_cell, ratio, verdict = f"{'failed':>10}{'':>8}", f"{'-':>8}", "-"
                else:
                    tq_cell, ratio, verdict = f"{'-':>10}{'':>8}", f"{'-':>8}", "-"
                print(f"{n:>9} {shape:<15}{wall:8.3f}{cpu:8.3f}{peak:9.0f}{tq_cell}{ratio}  "
                      f"{verdict}", flush=True)


if __name__ == "__main__":
    main()
