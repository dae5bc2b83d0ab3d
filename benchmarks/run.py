"""Times veltrane against peer tools on trees it generates itself, and plots the results.

    python benchmarks/run.py [--quick] [--max-size N] [--timeout S] [--jobs JOB ...] [--docs]

Jobs, each timed from Newick text to result, parsing included on both sides:
  parse        read one tree. veltrane has no parse-only call, so its figure is
               robinson_foulds_distance(tree, "(a,b);"): both parses, the linear-time distance
               over the big tree and freeing it, an upper bound on its parse time.
  rf           Robinson-Foulds distance between two independent random trees on the same labels.
  triplets_positional   "triplets (positional pairing)": exact triplet agreement over every
               triple, with veltrane.triplets_correct_ultra, which pairs the leaves of the two
               trees by their position in the text (number_of_trials=2**63, more trials than
               there are triples, forces its exhaustive count). The second tree is an independent
               random tree whose p-th leaf in text order carries the label of the first tree's
               p-th leaf, so that pairing by position is pairing by label and tqDist, which
               matches by label, solves the same problem. This is the easy case: real trees are
               not written in a shared leaf order.
  triplets     "triplets (matched by label)": exact triplet agreement with leaves matched by
               label whatever their order, with veltrane_tools.triplet_agreement, on the same two
               independent random trees as rf (labels at random positions in both).
Shapes: random binary (random joins), caterpillar, random multifurcating (2 to 8 children).

Peers, all run as black boxes:
  DendroPy, ete3, TreeSwift (pip): parse; DendroPy (symmetric_difference on force-unrooted
      trees) and ete3 (robinson_foulds with unrooted_trees=True) also give the RF distance.
  IQ-TREE 2 (`apt-get install iqtree`, binary iqtree2 or iqtree): `iqtree2 -rf FILE1 FILE2`, run
      as a process on the same tree files and timed as a whole process; its distance is read from
      the .rfdist file it writes. IQ-TREE reads a tree whose root has two children as rooted and
      then compares clusters (the leaf sets below each node) rather than splits; that distance
      equals the split distance of the same trees with one extra leaf hung above the root, which
      is what its figure is checked against in that case.
  tqDist (pip package tqdist): triplet_distance on the two texts, for both triplet jobs. It
      returns the share of triples the trees resolve differently; with K triples its count must
      equal K minus veltrane's agreeing count, checked at every size both ran.
Install: pip install -r benchmarks/requirements.txt; apt-get install iqtree (as root).
Every Robinson-Foulds distance a peer returns is checked against veltrane's: with equal label sets
both count the splits found in one tree only. veltrane's functions run with their defaults, which
may use both cores of this machine (two large texts of one call are read at the same time, and
triplet_agreement spreads its work over the worker pool); the peers run on one core (IQ-TREE with
its default of one thread).

How it is timed: for each (job, shape, size) the tools are interleaved over ROUNDS rounds, round
r starting with a different tool. Each measurement is a fresh process (a fresh interpreter, or
IQ-TREE's own processes) that reports its FIRST call (cold) and the median of up to WARM_CALLS
more calls (warm); it also reports its peak resident memory (for IQ-TREE, the kernel's figure for
its processes, which counts the launching interpreter's pages, about 15 MB, when IQ-TREE stays
below them). The table gives, per tool, the median over rounds of the first-call times and of the
warm medians, and the largest peak. A tool that fails or runs past the time limit at one size is
not run again at that size or at larger sizes of that shape. The machine's CPU count and load are
printed at the start and recorded. Results go to benchmarks/out/ (results.json, table.txt,
benchmarks.png); --docs also copies the plot to docs/benchmarks.png.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
TREES = OUT / "trees"

ROUNDS = 3
WARM_CALLS = 3
# After the first warm call, more are made only while the process's calls so far took less than
# this; a slow tool then gives one warm call per round (and still three over the rounds).
WARM_BUDGET_S = 10.0

TOOLS = ["veltrane", "dendropy", "ete3", "treeswift", "iqtree", "tqdist"]
JOBS = ["parse", "rf", "triplets_positional", "triplets"]
JOB_LABELS = {
    "parse": "parse",
    "rf": "Robinson-Foulds",
    "triplets_positional": "triplets (positional pairing)",
    "triplets": "triplets (matched by label)",
}
JOB_TOOLS = {
    "parse": ["veltrane", "dendropy", "ete3", "treeswift"],
    "rf": ["veltrane", "dendropy", "ete3", "iqtree"],
    "triplets_positional": ["veltrane", "tqdist"],
    "triplets": ["veltrane", "tqdist"],
}
# What the veltrane column of each job runs.
VELTRANE_CALLS = {
    "parse": 'veltrane.robinson_foulds_distance(tree, "(a,b);")',
    "rf": "veltrane.robinson_foulds_distance",
    "triplets_positional": "veltrane.triplets_correct_ultra, exhaustive",
    "triplets": "veltrane_tools.triplet_agreement",
}
SHAPES = ["binary", "caterpillar", "multifurcating"]
SIZES = [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000]
QUICK_SIZES = [1_000, 10_000, 100_000]
# Largest sizes a peer is given, found by trial on a 2-core machine: past these one call takes
# minutes (ete3's distance grows quadratically: 10,000 leaves take over 3 minutes; DendroPy's
# takes 20 to 35 s at 30,000 leaves and over 2 minutes at 100,000). Other tools run at every size
# until they fail or run out of time.
PEER_CAPS = {("dendropy", "rf"): 30_000, ("ete3", "rf"): 3_000}


def size_cap(tool: str, job: str) -> int:
    return PEER_CAPS.get((tool, job), SIZES[-1])


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
    """A random tree of the shape over the labels t0..t(n-1), placed on its leaves at random;
    which = 1 and 2 give two independent trees."""
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
    """Second tree of the positional triplet job: an independent random tree whose p-th leaf in
    text order carries the label of the p-th leaf of tree_file(shape, n, 1). triplets_correct_ultra
    pairs leaves by position and tqDist by label; with this labelling the two pairings are the
    same."""
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


def job_files(job: str, shape: str, n: int) -> list[Path]:
    if job == "parse":
        return [tree_file(shape, n, 1)]
    if job == "triplets_positional":
        return [tree_file(shape, n, 1), positional_partner_file(shape, n)]
    return [tree_file(shape, n, 1), tree_file(shape, n, 2)]


# --- One measurement, in a fresh process -----------------------------------------------------


def discard(fn):
    """fn with its result dropped: a parse returns nothing to compare."""

    def call():
        fn()

    return call


def job_function(tool: str, job: str, texts: list[str]):
    """A callable doing the whole job from text and returning what is checked across tools:
    the distance, the counts, or nothing for a parse (veltrane's parse returns the distance's own
    time, so that the parse time can be told apart)."""
    if tool == "veltrane":
        import veltrane

        if job == "parse":
            return lambda: veltrane.robinson_foulds_distance(texts[0], "(a,b);")[
                "computation_time_ms"
            ] / 1000
        if job == "rf":
            return lambda: veltrane.robinson_foulds_distance(texts[0], texts[1])["rf_distance"]
        if job == "triplets_positional":

            def ultra_exhaustive():
                result = veltrane.triplets_correct_ultra(
                    texts[0], texts[1], number_of_trials=2**63
                )
                if result["method_used"] != "exhaustive":
                    raise RuntimeError(f"method_used is {result['method_used']!r}")
                return {
                    "all_triplets_correct": result["all_triplets_correct"][0],
                    "triples": result["total_triplets_checked"],
                }

            return ultra_exhaustive
        if job == "triplets":
            from veltrane_tools import triplet_agreement

            def matched_by_label():
                result = triplet_agreement(texts[0], texts[1])
                keys = ["taxa", "triples", "agree", "triplet_distance"]
                return {key: result[key] for key in keys}

            return matched_by_label
    if tool == "dendropy":
        import dendropy
        from dendropy.calculate import treecompare

        if job == "parse":
            return discard(lambda: dendropy.Tree.get(data=texts[0], schema="newick"))
        if job == "rf":

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
        if job == "rf":
            return lambda: ete3.Tree(texts[0], format=1).robinson_foulds(
                ete3.Tree(texts[1], format=1), unrooted_trees=True
            )[0]
    if tool == "treeswift" and job == "parse":
        import treeswift

        return discard(lambda: treeswift.read_tree_newick(texts[0]))
    if tool == "tqdist" and job in ("triplets", "triplets_positional"):
        import tqdist

        # Takes the two Newick texts (not file names, and without a trailing newline) and returns
        # the number of triples resolved differently divided by the number of triples.
        first, second = (t.strip() for t in texts)
        return lambda: tqdist.triplet_distance(first, second)
    raise ValueError(f"{tool} has no {job} job")


def iqtree_binary() -> str | None:
    return shutil.which("iqtree2") or shutil.which("iqtree")


def iqtree_rf(files: list[str]):
    """One IQ-TREE process per call, in a fresh folder; returns its distance and how many of the
    two trees it read as rooted (its log says so for each file)."""
    binary = iqtree_binary()

    def call():
        with tempfile.TemporaryDirectory(prefix="iqtree-rf-") as folder:
            prefix = os.path.join(folder, "rf")
            done = subprocess.run(
                [binary, "-rf", files[0], files[1], "-pre", prefix, "--quiet"],
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            if done.returncode < 0:
                raise RuntimeError(f"iqtree killed by {signal.Signals(-done.returncode).name}")
            if done.returncode != 0:
                raise RuntimeError(f"iqtree exited with {done.returncode}")
            distance = int(Path(prefix + ".rfdist").read_text().split()[-1])
            log = Path(prefix + ".log").read_text()
        rooted = sum(int(k) for k in re.findall(r"loaded \((\d+) rooted and \d+ unrooted\)", log))
        return {"rf": distance, "rooted_trees": rooted}

    return call


def worker(tool: str, job: str, files: list[str]) -> None:
    # Peers recurse over tree depth; give them room (a crash is reported like any failure).
    sys.setrecursionlimit(2_000_000)
    if tool == "iqtree":
        # IQ-TREE reads the files itself: nothing is loaded here, so that the launching
        # interpreter stays small (see peak_memory_mb).
        call = iqtree_rf(files)
    else:
        call = job_function(tool, job, [Path(f).read_text() for f in files])
    times, values = [], []
    while len(times) < 1 + WARM_CALLS and (len(times) < 2 or sum(times) < WARM_BUDGET_S):
        start = time.perf_counter()
        values.append(call())
        times.append(time.perf_counter() - start)
    out = {
        "first": times[0],
        "warm": times[1:],
        "peak_mb": peak_memory_mb(children=tool == "iqtree"),
        "bytes": sum(Path(f).stat().st_size for f in files),
    }
    if tool == "veltrane" and job == "parse":
        out["core"] = values
    else:
        if any(v != values[0] for v in values):
            raise RuntimeError(f"calls in one process returned different results: {values}")
        out["value"] = values[0]
    print(json.dumps(out))


def peak_memory_mb(children: bool = False) -> float:
    """Peak resident memory of this interpreter, or of the largest process it ran. For this
    interpreter, VmHWM: ru_maxrss would include the parent's peak, which Linux carries across
    exec. For a child only ru_maxrss is left, and it includes this interpreter's own pages
    (about 10 MB when it has loaded nothing) if the child stayed below them."""
    if children:
        return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def measure(tool: str, job: str, files: list[Path], timeout: float) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [VELTRANE_DIR, env.get("PYTHONPATH")]))
    cmd = [sys.executable, __file__, "--worker", tool, job, *map(str, files)]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"error": f"over {timeout:.0f} s"}
    if done.returncode < 0:
        return {"error": f"killed by {signal.Signals(-done.returncode).name}"}
    if done.returncode != 0:
        lines = (done.stderr or "").strip().splitlines() or [f"exit {done.returncode}"]
        return {"error": lines[-1][:80]}
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- The whole run ---------------------------------------------------------------------------


VELTRANE_DIR = ""


def find_veltrane() -> str:
    """Makes veltrane importable in the workers: this checkout's build/rel or build/dev when one
    holds the module (an installed copy may be older; veltrane_tools is built beside it), else
    whatever the interpreter finds."""
    global VELTRANE_DIR
    for build in [ROOT / "build" / "rel", ROOT / "build" / "dev"]:
        if list(build.glob("veltrane*.so")) + list(build.glob("veltrane*.pyd")):
            sys.path.insert(0, str(build))
            VELTRANE_DIR = str(build)
            break
    try:
        import veltrane
    except ImportError:
        sys.exit("veltrane is not importable: install it (see README) or set PYTHONPATH")
    print(f"veltrane from {veltrane.__file__}", file=sys.stderr)
    return veltrane.__file__


def why_unavailable(tool: str, job: str) -> str | None:
    """None when the tool can do the job here, else why not."""
    if tool == "iqtree":
        return None if iqtree_binary() else "iqtree2 not found (apt-get install iqtree)"
    if tool == "veltrane" and job == "triplets":
        try:
            import veltrane_tools
        except ImportError:
            return "veltrane_tools cannot be imported"
        if not hasattr(veltrane_tools, "triplet_agreement"):
            return f"{veltrane_tools.__file__} has no triplet_agreement"
        return None
    module = "veltrane" if tool == "veltrane" else tool
    try:
        __import__(module)
    except ImportError:
        return f"{module} not installed (pip install -r benchmarks/requirements.txt)"
    return None


def tool_versions() -> dict:
    from importlib import metadata

    versions = {}
    for tool, dist in [
        ("veltrane", "veltrane"),
        ("dendropy", "DendroPy"),
        ("ete3", "ete3"),
        ("treeswift", "TreeSwift"),
        ("tqdist", "tqdist"),
    ]:
        try:
            versions[tool] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            pass
    if iqtree_binary():
        done = subprocess.run([iqtree_binary(), "--version"], capture_output=True, text=True)
        found = re.search(r"version (\S+)", done.stdout)
        versions["iqtree"] = found.group(1) if found else "?"
    return versions


def machine() -> dict:
    return {
        "cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None,
        "load_average": list(os.getloadavg()),
        "python": platform.python_version(),
        "platform": platform.platform(),
    }


def machine_line(m: dict) -> str:
    load = " ".join(f"{x:.2f}" for x in m["load_average"])
    return f"{m['cpus']} CPUs ({m['usable_cpus']} usable), load average {load} (1, 5, 15 min)"


def summarize(rounds: list[dict], error: str | None) -> dict:
    """Medians over rounds of the first call and of each round's warm median; the largest peak."""
    entry: dict = {"rounds": rounds}
    if error:
        entry["error"] = error
    if rounds:
        entry["first"] = statistics.median(r["first"] for r in rounds)
        entry["warm"] = statistics.median(statistics.median(r["warm"]) for r in rounds)
        entry["peak_mb"] = max(r["peak_mb"] for r in rounds)
        entry["bytes"] = rounds[0]["bytes"]
        values = [r["value"] for r in rounds if "value" in r]
        if values:
            entry["value"] = values[0]
            if any(v != values[0] for v in values):
                entry["error"] = f"rounds returned different results: {values}"
    return entry


