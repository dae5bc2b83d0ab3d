"""Time and peak memory of every veltrane function at one size, each call in a fresh process.

    python3 benchmarks/peak_memory.py [leaves] [phs_leaves]     # defaults 1000000 and 20000

Inputs: random binary trees (random splits, leaves t0.. in text order, internal nodes n0..),
50 characters per leaf. The positional triplet metrics are forced to their exact count
(number_of_trials=2**63); triplets_correct and triplets_correct_fast sample their default
1000 trials. PHS is quadratic in the leaves by nature and runs at its own, smaller size.
"input MB" is the process once the inputs are built, "peak MB" its high-water mark after the
call, and "call MB" the difference: what the call itself needed at most.
"""

from __future__ import annotations

import json
import subprocess
import sys

CHILD = r"""
import json, random, resource, sys, time
import veltrane

name, n = sys.argv[1], int(sys.argv[2])
rnd = random.Random(n)

def tree():
    out, leaf, inner, stack = [], 0, 0, [("open", n)]
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
    return "".join(out) + ";", inner

t1, inner = tree()
t2, _ = tree()
needs_matrix = name.startswith(("parsimony", "likelihood", "phs"))
alphabet = [-1, 0, 0, 0, 0] + list(range(1, 9))
matrix = [[rnd.choice(alphabet) for _ in range(50)] for _ in range(n)] if needs_matrix else None
exact = {"number_of_trials": 2**63}
calls = {
    "triplets_correct": lambda: veltrane.triplets_correct(t1, t2),
    "triplets_correct_fast": lambda: veltrane.triplets_correct_fast(t1, t2),
    "triplets_correct_ultra": lambda: veltrane.triplets_correct_ultra(t1, t2, **exact),
    "triplets_correct_parallel": lambda: veltrane.triplets_correct_parallel(t1, t2, **exact),
    "triplets_correct_optimized": lambda: veltrane.triplets_correct_optimized(t1, t2, **exact),
    "robinson_foulds_distance": lambda: veltrane.robinson_foulds_distance(t1, t2),
    "robinson_foulds_distance_normalized":
        lambda: veltrane.robinson_foulds_distance_normalized(t1, t2),
    "parsimony_score": lambda: veltrane.parsimony_score(t1, matrix),
    "parsimony_p_value": lambda: veltrane.parsimony_p_value(t1, matrix),
    "likelihood_score": lambda: veltrane.likelihood_score(t1, matrix),
    "likelihood_distance": lambda: veltrane.likelihood_distance(t1, t2, matrix),
    "phs_optimized": lambda: veltrane.phs_optimized(
        t1, matrix, {f"n{k}": [0] * 50 for k in range(inner)}, mutation_rate=0.01),
}

def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20

before = rss_mb()
start = time.perf_counter()
calls[name]()
wall = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps([wall, before, peak]))
"""

FUNCTIONS = [
    "triplets_correct",
    "triplets_correct_fast",
    "triplets_correct_ultra",
    "triplets_correct_parallel",
    "triplets_correct_optimized",
    "robinson_foulds_distance",
    "robinson_foulds_distance_normalized",
    "parsimony_score",
    "parsimony_p_value",
    "likelihood_score",
    "likelihood_distance",
    "phs_optimized",
]


def main(argv: list[str]) -> None:
    n = int(argv[0]) if argv else 1_000_000
    phs_n = int(argv[1]) if len(argv) > 1 else 20_000
    print(f"{'function':<38} {'leaves':>9} {'seconds':>9} {'input MB':>9} {'peak MB':>9} "
          f"{'call MB':>9}")
    for name in FUNCTIONS:
        size = phs_n if name == "phs_optimized" else n
        proc = subprocess.run([sys.executable, "-c", CHILD, name, str(size)],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"{name:<38} {size:>9}  failed: {proc.stderr.strip().splitlines()[-1]}")
            continue
        wall, before, peak = json.loads(proc.stdout)
        print(f"{name:<38} {size:>9} {wall:>9.3f} {before:>9.0f} {peak:>9.0f} "
              f"{peak - before:>9.0f}")


if __name__ == "__main__":
    main(sys.argv[1:])
