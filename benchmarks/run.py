"""Times veltrane against peer libraries on trees it generates itself, and plots the results.

    python benchmarks/run.py [--quick] [--max-size N] [--timeout S]

Jobs, each timed from Newick text to result:
  parse     read one tree. veltrane has no parse-only call, so its figure is
            robinson_foulds_distance(tree, "(a,b);"): both parses, the linear-time distance over
            the big tree and freeing it, an upper bound on its parse time.
  rf        Robinson-Foulds distance between two trees on the same labels.
  triplets  exact rooted triplet agreement over every triple of leaves. veltrane:
            triplets_correct_ultra with more trials than there are triples, which forces its
            exhaustive count. It pairs leaves by position, so the second tree is an independent
            random tree whose p-th leaf in text order carries the label of the first tree's p-th
            leaf: pairing by position is then pairing by label.
Shapes: random binary (random joins), caterpillar, random multifurcating (2 to 8 children).
Peers (pip install -r benchmarks/requirements.txt): DendroPy, ete3 and TreeSwift parse; DendroPy
(symmetric_difference on force-unrooted trees) and ete3 (robinson_foulds, unrooted_trees=True)
give the distance. TreeSwift has no Robinson-Foulds call. Every distance a peer returns is checked
against veltrane's: with equal label sets both count the bipartitions found in one tree only.
tqDist (triplet_distance on the two texts) gives the triplet distance, the share of triples that
the trees resolve differently; with K triples it must be K minus veltrane's agreeing count, which
is checked for every size both ran.

Each measurement runs in its own interpreter with a timeout, which also reports its peak memory.
A tool that fails or runs out of time at one size is not tried at larger sizes of that shape.
Results go to benchmarks/out/ (results.json, benchmarks.png); --docs also copies the plot to
docs/benchmarks.png.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
TREES = OUT / "trees"

TOOLS = ["veltrane", "dendropy", "ete3", "treeswift", "tqdist"]
PEERS = TOOLS[1:]
JOBS = ["parse", "rf", "triplets"]
SHAPES = ["binary", "caterpillar", "multifurcating"]
SIZES = [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000]
QUICK_SIZES = [1_000, 10_000, 100_000]
# Largest sizes a peer is given, found by trial on a 2-core machine: past these one call takes
# minutes (ete3's distance grows quadratically: 10,000 leaves take over 3 minutes; DendroPy's
# takes 20 to 35 s at 30,000 leaves and over 2 minutes at 100,000). tqDist's triplet distance
# takes about 30 s at 1,000,000 leaves; it crashes on caterpillars of 100,000 leaves.
PEER_CAPS = {
    ("dendropy", "parse"): 1_000_000,
    ("dendropy", "rf"): 30_000,
    ("ete3", "parse"): 1_000_000,
    ("ete3", "rf"): 3_000,
    ("treeswift", "parse"): 1_000_000,
    ("tqdist", "triplets"): 1_000_000,
}


def size_cap(tool: str, job: str) -> int:
    """Largest size a tool is given for a job; a peer without an entry does not do the job."""
    if tool == "veltrane":
        return SIZES[-1]
    return PEER_CAPS.get((tool, job), 0)


# --- Trees -----------------------------------------------------------------------------------


def tree_shape(shape: str, n: int, rnd: random.Random) -> tuple[list[list[int]], int]:
    """Children lists; nodes 0..n-1 are the leaves. Returns (children, root)."""
    children: list[list[int]] = [[] for _ in range(n)]
    if shape == "caterpillar":
        current = 0
        for leaf in range(1, n):
            children.append([current, leaf])
            current = len(children) - 1
        return children, current
    pool = list(range(n))
    while len(pool) > 1:
        k = 2 if shape == "binary" else min(len(pool), rnd.randint(2, 8))
        picked = []
        for _ in range(k):
            i = rnd.randrange(len(pool))
            picked.append(pool[i])
            pool[i] = pool[-1]
            pool.pop()
        children.append(picked)
        pool.append(len(children) - 1)
    return children, pool[0]


def to_newick(children: list[list[int]], root: int, labels: list[str], rnd) -> str:
    """Iterative printer with branch lengths on every node but the root."""
    out: list[str] = []
    stack = [(root, 0)]
    while stack:
        v, k = stack.pop()
        kids = children[v]
        if not kids:
            out.append(labels[v])
        else:
            if k < len(kids):
                out.append("(" if k == 0 else ",")
                stack.append((v, k + 1))
                stack.append((kids[k], 0))
                continue
            out.append(")")
        if v != root:
            out.append(f":{rnd.random():.6f}")
    return "".join(out) + ";"


def tree_file(shape: str, n: int, which: int) -> Path:
    path = TREES / f"{shape}_{n}_{which}.nwk"
    if not path.exists():
        rnd = random.Random(f"{shape}/{n}/{which}")
        children, root = tree_shape(shape, n, rnd)
        labels = [f"t{i}" for i in range(n)]
        rnd.shuffle(labels)
        TREES.mkdir(parents=True, exist_ok=True)
        path.write_text(to_newick(children, root, labels, rnd))
    return path


def leaves_in_text_order(children: list[list[int]], root: int) -> list[int]:
    order, stack = [], [root]
    while stack:
        v = stack.pop()
        if children[v]:
            stack.extend(reversed(children[v]))
        else:
            order.append(v)
    return order


def positional_partner_file(shape: str, n: int) -> Path:
    """Second tree of the triplet job: an independent random tree whose p-th leaf in text order
    carries the label of the p-th leaf of tree_file(shape, n, 1). veltrane's triplet metric pairs
    leaves by position and tqDist by label; with this labelling the two pairings are the same."""
    path = TREES / f"{shape}_{n}_positional.nwk"
    if not path.exists():
        rnd = random.Random(f"{shape}/{n}/positional")
        children, root = tree_shape(shape, n, rnd)
        # A caterpillar prints its leaves in the same order whatever the seed, so relabelling by
        # position alone would give back tree 1; children in random order break that (and, for
        # the other shapes, cost nothing in randomness).
        for kids in children:
            rnd.shuffle(kids)
        first = re.findall(r"t\d+", tree_file(shape, n, 1).read_text())
        labels = [""] * len(children)
        for label, leaf in zip(first, leaves_in_text_order(children, root), strict=True):
            labels[leaf] = label
        path.write_text(to_newick(children, root, labels, rnd))
    return path


# --- One measurement, in a fresh interpreter ---------------------------------------------------


def discard(fn):
    """fn with its result dropped: a parse job returns nothing to compare."""

    def call():
        fn()

    return call


def job_function(tool: str, job: str, texts: list[str]):
    """A callable doing the whole job from text, returning the distance (or None); for the
    triplet job, veltrane's share of agreeing triples or tqDist's share of disagreeing ones."""
    if tool == "veltrane":
        import veltrane

        if job == "triplets":

            def veltrane_triplets():
                # More trials than there are triples forces the exact count over all of them.
                result = veltrane.triplets_correct_ultra(
                    texts[0], texts[1], number_of_trials=2**63
                )
                if result["method_used"] != "exhaustive":
                    raise RuntimeError(f"method_used is {result['method_used']!r}")
                return result["all_triplets_correct"][0]

            return veltrane_triplets
        if job == "parse":
            # Returns the distance's own time, so that the parse time can be told apart.
            return lambda: veltrane.robinson_foulds_distance(texts[0], "(a,b);")[
                "computation_time_ms"
            ] / 1000
        return lambda: veltrane.robinson_foulds_distance(texts[0], texts[1])["rf_distance"]
    if tool == "dendropy":
        import dendropy
        from dendropy.calculate import treecompare

        if job == "parse":
            return discard(lambda: dendropy.Tree.get(data=texts[0], schema="newick"))

        def dendropy_rf():
            namespace = dendropy.TaxonNamespace()
            t1, t2 = (
                dendropy.Tree.get(
                    data=t, schema="newick", taxon_namespace=namespace, rooting="force-unrooted"
                )
                for t in texts
            )
            return treecompare.symmetric_difference(t1, t2)

        return dendropy_rf
    if tool == "ete3":
        import ete3

        if job == "parse":
            return discard(lambda: ete3.Tree(texts[0], format=1))
        return lambda: ete3.Tree(texts[0], format=1).robinson_foulds(
            ete3.Tree(texts[1], format=1), unrooted_trees=True
        )[0]
    if tool == "treeswift":
        import treeswift

        if job == "parse":
            return discard(lambda: treeswift.read_tree_newick(texts[0]))
    if tool == "tqdist" and job == "triplets":
        import tqdist

        # Takes the two Newick texts (not file names, and without a trailing newline) and returns
        # the triplet distance divided by the number of triples.
        first, second = (t.strip() for t in texts)
        return lambda: tqdist.triplet_distance(first, second)
    raise ValueError(f"{tool} has no {job} job")


def worker(tool: str, job: str, repeats: int, files: list[str]) -> None:
    # Peers recurse over tree depth; give them room (a crash is reported like any failure).
    sys.setrecursionlimit(2_000_000)
    texts = [Path(f).read_text() for f in files]
    fn = job_function(tool, job, texts)
    times, values = [], []
    for _ in range(repeats):
        start = time.perf_counter()
        values.append(fn())
        times.append(time.perf_counter() - start)
    out = {"times": times, "peak_mb": peak_memory_mb(), "bytes": sum(len(t) for t in texts)}
    if job == "rf":
        out["rf"] = values[-1]
    elif job == "triplets":
        out["all_correct" if tool == "veltrane" else "distance"] = values[-1]
    elif tool == "veltrane":
        out["core"] = values
    print(json.dumps(out))


def peak_memory_mb() -> float:
    """Peak resident memory of this interpreter. ru_maxrss would include the parent's peak,
    which Linux carries across exec; VmHWM belongs to this program alone."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def measure(tool, job, shape, n, timeout) -> dict:
    files = [str(tree_file(shape, n, 1))]
    if job == "rf":
        files.append(str(tree_file(shape, n, 2)))
    elif job == "triplets":
        files.append(str(positional_partner_file(shape, n)))
    repeats = (5 if n <= 100_000 else 3) if tool == "veltrane" else (3 if n <= 10_000 else 1)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [VELTRANE_DIR, env.get("PYTHONPATH")]))
    cmd = [sys.executable, __file__, "--worker", tool, job, str(repeats), *files]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"error": f"over {timeout:.0f} s"}
    if done.returncode < 0:
        return {"error": f"killed by {signal.Signals(-done.returncode).name}"}
    if done.returncode != 0:
        lines = (done.stderr or "").strip().splitlines() or [f"exit {done.returncode}"]
        return {"error": lines[-1][:60]}
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- The whole run ---------------------------------------------------------------------------