def measure_size(job: str, shape: str, n: int, tools: list[str], timeout: float) -> dict:
    """{tool: summary} of ROUNDS rounds, round r starting with tool r (mod the number of tools).
    A tool that fails is not run in later rounds."""
    files = job_files(job, shape, n)  # written before anything is timed
    rounds: dict[str, list[dict]] = {t: [] for t in tools}
    errors: dict[str, str] = {}
    for r in range(ROUNDS):
        k = r % len(tools)
        for tool in tools[k:] + tools[:k]:
            if tool in errors:
                continue
            m = measure(tool, job, files, timeout)
            if "error" in m:
                errors[tool] = m["error"]
                shown = m["error"]
            else:
                rounds[tool].append(m)
                shown = f"first {m['first']:.4f} s, warm {statistics.median(m['warm']):.4f} s"
            print(f"  {job:19} {shape:14} {n:>9} {r + 1} {tool:9} {shown}", file=sys.stderr)
    return {tool: summarize(rounds[tool], errors.get(tool)) for tool in tools}


def run(args) -> dict:
    sizes = [n for n in (QUICK_SIZES if args.quick else SIZES) if n <= args.max_size]
    unavailable = {}
    for job in args.jobs:
        for tool in JOB_TOOLS[job]:
            reason = why_unavailable(tool, job)
            if reason:
                unavailable[f"{tool} {job}"] = reason
                print(f"not available: {tool} for {JOB_LABELS[job]}: {reason}", file=sys.stderr)
    results = []
    started = time.perf_counter()
    for job in args.jobs:
        for shape in SHAPES:
            stopped: set[str] = set()  # tools that failed at a smaller size of this shape
            for n in sizes:
                tools = [
                    t
                    for t in JOB_TOOLS[job]
                    if f"{t} {job}" not in unavailable
                    and t not in stopped
                    and n <= size_cap(t, job)
                ]
                if not tools:
                    break
                for tool, entry in measure_size(job, shape, n, tools, args.timeout).items():
                    entry.update(tool=tool, job=job, shape=shape, n=n)
                    results.append(entry)
                    if "error" in entry:
                        stopped.add(tool)
    return {
        "results": results,
        "seconds": time.perf_counter() - started,
        "sizes": sizes,
        "unavailable": unavailable,
        "jobs": args.jobs,
    }


