"""Cost of the checks behind the module's RuntimeWarnings at 100,000 leaves: the same calls timed
with this veltrane and with a build from before the checks, in turns, in one run.

    python3 benchmarks/bench_warnings.py --before PYTHON [--leaves N] [--rounds R] [--repeats K]

PYTHON is an interpreter whose veltrane is the earlier build (a venv with it installed). Every
round starts one interpreter per build, which times each call K times; the table gives each
call's best time per build over all rounds and the ratio this / before. The checks compare
the leaf-sequence digests the reader leaves (labels byte by byte only when those differ, label
maps only after that) and scan the label bytes for quotes and brackets, so the ratio should
stay within noise (the goal is under 1.02). The last row
is a call that does warn (the same labels in other orders: the label sets are compared through
the label map, and the warning is made and filtered out); it is there for information.
Other changes between the two builds count too, so the ratio is an upper bound on the checks.
"""

from __future__ import annotations

import argparse
import json
import random
import subprocess
import sys
import tempfile
from pathlib import Path


def random_tree(leaves, rnd, inner="n") -> str:
    """Random joins of neighbours, internal nodes named n0, n1, ... (so states have names)."""
    pool = list(leaves)
    k = 0
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]}){inner}{k}"]
        k += 1
    return pool[0] + ";"


CHILD = r"""
import json, sys, time, warnings
import veltrane as V
warnings.simplefilter("ignore")  # the warning is made and filtered out; its cost counts
d = json.load(open(sys.argv[1]))
repeats = int(sys.argv[2])
t1, t1b, t2, flipped = d["t1"], d["t1b"], d["t2"], d["flipped"]
matrix, states = d["matrix"], d["states"]
calls = {
    "robinson_foulds_distance": lambda: V.robinson_foulds_distance(t1, t2),
    "triplets_correct_fast": lambda: V.triplets_correct_fast(t1, t2, 1000, seed=1),
    "triplets_correct_ultra (exact)": lambda: V.triplets_correct_ultra(t1, t1b, 10**15),
    "parsimony_score": lambda: V.parsimony_score(t1, matrix, states),
    "likelihood_distance": lambda: V.likelihood_distance(t1, t1b, matrix, states, states, 0.1),
    "ultra, other order (warns)": lambda: V.triplets_correct_ultra(t1, flipped, 10**15),
}
out = {}
for name, call in calls.items():
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    out[name] = best
print(json.dumps(out))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", required=True, help="a Python whose veltrane is the earlier build")
    parser.add_argument("--leaves", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=5)
    opts = parser.parse_args()

    n = opts.leaves
    rnd = random.Random(1)
    labels = [f"t{i}" for i in range(n)]
    shuffled = rnd.sample(labels, n)
    data = {
        "t1": random_tree(labels, rnd),
        "t1b": random_tree(labels, rnd),  # same leaf order, other shape
        "t2": random_tree(shuffled, rnd),
        "flipped": random_tree(shuffled, rnd),
        "matrix": [[rnd.choice([-1, 0, 0, 0, 1, 2]) for _ in range(10)] for _ in range(n)],
        "states": {f"n{k}": [0] * 10 for k in range(n - 1)},
    }
    builds = {"this": sys.executable, "before": opts.before}
    best: dict[str, dict[str, float]] = {b: {} for b in builds}
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "inputs.json"
        path.write_text(json.dumps(data))
        for _ in range(opts.rounds):
            for build, python in builds.items():
                proc = subprocess.run(
                    [python, "-c", CHILD, str(path), str(opts.repeats)],
                    capture_output=True, text=True, check=True, cwd=tmp,
                )
                for name, seconds in json.loads(proc.stdout).items():
                    best[build][name] = min(best[build].get(name, float("inf")), seconds)
    print(f"{n} leaves; best of {opts.rounds} x {opts.repeats} calls per build")
    print(f"{'call':<32} {'before ms':>10} {'this ms':>9} {'this/before':>12}")
    for name in best["this"]:
        b, t = best["before"][name], best["this"][name]
        print(f"{name:<32} {b * 1e3:>10.2f} {t * 1e3:>9.2f} {t / b:>12.3f}")


if __name__ == "__main__":
    main()
