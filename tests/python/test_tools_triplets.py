"""triplet_agreement against every triple enumerated, against triplets_correct_ultra on texts of
one leaf order, across thread counts; its errors and types, the released lock and Ctrl-C."""

import itertools
import json
import os
import random
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import oracles
import veltrane
import veltrane_tools as vt
from tools_helpers import random_newick

T = "(A,B,C);"
PACKAGE = Path(__file__).resolve().parent.parent.parent / "src" / "veltrane_tools"
SHARES = ["all_triplets_correct", "resolvable_triplets_correct",
          "unresolved_triplets_correct", "proportion_unresolvable"]


def plain_agreement(text1: str, text2: str) -> dict:
    # Every triple of the taxa on leaves of both trees, its outgroup found in each tree.
    trees = [oracles.parse_newick(text) for text in (text1, text2)]
    leaf = [{t.label[v]: v for v in t.leaves() if t.label[v] is not None} for t in trees]
    shared = sorted(leaf[0].keys() & leaf[1].keys())

    def outgroup(k, triple):
        a, b, c = (leaf[k][x] for x in triple)
        return oracles.outgroup(*(trees[k].lca(x, y)[1] for x, y in [(a, b), (a, c), (b, c)]))

    pairs = [(outgroup(0, t), outgroup(1, t)) for t in itertools.combinations(shared, 3)]
    n, unresolved = len(pairs), sum(o1 is None for o1, _ in pairs)
    same = sum(o1 is not None and o1 == o2 for o1, o2 in pairs)
    both_none = sum(o1 is None and o2 is None for o1, o2 in pairs)
    return {
        "taxa": len(shared), "triples": n, "agree": same + both_none,
        "resolved_in_tree1": n - unresolved, "resolved_agree": same,
        "unresolved_in_tree1": unresolved, "unresolved_agree": both_none,
        "triplet_distance": n - same - both_none, **dict(zip(SHARES, oracles.ratios(pairs, n))),
        "only_in_tree1": len(leaf[0].keys() - leaf[1].keys()),
        "only_in_tree2": len(leaf[1].keys() - leaf[0].keys()),
    }


def test_every_count_matches_the_enumeration_on_random_pairs():
    rng = random.Random(13)
    for _ in range(3000):
        taxa = [f"t{i}" for i in range(rng.randint(3, 13))]
        # Taxa of one tree only, unlabelled leaves and independent shapes and orders.
        extra1 = [f"x{i}" for i in range(rng.choice([0, 0, 2]))] + [None] * rng.randint(0, 1)
        extra2 = [f"y{i}" for i in range(rng.choice([0, 0, 1]))] + [None] * rng.randint(0, 1)
        text1, text2 = random_newick(rng, taxa + extra1), random_newick(rng, taxa + extra2)
        got, expected = vt.triplet_agreement(text1, text2), plain_agreement(text1, text2)
        assert list(got) == list(expected) and got == expected, (text1, text2)
        # Leaves paired by position are paired by label when both texts list them in one order:
        # then the shares are triplets_correct_ultra's exhaustive ones, bit for bit.
        leaves = taxa + [f"L{i}" for i in range(rng.choice([0, 0, 30, 110]))]
        same = [random_newick(rng, leaves, keep_order=True) for _ in range(2)]
        ultra = veltrane.triplets_correct_ultra(*same, number_of_trials=2**64 - 1)
        assert [vt.triplet_agreement(*same)[k] for k in SHARES] == [ultra[k][0] for k in SHARES]


@pytest.mark.slow
def test_counts_past_64_bits_come_back_as_exact_ints():
    # 5 million taxa: C(n, 3) is past 2^64. A star leaves every triple unresolved in tree 1.
    n = 5_000_000
    star = "(" + ",".join(f"t{i}" for i in range(n)) + ");"
    got = vt.triplet_agreement(star, star)
    triples = n * (n - 1) * (n - 2) // 6
    assert triples > 2**64 and got["resolved_in_tree1"] == got["triplet_distance"] == 0
    assert got["triples"] == got["agree"] == got["unresolved_in_tree1"] == triples
    assert got["unresolved_agree"] == triples and got["proportion_unresolvable"] == 1.0


def test_every_thread_count_gives_the_same_result(python_child):
    # A fresh interpreter with three workers, on trees large enough to be shared out.
    texts = [random_newick(random.Random(k), [f"t{i}" for i in range(60000)]) for k in range(4)]
    out = python_child(
        """
        import json, sys, veltrane_tools as vt
        a, b, c, d = json.load(sys.stdin)
        print(json.dumps([[vt.triplet_agreement(x, y, max_threads=t) for t in (1, 2, 3, None, 0)]
                          for x, y in [(a, b), (c, d)]]))
        """,
        stdin=json.dumps(texts), RAYON_NUM_THREADS="3",
    )
    for results in out:
        assert all(r == results[0] for r in results) and results[0]["agree"] > 0
    for threads in (2**80, pytest.importorskip("numpy").int64(2)):  # any integer; no cap
        assert vt.triplet_agreement("((A,B),C);", "((A,B),C);", max_threads=threads)["agree"] == 1


