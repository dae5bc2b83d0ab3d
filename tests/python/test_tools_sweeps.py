"""score_pairs: the same rows as a plain loop over the library's functions, in the calling
process, on worker processes and on a dask.distributed cluster; failures become rows."""

from __future__ import annotations

import math
import random

import pytest

import veltrane
import veltrane_tools as vt

MU, Q, SEED = 0.2, 0.15, 11
METRICS = ["rf", "rf_normalized", "triplets_sampled", "parsimony", "likelihood", "phs",
           "likelihood_distance"]


def tree_over(rnd, order, table, inner):
    """A random binary tree with the leaves in `order`: its plain text, the same text with
    internal nodes named inner0, inner1, ..., and the states the library infers for them."""
    pool = [(c, c, table[c]) for c in order]
    states = {}
    for k in range(len(order) - 1):
        i = rnd.randrange(len(pool) - 1)  # joining neighbours keeps the leaf order
        (pa, na, sa), (pb, nb, sb) = pool[i], pool[i + 1]
        s = [x if x == y and x not in (-1, 0) else 0 for x, y in zip(sa, sb)]
        states[f"{inner}{k}"] = s
        pool[i : i + 2] = [(f"({pa},{pb})", f"({na},{nb}){inner}{k}", s)]
    states[f"{inner}{len(order) - 2}"] = [0] * len(table[order[0]])  # the root: unedited
    return pool[0][0] + ";", pool[0][1] + ";", states


def sweep_input(seed, n_pairs=6):
    rnd = random.Random(seed)
    cells = [f"c{k}" for k in range(rnd.randint(4, 25))]
    table = {c: [rnd.choice([-1, 0, 0, 1, 2, 3]) for _ in range(6)] for c in cells}
    pairs, expected = {}, []
    for p in range(n_pairs):
        order = rnd.sample(cells, len(cells))
        rec, rec_named, states = tree_over(rnd, order, table, "r")
        truth, truth_named, _ = tree_over(rnd, order, table, "g")
        rows = [table[c] for c in order]
        shares = veltrane.triplets_correct_fast(rec, truth, seed=SEED)
        nrf = veltrane.robinson_foulds_distance_normalized(rec, truth)
        expected.append({
            "id": f"pair{p}",
            "rf": nrf["rf_distance"],
            "rf_normalized": nrf["normalized_rf_distance"],
            **{f"triplets_sampled{s}": shares[k][0] for s, k in [
                ("", "all_triplets_correct"), ("_resolvable", "resolvable_triplets_correct"),
                ("_unresolved", "unresolved_triplets_correct"),
                ("_unresolvable", "proportion_unresolvable")]},
            "parsimony": veltrane.parsimony_score(rec_named, rows)["parsimony_score"],
            "likelihood": veltrane.likelihood_score(
                rec_named, rows, mutation_rate=MU, collision_probability=Q)["log_likelihood"],
            "phs": veltrane.phs_optimized(
                rec_named, rows, states, mutation_rate=MU, collision_probability=Q)["phs_score"],
            "likelihood_distance": veltrane.likelihood_distance(
                rec_named, truth_named, rows, mutation_rate=MU, collision_probability=Q
            )["likelihood_distance"],
            "error_type": None,
            "error": None,
        })
        pairs[f"pair{p}"] = (rec, truth)
    return pairs, table, expected


def sweep(pairs, table, **options):
    return vt.score_pairs(pairs, METRICS, matrix=table, seed=SEED, mutation_rate=MU,
                          collision_probability=Q, as_frame=False, **options)


@pytest.mark.parametrize("seed", range(8))
def test_rows_equal_a_plain_loop_over_the_library(seed):
    pairs, table, expected = sweep_input(seed)
    assert sweep(pairs, table, jobs=1) == expected


def test_processes_and_a_dask_cluster_give_the_same_rows():
    pairs, table, expected = sweep_input(99, n_pairs=30)
    assert sweep(pairs, table, jobs=2) == expected
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        assert sweep(pairs, table, executor=client.get_executor()) == expected