# --- Checks: every peer's answer against veltrane's -----------------------------------------


def with_outgroup(path: Path) -> str:
    """The tree with one extra leaf hung above its root: its splits are the original's clusters."""
    return "(" + path.read_text().strip()[:-1] + ",outgroup_above_root);"


def triplet_count_mismatch(n: int, disagree: int, tqdist_share: float) -> str | None:
    """Compares veltrane's count of triples resolved differently with tqDist's share of them.
    Below 2^50 triples, share times K rounds back to tqDist's exact count; above, the share
    itself is rounded, and the two must agree to 1e-9 of K."""
    triples = n * (n - 1) * (n - 2) // 6
    theirs = tqdist_share * triples
    if triples < 2**50:
        agree = disagree == round(theirs)
    else:
        agree = abs(disagree - theirs) <= 1e-9 * triples
    if agree:
        return None
    return f"tqdist counts {theirs:.1f} triples resolved differently, veltrane {disagree}"


def veltrane_disagreeing(job: str, n: int, value: dict) -> tuple[int | None, str | None]:
    """veltrane's count of triples resolved differently, or why its own figures do not add up."""
    triples = n * (n - 1) * (n - 2) // 6
    if value["triples"] != triples:
        return None, f"veltrane counted {value['triples']} triples, not {triples}"
    if job == "triplets_positional":
        return triples - round(value["all_triplets_correct"] * triples), None
    if value["taxa"] != n:
        return None, f"veltrane found {value['taxa']} shared taxa, not {n}"
    if value["triplet_distance"] != triples - value["agree"]:
        return None, "veltrane's triplet_distance is not triples - agree"
    return triples - value["agree"], None


