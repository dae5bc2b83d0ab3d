"""veltrane_tools.triplet_agreement: exact label-matched triplet counts, held against a plain
enumeration of every triple, against triplets_correct_ultra where both texts list the taxa in
the same order, and across thread counts; errors, the released interpreter lock and Ctrl-C."""

from __future__ import annotations

import itertools
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import veltrane
import veltrane_tools as vt

COUNTS = ["taxa", "triples", "agree", "resolved_in_tree1", "resolved_agree",
          "unresolved_in_tree1", "unresolved_agree", "triplet_distance"]
SHARES = ["all_triplets_correct", "resolvable_triplets_correct",
          "unresolved_triplets_correct", "proportion_unresolvable"]
KEYS = COUNTS + SHARES + ["only_in_tree1", "only_in_tree2"]


# ---- A plain version: nested lists for trees, every triple looked at -----------------------

def random_tree(rng: random.Random, leaves: list, keep_order: bool = False):
    """Joins runs of 1 to 4 neighbours until one node is left: multifurcations and unary nodes
    (a run of one) both occur. The leaves stay in their order, shuffled first unless asked."""
    items = list(leaves)
    if not keep_order:
        rng.shuffle(items)
    while len(items) > 1 or rng.random() < 0.1:
        run = min(len(items), rng.randint(1, 4))
        at = rng.randrange(len(items) - run + 1)
        items[at:at + run] = [items[at:at + run]]
    return items[0]


def newick(tree, rng: random.Random) -> str:
    """Leaves are labels or None (unlabelled); some internal nodes get labels, which may repeat
    a taxon: they play no part."""
    def text(node) -> str:
        if not isinstance(node, list):
            return node or ""
        label = rng.choice(["", "", "X", "t1"]) if rng.random() < 0.3 else ""
        return "(" + ",".join(text(child) for child in node) + ")" + label
    return text(tree) + ";"


def root_paths(tree) -> dict[str, tuple[int, ...]]:
    """Each labelled leaf's path of ancestors from the root."""
    paths, stack, counter = {}, [(tree, ())], itertools.count()
    while stack:
        node, path = stack.pop()
        if isinstance(node, list):
            here = path + (next(counter),)
            stack.extend((child, here) for child in node)
        elif node is not None:
            paths[node] = path
    return paths


def outgroup(paths, a, b, c):
    def depth(x, y):
        return sum(1 for _ in itertools.takewhile(lambda p: p[0] == p[1], zip(paths[x], paths[y])))
    ab, ac, bc = depth(a, b), depth(a, c), depth(b, c)
    if ab > ac and ab > bc:
        return c
    if ac > ab and ac > bc:
        return b
    if bc > ab and bc > ac:
        return a
    return None


def plain_agreement(tree1, tree2) -> dict:
    p1, p2 = root_paths(tree1), root_paths(tree2)
    shared = sorted(p1.keys() & p2.keys())
    n = {k: 0 for k in ["resolved_in_tree1", "resolved_agree", "unresolved_in_tree1",
                        "unresolved_agree"]}
    for a, b, c in itertools.combinations(shared, 3):
        o1, o2 = outgroup(p1, a, b, c), outgroup(p2, a, b, c)
        kind = "resolved" if o1 is not None else "unresolved"
        n[f"{kind}_in_tree1"] += 1
        n[f"{kind}_agree"] += o1 == o2
    triples = len(shared) * (len(shared) - 1) * (len(shared) - 2) // 6
    agree = n["resolved_agree"] + n["unresolved_agree"]
    f = float
    return n | {
        "taxa": len(shared), "triples": triples, "agree": agree,
        "triplet_distance": triples - agree,
        "all_triplets_correct": f(agree) / f(triples),
        "resolvable_triplets_correct":
            f(n["resolved_agree"]) / f(n["resolved_in_tree1"]) if n["resolved_in_tree1"] else 1.0,
        "unresolved_triplets_correct": (f(n["unresolved_agree"]) / f(n["unresolved_in_tree1"])
                                        if n["unresolved_in_tree1"] else 1.0),
        "proportion_unresolvable": f(n["unresolved_in_tree1"]) / f(triples),
        "only_in_tree1": len(p1.keys() - p2.keys()), "only_in_tree2": len(p2.keys() - p1.keys()),
    }


# ---- Counts ----------------------------------------------------------------------------------