def test_character_metrics_tie_rows_by_name_in_each_tree():
    # The truth with every child list reversed is the same tree with the opposite leaf order.
    pairs, table, _ = sweep_input(3, n_pairs=1)
    rec, truth = pairs["pair0"]
    flipped = veltrane_flip(truth)
    rows = vt.score_pairs({"a": (rec, truth), "b": (rec, flipped)},
                          ["rf", "likelihood_distance"], matrix=table, as_frame=False, jobs=1)
    assert rows[1]["rf"] == rows[0]["rf"]
    assert rows[1]["likelihood_distance"] == rows[0]["likelihood_distance"]
    unnamed = vt.score_pairs([(rec, None)], "parsimony", matrix=table, name_internal_nodes=False,
                             jobs=1, as_frame=False)
    assert unnamed[0]["parsimony"] == 0  # what the library gives on unnamed internal nodes


def veltrane_flip(text):
    """The text of the same tree with the children of every node in reverse order."""
    stack = [[]]
    for token in text.rstrip(";").replace("(", " ( ").replace(")", " ) ").replace(",", " ").split():
        if token == "(":
            stack.append([])
        elif token == ")":
            kids = stack.pop()
            stack[-1].append("(" + ",".join(reversed(kids)) + ")")
        else:
            stack[-1].append(token)
    return stack[0][0] + ";"


@pytest.mark.parametrize("jobs", [1, 2])
def test_failures_become_rows_and_the_sweep_goes_on(jobs):
    pairs = [
        ("((a,b),(c,d));", "((a,c),(b,d));"),
        ("((a,b),(c,));", "((a,b),(c,d));"),  # an unlabelled leaf: PanicException inside RF
        ("((a,b),c", "((a,b),c);"),
        ("((a,b),c);", None),
        ("((a,b),c);", "((a,b),c);", {"a": [1], "b": [1]}),  # c is missing from its table
        (object(), "((a,b),c);"),  # not a tree clean_newick can write
    ]
    table = {"a": [1], "b": [1], "c": [0], "d": [2]}
    rows = vt.score_pairs(pairs, ["rf", "parsimony"], matrix=table, jobs=jobs, as_frame=False)
    assert [(r["rf"], r["parsimony"], r["error_type"]) for r in rows] == [
        (2, 2, None), (None, 1, "PanicException"), (None, None, "PanicException"),
        (None, 1, "ValueError"), (0, None, "ValueError"), (None, None, "TypeError")]
    assert rows[1]["error"] == (
        "rf: Robinson-Foulds distance needs a label on every leaf; node 6 has none")
    assert rows[3]["error"] == "rf: rf compares two trees, and this pair has no truth tree"
    assert rows[4]["error"].startswith("parsimony: 1 cell of the tree missing from the table: c")


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: vt.score_pairs([], "rf,nope"), ValueError, "unknown metric 'nope'; choose from"),
        (lambda: vt.score_pairs([("(a,b);", "(a,b);")], "phs"), ValueError,
         "phs need a character matrix"),
        (lambda: vt.score_pairs(["(a,b);"], "rf"), TypeError,
         "pair 0 must be (reconstruction, truth) or (reconstruction, truth, cells), not str"),
        (lambda: vt.score_pairs([], "rf", jobs=0), ValueError, "jobs must be at least 1, not 0"),
    ],
)
def test_bad_calls_raise_before_any_work(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value).startswith(message)


def test_progress_bar_and_frame(capsys):
    pd = pytest.importorskip("pandas")
    frame = vt.score_pairs({"x": ("(a,b);", "(a,b);")}, "rf", jobs=1, progress=True)
    assert isinstance(frame, pd.DataFrame)
    assert list(frame.columns) == ["id", "rf", "error_type", "error"]
    assert capsys.readouterr().err.endswith("] 1/1 0.0s\n")
    vt.score_pairs({"x": ("(a,b);", "(a,b);")}, "rf", jobs=1, progress=False)
    assert capsys.readouterr().err == ""


def test_triplets_is_the_label_matched_exact_agreement():
    from veltrane_tools.triplets import triplet_agreement

    pairs, _, _ = sweep_input(5, n_pairs=4)
    rows = vt.score_pairs(pairs, "triplets", jobs=1, as_frame=False)
    for row, (rec, truth) in zip(rows, pairs.values()):
        exact = triplet_agreement(rec, truth)
        assert row["triplets"] == exact["all_triplets_correct"]
        assert row["triplet_distance"] == exact["triplet_distance"]
        assert row["only_in_truth"] == exact["only_in_tree2"] == 0
        flipped = vt.score_pairs([(rec, veltrane_flip(rec))], "triplets", jobs=1, as_frame=False)
        assert flipped[0]["triplets"] == 1.0 and not math.isnan(row["triplets_unresolvable"])