def check(data: dict) -> dict:
    """Checks every distance and count a peer returned against veltrane's at the same size."""
    import veltrane

    checks = {job: {"checked": 0, "mismatches": [], "notes": []} for job in data["jobs"]}
    rooted = []  # where IQ-TREE read both trees as rooted
    for (job, shape, n), by_tool in grouped(data).items():
        ours = by_tool.get("veltrane", {}).get("value")
        if job == "parse" or ours is None:
            continue
        c = checks[job]
        where = f"{shape} {n}"
        if job == "rf":
            for tool in ["dendropy", "ete3"]:
                theirs = by_tool.get(tool, {}).get("value")
                if theirs is not None:
                    c["checked"] += 1
                    if theirs != ours:
                        c["mismatches"].append(f"{where}: {tool} says {theirs}, veltrane {ours}")
            iq = by_tool.get("iqtree", {}).get("value")
            if iq is None:
                continue
            if iq["rooted_trees"] == 1:
                c["notes"].append(f"{where}: IQ-TREE read one tree as rooted, one not: not checked")
                continue
            want = ours
            if iq["rooted_trees"] == 2:
                files = job_files(job, shape, n)
                want = veltrane.robinson_foulds_distance(*map(with_outgroup, files))["rf_distance"]
                rooted.append(where)
            c["checked"] += 1
            if iq["rf"] != want:
                c["mismatches"].append(f"{where}: iqtree says {iq['rf']}, veltrane {want}")
        else:
            disagree, wrong = veltrane_disagreeing(job, n, ours)
            if wrong:
                c["mismatches"].append(f"{where}: {wrong}")
                continue
            theirs = by_tool.get("tqdist", {}).get("value")
            if theirs is not None:
                c["checked"] += 1
                wrong = triplet_count_mismatch(n, disagree, theirs)
                if wrong:
                    c["mismatches"].append(f"{where}: {wrong}")
    if rooted:
        checks["rf"]["notes"].append(
            "IQ-TREE read both trees as rooted (a root with two children) and counted clusters"
            " at " + ", ".join(rooted) + "; checked there against veltrane's distance on the"
            " same trees with one leaf added above both roots"
        )
    return checks