def test_every_count_matches_the_enumeration_on_random_pairs():
    rng = random.Random(13)
    for _ in range(3000):
        taxa = [f"t{i}" for i in range(rng.randint(3, 13))]
        # Taxa of one tree only, unlabelled leaves and independent shapes and orders.
        leaves1 = taxa + [f"x{i}" for i in range(rng.choice([0, 0, 2]))] + [None] * rng.randint(0, 1)
        leaves2 = taxa + [f"y{i}" for i in range(rng.choice([0, 0, 1]))] + [None] * rng.randint(0, 1)
        tree1, tree2 = random_tree(rng, leaves1), random_tree(rng, leaves2)
        text1, text2 = newick(tree1, rng), newick(tree2, rng)
        got = vt.triplet_agreement(text1, text2)
        assert list(got) == KEYS
        assert got == plain_agreement(tree1, tree2), (text1, text2)


@pytest.mark.parametrize("taxa", [3, 7, 40, 120])
def test_same_order_texts_give_ultras_exhaustive_shares_bit_for_bit(taxa):
    # Leaves paired by position are paired by label when both texts list them in one order.
    rng = random.Random(taxa)
    leaves = [f"L{i}" for i in range(taxa)]
    for _ in range(200 if taxa < 100 else 10):
        text1 = newick(random_tree(rng, leaves, keep_order=True), rng)
        text2 = newick(random_tree(rng, leaves, keep_order=True), rng)
        ultra = veltrane.triplets_correct_ultra(text1, text2, number_of_trials=2**64 - 1)
        assert ultra["method_used"] == "exhaustive"
        got = vt.triplet_agreement(text1, text2)
        assert [got[key] for key in SHARES] == [ultra[key][0] for key in SHARES]


@pytest.mark.slow
def test_counts_past_64_bits_come_back_as_exact_ints():
    # 5 million taxa: C(n, 3) is past 2^64. A star keeps every triple unresolved in tree 1.
    n = 5_000_000
    star = "(" + ",".join(f"t{i}" for i in range(n)) + ");"
    got = vt.triplet_agreement(star, star)
    triples = n * (n - 1) * (n - 2) // 6
    assert triples > 2**64
    assert got["triples"] == got["agree"] == got["unresolved_in_tree1"] == triples
    assert got["unresolved_agree"] == triples and got["resolved_in_tree1"] == 0
    assert (got["all_triplets_correct"], got["proportion_unresolvable"]) == (1.0, 1.0)


def test_every_thread_count_gives_the_same_result(python_child):
    # A fresh interpreter with three workers, on trees large enough to be shared out.
    out = python_child(
        """
        import json, random, veltrane_tools as vt
        rng = random.Random(5)
        def tree(n, arity):
            items = [f"t{i}" for i in range(n)]
            rng.shuffle(items)
            while len(items) > 1:
                k = min(len(items), rng.randint(2, arity))
                group = [items.pop(rng.randrange(len(items))) for _ in range(k)]
                items.append("(" + ",".join(group) + ")")
            return items[0] + ";"
        pairs = [(tree(60000, 2), tree(60000, 2)), (tree(60000, 4), tree(60000, 3))]
        print(json.dumps([[vt.triplet_agreement(a, b, max_threads=t) for t in (1, 2, 3, None, 0)]
                          for a, b in pairs]))
        """,
        RAYON_NUM_THREADS="3",
    )
    for results in out:
        assert all(r == results[0] for r in results)
        assert results[0]["unresolved_in_tree1"] > 0 or results[0]["resolved_agree"] > 0