VELTRANE_DIR = ""


def find_veltrane() -> None:
    """Makes veltrane importable in the workers: this checkout's build/rel or build/dev when one
    holds the module (an installed copy may be older), else whatever the interpreter finds."""
    global VELTRANE_DIR
    for build in [ROOT / "build" / "rel", ROOT / "build" / "dev"]:
        if list(build.glob("veltrane*.so")) + list(build.glob("veltrane*.pyd")):
            sys.path.insert(0, str(build))
            break
    try:
        import veltrane
    except ImportError:
        sys.exit("veltrane is not importable: install it (see README) or set PYTHONPATH")
    VELTRANE_DIR = str(Path(veltrane.__file__).parent)
    print(f"veltrane from {veltrane.__file__}", file=sys.stderr)


def available(tool: str) -> bool:
    if tool == "veltrane":
        return True
    try:
        __import__(tool)
    except ImportError:
        return False
    return True


def run(args) -> dict:
    sizes = [n for n in (QUICK_SIZES if args.quick else SIZES) if n <= args.max_size]
    tools = [t for t in TOOLS if available(t)]
    missing = sorted(set(TOOLS) - set(tools))
    if missing:
        print(f"not installed, skipped: {', '.join(missing)}", file=sys.stderr)
    results = []
    started = time.perf_counter()
    for job in JOBS:
        for shape in SHAPES:
            for tool in tools:
                for n in sizes:
                    if n > size_cap(tool, job):
                        break
                    r = measure(tool, job, shape, n, args.timeout)
                    r.update(tool=tool, job=job, shape=shape, n=n)
                    results.append(r)
                    shown = r.get("error") or f"{statistics.median(r['times']):.4f} s"
                    print(f"  {job:8} {shape:14} {tool:9} {n:>9}  {shown}", file=sys.stderr)
                    if "error" in r:
                        break
    return {"results": results, "seconds": time.perf_counter() - started, "sizes": sizes}