# --- Report ----------------------------------------------------------------------------------


def grouped(data: dict) -> dict:
    """{(job, shape, n): {tool: entry}} in the order measured."""
    rows: dict = {}
    for r in data["results"]:
        rows.setdefault((r["job"], r["shape"], r["n"]), {})[r["tool"]] = r
    return rows


def ratios(by_tool: dict) -> dict:
    """Fastest peer's time over veltrane's, for the first call and warm; only tools that ran
    every round without error count."""
    ours = by_tool.get("veltrane")
    if not ours or "error" in ours or "first" not in ours:
        return {}
    peers = [e for t, e in by_tool.items() if t != "veltrane" and "error" not in e and "first" in e]
    if not peers:
        return {}
    fastest_first = min(peers, key=lambda e: e["first"])
    fastest_warm = min(peers, key=lambda e: e["warm"])
    return {
        "first": fastest_first["first"] / ours["first"],
        "first_peer": fastest_first["tool"],
        "warm": fastest_warm["warm"] / ours["warm"],
        "warm_peer": fastest_warm["tool"],
    }


def secs(x: float) -> str:
    digits = 0 if x >= 100 else 1 if x >= 10 else 2 if x >= 1 else 5
    return f"{x:.{digits}f}"


CELL = 24  # one tool's columns: first, warm, MB