# ---- Errors ----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        (("((A,B),(A,C));", "(A,B,C);"), {}, ValueError,
         "tree1 has two leaves labelled 'A'; leaves are matched by label"),
        (("(A,B,C);", "((A,B),C,B);"), {}, ValueError, "tree2 has two leaves labelled 'B'"),
        (("((A,B)C,D);", "((A,B),C);"), {}, ValueError,
         "tree1 and tree2 share 2 taxa (labels on a leaf of each); a triple needs three"),
        (("(A,B,C);", ""), {}, ValueError, "tree1 and tree2 share 0 taxa"),
        (("(A,B,C));", "(A,B,C);"), {}, ValueError, "tree1_newick: a ')' or ',' at character 7"),
        (("(A,B,C);", "(A,B,C)X"), {}, ValueError, "tree2_newick: "),
        (("((A,B,C);", "(A,B,C);"), {}, ValueError, "tree1: a '(' that is never closed"),
        ((b"(A,B,C);", "(A,B,C);"), {}, TypeError, "tree1_newick must be a str"),
        (("(A,B,C);", "(A,B,C);"), {"max_threads": "2"}, TypeError,
         "max_threads must be None or an int, not str"),
        (("(A,B,C);", "(A,B,C);"), {"max_threads": True}, TypeError, "max_threads must be"),
        (("(A,B,C);", "(A,B,C);"), {"max_threads": -1}, ValueError,
         "max_threads must be None or at least 0, not -1"),
    ],
)
def test_inputs_that_cannot_be_compared_raise_ordinary_exceptions(args, kwargs, error, message):
    with pytest.raises(error) as info:
        vt.triplet_agreement(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value).startswith(message)


def test_options_are_keyword_only_and_any_integer_counts_threads():
    with pytest.raises(TypeError):
        vt.triplet_agreement("(A,B,C);", "(A,B,C);", 2)  # type: ignore[misc]
    class Two:  # an integer type of someone else's, as NumPy's are
        def __index__(self) -> int:
            return 2

    for threads in (2**80, Two()):  # past 64 bits: no cap
        assert vt.triplet_agreement("((A,B),C);", "((A,B),C);", max_threads=threads)["agree"] == 1


def test_types_hold_under_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    use = tmp_path / "use.py"
    use.write_text(
        "import veltrane_tools as vt\n"
        "r = vt.triplet_agreement('((A,B),C);', '(A,B,C);', max_threads=2)\n"
        "count: int = r['agree']\n"
        "share: float = r['all_triplets_correct']\n"
        "vt.triplet_agreement('((A,B),C);', 3)\n"
    )
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    run = [sys.executable, "-m"]
    checked = subprocess.run([*run, "mypy", "--strict", str(use)], capture_output=True,
                             text=True, cwd=tmp_path, env=env, timeout=300)
    assert checked.stdout.count("error:") == 1 and "use.py:5: error:" in checked.stdout
    stub = subprocess.run([*run, "mypy.stubtest", "veltrane_tools"], capture_output=True,
                          text=True, cwd=tmp_path, env=env, timeout=300)
    assert stub.returncode == 0, stub.stdout + stub.stderr


# ---- The interpreter lock and Ctrl-C ---------------------------------------------------------

def caterpillar(labels) -> str:
    return "(" * (len(labels) - 1) + labels[0] + "".join(f",{x})" for x in labels[1:]) + ";"


def test_other_threads_run_while_it_computes():
    labels = [f"t{i}" for i in range(300_000)]
    text1, text2 = caterpillar(labels), caterpillar(labels[::-1])
    window = []

    def call():
        start = time.perf_counter()
        vt.triplet_agreement(text1, text2, max_threads=1)
        window.extend([start, time.perf_counter()])

    worker = threading.Thread(target=call)
    worker.start()
    ticks = []
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.0005)
    worker.join()
    start, end = window
    # With the lock held through the call, this thread would take readings only in the
    # moments the Python code around the native call gives it.
    assert sum(start < t < end for t in ticks) > 20


def test_ctrl_c_stops_a_long_call_and_the_process_stays_usable(python_child):
    out = python_child(
        """
        import json, os, signal, subprocess, veltrane_tools as vt
        signal.signal(signal.SIGINT, signal.default_int_handler)
        n = 1_000_000
        a = "(" * (n - 1) + "t0" + "".join(",t%d)" % i for i in range(1, n)) + ";"
        b = "(" + ",".join("(t%d,t%d)" % (i, i + 1) for i in range(0, n, 2)) + ");"
        results = []
        for _ in range(2):
            killer = subprocess.Popen(["sh", "-c", "sleep 0.3; kill -INT %d" % os.getpid()])
            try:
                vt.triplet_agreement(a, b)
                results.append("finished")
            except KeyboardInterrupt:
                results.append("interrupted")
            killer.wait()
        after = vt.triplet_agreement("((A,B),(C,D));", "((A,C),(B,D));")["triplet_distance"]
        print(json.dumps({"results": results, "after": after}))
        """
    )
    assert out == {"results": ["interrupted", "interrupted"], "after": 4}
