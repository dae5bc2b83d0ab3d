"""Cost of the checks behind the module's RuntimeWarnings at 100,000 leaves: the same calls timed
with this veltrane and with a build from before the checks, in turns, in one run.

    python3 benchmarks/bench_warnings.py --before PYTHON [--leaves N] [--repeats K]

PYTHON is an interpreter whose veltrane is the earlier build (a venv with it installed). One
interpreter per build stays up; they make each call in turn, K times each, so that both see the
same load. The table gives the median times, the median of the per-turn ratios this / before
and the ratio of the best times. The checks compare
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
import statistics
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
print(json.dumps(list(calls)), flush=True)
for line in sys.stdin:  # one call name per line; answers its time in seconds
    call = calls[line.strip()]
    start = time.perf_counter()
    call()
    print(time.perf_counter() - start, flush=True)
"""


class Build:
    """A long-lived interpreter of one build that times one call per request."""

    def __init__(self, python: str, inputs: Path) -> None:
        self.proc = subprocess.Popen(
            [python, "-c", CHILD, str(inputs)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            text=True, cwd=inputs.parent,
        )
        self.calls = json.loads(self.proc.stdout.readline())

    def time(self, call: str) -> float:
        self.proc.stdin.write(call + "\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", required=True, help="a Python whose veltrane is the earlier build")
    parser.add_argument("--leaves", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=15)
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
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "inputs.json"
        path.write_text(json.dumps(data))
        builds = {"this": Build(sys.executable, path), "before": Build(opts.before, path)}
        times: dict[str, dict[str, list[float]]] = {b: {} for b in builds}
        try:
            for call in builds["this"].calls:
                for build in builds.values():
                    build.time(call)  # warm up
                # One call of each build in turn, the first one alternating, so that both
                # see the same load of a shared machine.
                for k in range(opts.repeats):
                    order = list(builds) if k % 2 == 0 else list(builds)[::-1]
                    for name in order:
                        times[name].setdefault(call, []).append(builds[name].time(call))
        finally:
            for build in builds.values():
                build.close()
    print(f"{n} leaves; {opts.repeats} calls per build, interleaved")
    print(f"{'call':<32} {'before ms':>10} {'this ms':>9} {'median ratio':>13} {'best ratio':>11}")
    for call, this in times["this"].items():
        before = times["before"][call]
        ratio = statistics.median(t / b for t, b in zip(this, before))
        print(
            f"{call:<32} {statistics.median(before) * 1e3:>10.2f} "
            f"{statistics.median(this) * 1e3:>9.2f} {ratio:>13.3f} {min(this) / min(before):>11.3f}"
        )


if __name__ == "__main__":
    main()