def tool_cell(entry: dict | None, unavailable: bool) -> str:
    if unavailable:
        return f"{'not available':>{CELL}}"
    if entry is None:
        return f"{'-':>{CELL}}"
    if "error" in entry:
        return f"{'fail: ' + entry['error']:>{CELL}}"[:CELL]
    return f"{secs(entry['first']):>8} {secs(entry['warm']):>8} {entry['peak_mb']:>6.0f}"


def job_table(job: str, data: dict) -> list[str]:
    tools = JOB_TOOLS[job]
    rows = {k: v for k, v in grouped(data).items() if k[0] == job}
    lines = [f"{JOB_LABELS[job]}  (veltrane: {VELTRANE_CALLS[job]})"]
    lines.append(
        f"{'':14} {'':>9} "
        + " ".join(f"{t:>{CELL}}" for t in tools)
        + f" {'fastest peer / veltrane':>25}"
    )
    lines.append(
        f"{'shape':14} {'leaves':>9} "
        + " ".join(f"{'first':>8} {'warm':>8} {'MB':>6}" for _ in tools)
        + f" {'first':>12} {'warm':>12}"
    )
    for (_, shape, n), by_tool in rows.items():
        cells = [tool_cell(by_tool.get(t), f"{t} {job}" in data["unavailable"]) for t in tools]
        r = ratios(by_tool)
        ratio = f" {r['first']:>11.1f}x {r['warm']:>11.1f}x" if r else f" {'-':>12} {'-':>12}"
        lines.append(f"{shape:14} {n:>9} " + " ".join(cells) + ratio)
    return lines


def report(data: dict) -> list[str]:
    start, end = data["machine"], data["machine_at_end"]
    load = [" ".join(f"{x:.2f}" for x in m["load_average"]) for m in (start, end)]
    lines = [
        f"Machine: {start['cpus']} CPUs ({start['usable_cpus']} usable); load average (1, 5, 15"
        f" min) {load[0]} at the start, {load[1]} at the end"
    ]
    lines.append("Versions: " + ", ".join(f"{t} {v}" for t, v in data["versions"].items()))
    lines.append(f"veltrane from {data['veltrane_from']}")
    lines += textwrap.wrap(
        f"Seconds from Newick text to result, parsing included. Per tool: first = median over"
        f" {ROUNDS} rounds of the first call in a fresh process, warm = median over rounds of"
        f" the median of up to {WARM_CALLS} more calls in that process, MB = largest peak"
        " resident memory of the process. Tools interleaved in rotated order in each round."
        " '-': not run at this size (too slow above a fixed size, or failed at a smaller one).",
        width=100,
    )
    for job in data["jobs"]:
        lines.append("")
        lines += job_table(job, data)
    lines.append("")
    for job, c in data["checks"].items():
        if job == "parse":
            continue
        lines.append(
            f"{JOB_LABELS[job]}: {c['checked']} peer results checked against veltrane's,"
            f" mismatches: {len(c['mismatches'])}"
        )
        lines += [f"  MISMATCH {m}" for m in c["mismatches"]]
        for note in c["notes"]:
            lines += textwrap.wrap(note, width=100, initial_indent="  ", subsequent_indent="    ")
    errors = [
        f"  {r['tool']} {JOB_LABELS[r['job']]} {r['shape']} {r['n']}: {r['error']}"
        for r in data["results"]
        if "error" in r
    ]
    if errors:
        lines.append("Failures (not run at larger sizes of the shape):")
        lines += errors
    for key, reason in data["unavailable"].items():
        tool, job = key.split()
        lines.append(f"Not available: {tool} for {JOB_LABELS[job]}: {reason}")
    speeds = []
    for r in data["results"]:
        if (r["tool"], r["job"]) == ("veltrane", "parse") and r["n"] >= 100_000 and r.get("rounds"):
            # Wall time minus the distance's own time, every call of every round.
            parse = statistics.median(
                t - c
                for m in r["rounds"]
                for t, c in zip([m["first"], *m["warm"]], m["core"])
            )
            speeds.append(f"{r['shape']} {r['n']}: {r['bytes'] / parse / 1e6:.0f} MB/s")
    if speeds:
        lines += textwrap.wrap(
            "veltrane reading speed, from the call to the tree and back (wall time minus the"
            " distance's own time; freeing the tree included): " + ", ".join(speeds),
            width=100,
        )
    lines.append(f"Total time: {data['seconds']:.0f} s")
    return lines