def triplet_mismatch(n: int, all_correct: float, distance: float) -> str | None:
    """Compares veltrane's agreeing share with tqDist's disagreeing share as counts of triples:
    tqDist's count must be K - all_correct, K the number of triples. Both shares are counts
    divided by K, so below 2^50 triples rounding gives the counts back exactly."""
    triples = n * (n - 1) * (n - 2) // 6
    ours = triples - round(all_correct * triples)
    theirs = distance * triples
    if triples < 2**50:
        agree = ours == round(theirs)
    else:
        agree = abs(ours - theirs) <= 1e-9 * triples
    return None if agree else f"tqdist counts {theirs:.1f} disagreeing triples, veltrane {ours}"


def median(r) -> float | None:
    return statistics.median(r["times"]) if "times" in r else None


def report(data: dict) -> list[str]:
    rows = {}
    for r in data["results"]:
        rows.setdefault((r["job"], r["shape"], r["n"]), {})[r["tool"]] = r
    lines = []
    mismatches = []
    checked_triplets, triplet_mismatches = 0, []
    header = f"{'job':8} {'shape':14} {'leaves':>9} " + " ".join(f"{t:>10}" for t in TOOLS)
    header += f" {'fastest peer / veltrane':>24}"
    lines.append("Median seconds per call, parsing included; last column: how many times faster")
    lines.append(header)
    for (job, shape, n), by_tool in rows.items():
        cells = []
        for t in TOOLS:
            r = by_tool.get(t)
            m = median(r) if r else None
            cells.append(f"{m:>10.4f}" if m is not None else f"{'-' if not r else 'fail':>10}")
        peers = [median(by_tool[t]) for t in PEERS if t in by_tool and median(by_tool[t])]
        ours = median(by_tool["veltrane"]) if "veltrane" in by_tool else None
        ratio = f"{min(peers) / ours:>23.1f}x" if peers and ours else f"{'-':>24}"
        lines.append(f"{job:8} {shape:14} {n:>9} " + " ".join(cells) + " " + ratio)
        if job == "rf" and ours is not None:
            want = by_tool["veltrane"]["rf"]
            for t in PEERS:
                got = by_tool.get(t, {}).get("rf")
                if got is not None and got != want:
                    mismatches.append(f"{shape} {n}: {t} says {got}, veltrane {want}")
        if job == "triplets" and ours is not None and "distance" in by_tool.get("tqdist", {}):
            checked_triplets += 1
            wrong = triplet_mismatch(
                n, by_tool["veltrane"]["all_correct"], by_tool["tqdist"]["distance"]
            )
            if wrong:
                triplet_mismatches.append(f"{shape} {n}: {wrong}")
    lines.append("")
    checked = sum(
        1 for r in data["results"] if r["job"] == "rf" and r["tool"] != "veltrane" and "rf" in r
    )
    lines.append(
        f"Robinson-Foulds values checked against peers: {checked}, mismatches: {len(mismatches)}"
    )
    lines += [f"  MISMATCH {m}" for m in mismatches]
    lines.append(
        f"Exact triplet counts checked against tqdist: {checked_triplets},"
        f" mismatches: {len(triplet_mismatches)}"
    )
    lines += [f"  MISMATCH {m}" for m in triplet_mismatches]
    for job in ["rf", "triplets"]:
        peaks = [
            f"{r['shape']} {r['n']}: {r['peak_mb']:.0f} MB"
            for r in data["results"]
            if (r["tool"], r["job"]) == ("veltrane", job) and r["n"] >= 100_000 and "peak_mb" in r
        ]
        if peaks:
            lines.append(f"veltrane {job} peak memory (whole interpreter): " + ", ".join(peaks))
    speeds = []
    for r in data["results"]:
        if r["tool"] == "veltrane" and r["job"] == "parse" and "core" in r and r["n"] >= 100_000:
            parse = statistics.median(t - c for t, c in zip(r["times"], r["core"]))
            speeds.append(f"{r['shape']} {r['n']}: {r['bytes'] / parse / 1e6:.0f} MB/s")
    if speeds:
        lines.append(
            "veltrane reading speed, from the call to the tree and back (wall time minus the"
            " distance's own time; freeing the tree included): " + ", ".join(speeds)
        )
    lines.append(f"Total time: {data['seconds']:.0f} s")
    return lines


