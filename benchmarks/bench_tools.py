"""What the real-data helpers cost on a large tree, as ratios to the calls they prepare.

    python3 benchmarks/bench_tools.py [leaves] [repeats]     (default 100000 leaves, 15 repeats)

On one random binary tree with branch lengths, in one run (medians of the repeats, since the
machine may be shared):
  read            robinson_foulds_distance(tree, "(a,b);") less its computation_time_ms: the
                  reader, text in and tree freed
  leaf_labels     the same reader plus one str per leaf: should be close to "read"
  clean_newick    the tree as DendroPy writes it ("[&R]", quoted labels with blanks, support
                  values), cleaned with internal_labels="names"
  clean object    clean_newick of a DendroPy tree object, next to DendroPy's own writer
  matrix_for      a DataFrame of 20 sites indexed by cell name, in a shuffled order, put in
                  leaf order; next to parsimony_score, the call it prepares
"""

from __future__ import annotations

import random
import re
import statistics
import sys
import time
from collections.abc import Callable

import veltrane
import veltrane_tools as vt
from run import to_newick, tree_shape


def median_time(fn: Callable[[], object], repeats: int) -> float:
    fn()  # warm up caches and pages
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(n: int, repeats: int) -> None:
    rnd = random.Random(n)
    children, root = tree_shape("binary", n, rnd)
    names = [f"cell {i}" for i in range(n)]  # blanks: quoted by other tools
    rnd.shuffle(names)
    quoted = to_newick(children, root, [f"'{name}'" for name in names], rnd)
    written = "[&R] " + re.sub(r"\)", lambda _: f"){rnd.randint(50, 100)}", quoted)
    clean = vt.clean_newick(written, internal_labels="names")
    labels = vt.leaf_labels(clean)
    print(f"{n} leaves, {len(clean.encode()) / 1e6:.2f} MB of clean text, {repeats} repeats")

    def read() -> float:
        start = time.perf_counter()
        result = veltrane.robinson_foulds_distance(clean, "(a,b);")
        return time.perf_counter() - start - result["computation_time_ms"] / 1000

    read_time = statistics.median(read() for _ in range(repeats))
    rows = [("read (reference)", read_time, "")]
    labels_time = median_time(lambda: vt.leaf_labels(clean), repeats)
    rows.append(("leaf_labels", labels_time, f"{labels_time / read_time:.2f}x read"))
    clean_time = median_time(lambda: vt.clean_newick(written, internal_labels="names"), repeats)
    rows.append(("clean_newick (text)", clean_time, f"{clean_time / read_time:.2f}x read"))

    try:
        import dendropy
    except ImportError:
        print("(DendroPy not installed: no tree-object figures)")
    else:
        tree = dendropy.Tree.get(data=written, schema="newick")
        few = max(3, repeats // 5)
        own = median_time(lambda: tree.as_string(schema="newick"), few)
        obj = median_time(lambda: vt.clean_newick(tree, internal_labels="names"), few)
        rows.append(("DendroPy as_string", own, ""))
        rows.append(("clean_newick (DendroPy)", obj, f"{obj / own:.2f}x DendroPy's writer"))

    try:
        import numpy as np
        import pandas as pd
    except ImportError:
        print("(pandas not installed: no matrix_for figures)")
    else:
        # Fresh names in the table's own order, as a table read from a file holds them.
        order = [label.encode().decode() for label in rnd.sample(labels, len(labels))]
        values = np.random.default_rng(n).integers(-1, 5, size=(n, 20))
        frame = pd.DataFrame(values, index=order, columns=[f"site{k}" for k in range(20)])
        matrix = vt.matrix_for(clean, frame)
        build = median_time(lambda: vt.matrix_for(clean, frame), repeats)
        score = median_time(lambda: veltrane.parsimony_score(clean, matrix), repeats)
        rows.append(("parsimony_score", score, ""))
        rows.append(("matrix_for (DataFrame)", build, f"{build / score:.2f}x parsimony_score"))

    print(f"{'':<26} {'median ms':>10}  ratio")
    for name, seconds, ratio in rows:
        print(f"{name:<26} {seconds * 1000:>10.1f}  {ratio}")


if __name__ == "__main__":
    main(
        int(sys.argv[1]) if len(sys.argv) > 1 else 100_000,
        int(sys.argv[2]) if len(sys.argv) > 2 else 15,
    )
