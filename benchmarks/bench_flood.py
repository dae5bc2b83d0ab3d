"""Times calls on labels crafted to collide in the label tables, for this veltrane and for
another build (one made before the tables took a per-process key), in one run.

    python3 benchmarks/bench_flood.py [--before PYTHON] [--labels N] [--repeats R]

The labels share one hash under the unkeyed label hash: 16 printable bytes each, without Newick
delimiters, quotes or brackets, the second word following from the inverted final mix. Every
interpreter (this one, and --before if given) times robinson_foulds_distance on two random trees
over those labels and on the same trees with plain labels ("t0", "t1", ...), repeats times, in
turns; the table gives the median seconds and the ratio crafted / plain. Without a key, each
insertion and lookup walks all the colliding labels before it, so the crafted call grows
quadratically; with the key the two calls cost the same.
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


# The labels come from the test that checks results on them (it needs pytest and NumPy).
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from test_hash_flooding import colliding_labels  # noqa: E402


def random_tree(leaves, rnd) -> str:
    pool = list(leaves)
    while len(pool) > 1:
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})"]
    return pool[0] + ";"


CHILD = """
import json, sys, time, veltrane
trees = json.load(open(sys.argv[1]))
out = {}
for kind in ("plain", "crafted"):
    t1, t2 = trees[kind]
    start = time.perf_counter()
    veltrane.robinson_foulds_distance(t1, t2)
    out[kind] = time.perf_counter() - start
print(json.dumps(out))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", help="a Python whose veltrane is the build to compare")
    parser.add_argument("--labels", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=3)
    opts = parser.parse_args()

    n = opts.labels
    crafted = colliding_labels(n)
    plain = [f"t{i}" for i in range(n)]
    order = list(range(n))
    rnd = random.Random(1)
    rnd.shuffle(order)
    trees = {}
    for kind, names in (("plain", plain), ("crafted", crafted)):
        shapes = random.Random(2)
        trees[kind] = [random_tree(names, shapes), random_tree([names[i] for i in order], shapes)]
    pythons = {"this build": sys.executable}
    if opts.before:
        pythons["before"] = opts.before
    times: dict[str, dict[str, list[float]]] = {p: {"plain": [], "crafted": []} for p in pythons}
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "trees.json"
        path.write_text(json.dumps(trees))
        for _ in range(opts.repeats):
            for name, python in pythons.items():
                out = subprocess.run(
                    [python, "-c", CHILD, str(path)], capture_output=True, text=True, check=True,
                    cwd=tmp,
                )
                for kind, seconds in json.loads(out.stdout).items():
                    times[name][kind].append(seconds)
    print(f"robinson_foulds_distance on two trees of {n} leaves, median of {opts.repeats}")
    print(f"{'build':<12} {'plain s':>9} {'crafted s':>10} {'crafted/plain':>14}")
    for name, by_kind in times.items():
        p = statistics.median(by_kind["plain"])
        c = statistics.median(by_kind["crafted"])
        print(f"{name:<12} {p:>9.4f} {c:>10.4f} {c / p:>14.1f}")


if __name__ == "__main__":
    main()