@pytest.mark.parametrize(
    ("tree1", "tree2", "threads", "error", "message"),
    [
        ("((A,B),(A,C));", T, None, ValueError, "tree1 has two leaves labelled 'A'; leaves are"),
        ("((A,B)C,D);", "((A,B),C);", None, ValueError,
         "tree1 and tree2 share 2 taxa (labels on a leaf of each); a triple needs three"),
        ("(A,B,C));", T, None, ValueError, "tree1_newick: a ')' or ',' at character 7"),
        (T, "(A,B,C)X", None, ValueError, "tree2_newick: "),
        ("((A,B,C);", T, None, ValueError, "tree1: a '(' that is never closed"),
        (b"(A,B,C);", T, None, TypeError, "tree1_newick must be a str"),
        (T, T, "2", TypeError, "max_threads must be None or an int, not str"),
        (T, T, True, TypeError, "max_threads must be None or an int, not bool"),
        (T, T, -1, ValueError, "max_threads must be None or at least 0, not -1"),
    ],
)
def test_inputs_that_cannot_be_compared_raise_ordinary_exceptions(tree1, tree2, threads, error,
                                                                  message):
    with pytest.raises(error) as info:
        vt.triplet_agreement(tree1, tree2, max_threads=threads)
    assert type(info.value) is error and str(info.value).startswith(message)


def test_the_package_and_its_callers_are_strictly_typed(tmp_path):
    # mypy --strict on the package, py.typed shipped, a wrong call rejected; the native
    # module's stub matches the module.
    pytest.importorskip("mypy")
    assert (Path(vt.__file__).parent / "py.typed").is_file()
    (tmp_path / "use.py").write_text(
        "import veltrane_tools as vt\n"
        "r = vt.triplet_agreement('((A,B),C);', '(A,B,C);', max_threads=2)\n"
        "count: int = r['agree']\n"
        "share: float = r['all_triplets_correct']\n"
        "vt.triplet_agreement('((A,B),C);', 3)\n"
        "vt.triplet_agreement('((A,B),C);', '(A,B,C);', 2)\n"  # options are keyword-only
    )
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    checked, stub = (subprocess.run([sys.executable, "-m", *args], capture_output=True,
                                    text=True, cwd=tmp_path, env=env, timeout=300)
                     for args in (["mypy", "--strict", str(PACKAGE), "use.py"],
                                  ["mypy.stubtest", "veltrane_tools"]))
    errors = re.findall(r"^(\S+):(\d+): error:", checked.stdout, re.MULTILINE)
    assert errors == [("use.py", "5"), ("use.py", "6")], checked.stdout
    assert stub.returncode == 0, stub.stdout + stub.stderr


def test_other_threads_run_while_it_computes():
    labels = [f"t{i}" for i in range(300_000)]
    text1 = "(" * (len(labels) - 1) + labels[0] + "".join(f",{x})" for x in labels[1:]) + ";"
    text2 = "(" + ",".join(labels) + ");"
    with ThreadPoolExecutor(1) as pool:
        call, ticks = pool.submit(vt.triplet_agreement, text1, text2, max_threads=1), 0
        while not call.done():
            ticks += 1
            time.sleep(0.0005)
    # With the lock held through the call, this thread could tick only before and after it.
    assert call.result()["taxa"] == len(labels) and ticks > 20


def test_ctrl_c_stops_a_long_call_and_the_process_stays_usable(python_child):
    out = python_child(
        """
        import json, os, signal, threading, veltrane_tools as vt
        signal.signal(signal.SIGINT, signal.default_int_handler)
        n = 1_000_000
        a = "(" * (n - 1) + "t0" + "".join(",t%d)" % i for i in range(1, n)) + ";"
        b = "(" + ",".join("(t%d,t%d)" % (i, i + 1) for i in range(0, n, 2)) + ");"
        results = []
        for _ in range(2):
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                results.append(vt.triplet_agreement(a, b)["agree"])
            except KeyboardInterrupt:
                results.append("interrupted")
        results.append(vt.triplet_agreement("((A,B),(C,D));", "((A,C),(B,D));")["agree"])
        print(json.dumps(results))
        """
    )
    assert out == ["interrupted", "interrupted", 0]