def plot(data: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    jobs = data["jobs"]
    fig, axes = plt.subplots(
        len(jobs), len(SHAPES), figsize=(13, 3.4 * len(jobs)), sharex=True, squeeze=False
    )
    for i, job in enumerate(jobs):
        for j, shape in enumerate(SHAPES):
            ax = axes[i][j]
            for tool in JOB_TOOLS[job]:
                entries = [
                    r
                    for r in data["results"]
                    if (r["tool"], r["job"], r["shape"]) == (tool, job, shape)
                    and "error" not in r
                    and "first" in r
                ]
                if entries:
                    # One colour per tool across all panels, whichever tools a job has.
                    color = f"C{TOOLS.index(tool)}"
                    n = [r["n"] for r in entries]
                    ax.plot(n, [r["warm"] for r in entries], marker="o", color=color, label=tool)
                    ax.plot(n, [r["first"] for r in entries], ls=":", color=color)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{JOB_LABELS[job]}: {shape}", fontsize=10)
            ax.grid(True, which="both", alpha=0.3)
            if i == len(jobs) - 1:
                ax.set_xlabel("leaves")
            if j == 0:
                ax.set_ylabel("seconds")
                if ax.lines:
                    ax.legend(fontsize=8)
    fig.suptitle("Newick text to result: parse, Robinson-Foulds distance, exact triplet agreement")
    fig.text(
        0.5,
        0.005,
        "Solid: warm calls, dotted: first call in a fresh process (medians over rounds)."
        " veltrane's parse times a distance against a two-leaf tree (it has no parse-only call)."
        " Positional pairing: triplets_correct_ultra on trees relabelled so that position is"
        " label; matched by label: veltrane_tools.triplet_agreement on independent trees."
        " Missing points: a tool failed, ran out of time or is not run at that size.",
        ha="center",
        fontsize=7,
        wrap=True,
    )
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, dpi=110)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        tool, job, *files = sys.argv[2:]
        worker(tool, job, files)
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes 1,000 to 100,000 only")
    parser.add_argument("--max-size", type=int, default=1_000_000, help="largest tree size")
    parser.add_argument(
        "--timeout",
        type=float,
        default=150.0,
        help="seconds one measurement (a fresh process: first call and warm calls) may take",
    )
    parser.add_argument("--jobs", nargs="+", choices=JOBS, default=JOBS, help="jobs to run")
    parser.add_argument("--docs", action="store_true", help="copy the plot to docs/benchmarks.png")
    args = parser.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    data = {"machine": machine()}
    print(f"Machine: {machine_line(data['machine'])}", flush=True)
    data["veltrane_from"] = find_veltrane()
    data["versions"] = tool_versions()
    data.update(run(args))
    data["machine_at_end"] = machine()
    data["job_labels"] = JOB_LABELS
    data["veltrane_calls"] = VELTRANE_CALLS
    data["checks"] = check(data)
    data["ratios"] = [
        {"job": job, "shape": shape, "n": n, **ratios(by_tool)}
        for (job, shape, n), by_tool in grouped(data).items()
    ]
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