def plot(data: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(JOBS), len(SHAPES), figsize=(13, 3.6 * len(JOBS)), sharex=True)
    for i, job in enumerate(JOBS):
        for j, shape in enumerate(SHAPES):
            ax = axes[i][j]
            for tool in TOOLS:
                points = [
                    (r["n"], median(r))
                    for r in data["results"]
                    if (r["tool"], r["job"], r["shape"]) == (tool, job, shape) and "times" in r
                ]
                if points:
                    # One colour per tool across all panels, whichever tools a job has.
                    color = f"C{TOOLS.index(tool)}"
                    ax.plot(*zip(*points), marker="o", label=tool, color=color)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{job}: {shape}")
            ax.grid(True, which="both", alpha=0.3)
            if i == len(JOBS) - 1:
                ax.set_xlabel("leaves")
            if j == 0:
                ax.set_ylabel("seconds (median)")
                if ax.lines:
                    ax.legend()
    fig.suptitle(
        "Newick text to result: parse, Robinson-Foulds distance and exact triplet distance"
    )
    fig.text(
        0.5,
        0.005,
        "veltrane's parse times a distance against a two-leaf tree (it has no parse-only call);"
        " triplets: every triple counted; missing points: a tool failed, took over the time"
        " limit or is not run at that size",
        ha="center",
        fontsize=8,
    )
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(path, dpi=110)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        tool, job, repeats, *files = sys.argv[2:]
        worker(tool, job, int(repeats), files)
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes 1,000 to 100,000 only")
    parser.add_argument("--max-size", type=int, default=1_000_000, help="largest tree size")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds per measurement")
    parser.add_argument("--docs", action="store_true", help="copy the plot to docs/benchmarks.png")
    args = parser.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    find_veltrane()
    data = run(args)
    (OUT / "results.json").write_text(json.dumps(data, indent=1))
    lines = report(data)
    (OUT / "table.txt").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    try:
        plot(data, OUT / "benchmarks.png")
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    if args.docs:
        (ROOT / "docs").mkdir(exist_ok=True)
        shutil.copyfile(OUT / "benchmarks.png", ROOT / "docs" / "benchmarks.png")


if __name__ == "__main__":
    main()
