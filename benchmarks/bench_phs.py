"""Times phs_optimized on random binary trees with 50 characters, one fresh process per run.

    python3 benchmarks/bench_phs.py [sizes...]

Each size runs sequentially (max_threads=1) and on the whole pool (max_threads=None). The
input is the most expensive kind: every leaf row densely edited and every internal node fully
unedited, so no pair can be skipped. Reported: wall time of the call, its computation_time_ms,
the process's resident memory once the inputs are built, and its peak over the whole run.
Targets: 2,000 leaves under 0.1 s, 20,000 leaves under 5 s and 500 MB.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

N_CHARS = 50

CHILD = r"""
import json, random, resource, sys, time
import veltrane

n_leaves, n_chars, max_threads = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
max_threads = None if max_threads == "none" else int(max_threads)
rnd = random.Random(n_leaves)

# Random splits, written iteratively: leaves t0.. in text order, internal nodes n0...
out, leaf, inner, stack = [], 0, 0, [("open", n_leaves)]
while stack:
    kind, k = stack.pop()
    if kind == "open" and k == 1:
        out.append(f"t{leaf}")
        leaf += 1
    elif kind == "open":
        j = rnd.randint(1, k - 1)
        out.append("(")
        stack += [("close", 0), ("open", k - j), ("comma", 0), ("open", j)]
    elif kind == "comma":
        out.append(",")
    else:
        out.append(f")n{inner}")
        inner += 1
newick = "".join(out) + ";"
alphabet = [-1, 0] + list(range(1, 9))
matrix = [[rnd.choice(alphabet) for _ in range(n_chars)] for _ in range(n_leaves)]
unedited = [0] * n_chars
states = {f"n{k}": unedited for k in range(inner)}

def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20

before = rss_mb()
start = time.perf_counter()
# A small mutation rate keeps every binomial probability inside [0, 1] on deep trees.
result = veltrane.phs_optimized(newick, matrix, states, mutation_rate=0.01,
                                max_threads=max_threads)
wall = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"wall": wall, "core_ms": result["computation_time_ms"], "before": before,
                  "peak": peak, "method": result["method_used"],
                  "chunks": result["parallel_chunks_used"], "score": result["phs_score"]}))
"""


def run(n_leaves: int, max_threads: str) -> dict:
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(n_leaves), str(N_CHARS), max_threads],
        capture_output=True,
        text=True,
        check=True,
        env=os.environ,
    )
    return json.loads(proc.stdout)


def main(sizes: list[int]) -> None:
    print(
        f"{'leaves':>7} {'threads':>7} {'wall s':>8} {'core ms':>9} {'inputs MB':>10}"
        f" {'peak MB':>8} {'method':>21} {'chunks':>6}"
    )
    for n in sizes:
        for max_threads in ("1", "none"):
            r = run(n, max_threads)
            print(
                f"{n:>7} {max_threads:>7} {r['wall']:>8.3f} {r['core_ms']:>9.1f}"
                f" {r['before']:>10.1f} {r['peak']:>8.1f} {r['method']:>21} {r['chunks']:>6}"
            )


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [2_000, 20_000, 50_000])
