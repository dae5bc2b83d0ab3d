"""score_pairs: the rows of a plain loop over the library's functions, in the calling process,
on worker processes and on a dask.distributed cluster; failures become rows, and a
PanicException raised in a worker process reaches the parent."""

import multiprocessing
import random
import re
from concurrent.futures import ProcessPoolExecutor

import pytest

import veltrane
import veltrane_tools as vt

MU, Q, SEED = 0.2, 0.15, 11
METRICS = ["rf", "rf_normalized", "triplets", "triplets_sampled", "parsimony", "likelihood",
           "phs", "likelihood_distance"]
SHARES = {"": "all_triplets_correct", "_resolvable": "resolvable_triplets_correct",
          "_unresolved": "unresolved_triplets_correct", "_unresolvable": "proportion_unresolvable"}


def tree_over(rnd, order, table, inner):
    # A random binary tree with the leaves in `order`, its internal nodes named inner0, inner1,
    # ...; the states the library infers for them; and the same tree with the children of every
    # node reversed (the leaves in the opposite order), its internal nodes unnamed.
    pool, states = [(c, table[c], c) for c in order], {}
    for k in range(len(order) - 1):
        i = rnd.randrange(len(pool) - 1)  # joining neighbours keeps the leaf order
        (a, sa, fa), (b, sb, fb) = pool[i], pool[i + 1]
        s = [x if x == y and x not in (-1, 0) else 0 for x, y in zip(sa, sb)]
        states[f"{inner}{k}"] = s
        pool[i : i + 2] = [(f"({a},{b}){inner}{k}", s, f"({fb},{fa})")]
    states[f"{inner}{len(order) - 2}"] = [0] * len(table[order[0]])  # the root: unedited
    return pool[0][0] + ";", states, pool[0][2] + ";"


def sweep_input(seed, n_pairs=6):
    # Pairs, the table, and each pair's row from the library's own functions. Every other
    # pair's truth is written in the opposite leaf order: rows are tied to each tree's leaves by
    # name, so its row is that of the truth in the reconstruction's order.
    rnd = random.Random(seed)
    cells = [f"c{k}" for k in range(rnd.randint(4, 25))]
    table = {c: [rnd.choice([-1, 0, 0, 1, 2, 3]) for _ in range(6)] for c in cells}
    pairs, expected, options = {}, [], {"mutation_rate": MU, "collision_probability": Q}
    for p in range(n_pairs):
        order = rnd.sample(cells, len(cells))
        (rec_named, states, _), (truth_named, _, flipped) = (
            tree_over(rnd, order, table, inner) for inner in "rg")
        rec, truth = (re.sub(r"\)[rg]\d+", ")", text) for text in (rec_named, truth_named))
        rows = [table[c] for c in order]
        rf = veltrane.robinson_foulds_distance_normalized(rec, truth)
        exact = vt.triplet_agreement(rec, truth)
        sampled = veltrane.triplets_correct_fast(rec, truth, seed=SEED)
        d = veltrane.likelihood_distance(rec_named, truth_named, rows, **options)
        expected.append({
            "id": f"pair{p}", "rf": rf["rf_distance"],
            "rf_normalized": rf["normalized_rf_distance"],
            **{f"triplets{suffix}": exact[key] for suffix, key in SHARES.items()},
            "triplet_distance": exact["triplet_distance"], "triplets_taxa": exact["taxa"],
            "only_in_reconstruction": exact["only_in_tree1"],
            "only_in_truth": exact["only_in_tree2"],
            **{f"triplets_sampled{suffix}": sampled[key][0] for suffix, key in SHARES.items()},
            "parsimony": veltrane.parsimony_score(rec_named, rows)["parsimony_score"],
            "likelihood": veltrane.likelihood_score(rec_named, rows, **options)["log_likelihood"],
            "phs": veltrane.phs_optimized(rec_named, rows, states, **options)["phs_score"],
            # Summed over the truth's edges in the opposite order, the last bits may differ.
            "likelihood_distance": pytest.approx(d["likelihood_distance"], rel=1e-12)
            if p % 2 else d["likelihood_distance"],
            "error_type": None, "error": None,
        })
        pairs[f"pair{p}"] = (rec, flipped if p % 2 else truth)
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
    in_process = sweep(pairs, table, jobs=1)
    assert in_process == expected and sweep(pairs, table, jobs=2) == in_process
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        assert sweep(pairs, table, executor=client.get_executor()) == in_process


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
    ("pairs", "metrics", "options", "error", "message"),
    [
        ([("(a,b);", "(a,b);")], "phs", {}, ValueError, "phs need a character matrix: pass"),
        (["(a,b);"], "rf", {}, TypeError, "pair 0 must be (reconstruction, truth) or "
                                          "(reconstruction, truth, cells), not str"),
        ([("(a,b);", "(a,b);")], "rf", {"jobs": 0}, ValueError, "jobs must be at least 1, not 0"),
        ([("(a,b);", "(a,b);")] * 2, "rf", {"executor": object()}, TypeError,
         "executor must be a concurrent.futures.Executor (an object with a submit method), not "
         "object"),
        ([("(a,b);", "(a,b);")], "rf", {"internal_states": "x"}, TypeError,
         "internal_states must be a mapping from node name to a list of states, not str"),
    ],
)
def test_bad_calls_raise_before_any_work(pairs, metrics, options, error, message):
    with pytest.raises(error) as info:
        vt.score_pairs(pairs, metrics, **options)
    assert str(info.value).startswith(message)


def test_frame_progress_bar_and_unnamed_internal_nodes(capsys):
    pd = pytest.importorskip("pandas")
    frame = vt.score_pairs({"x": ("(a,b);", "(a,b);")}, "rf", jobs=1, progress=True)
    assert isinstance(frame, pd.DataFrame)
    assert list(frame.columns) == ["id", "rf", "error_type", "error"]
    assert capsys.readouterr().err.endswith("] 1/1 0.0s\n")
    table = {"a": [1], "b": [1], "c": [0]}
    rows = vt.score_pairs([("((a,b),c);", None)], "parsimony", matrix=table, jobs=1,
                          name_internal_nodes=False, as_frame=False, progress=False)
    assert rows[0]["parsimony"] == 0  # what the library gives on unnamed internal nodes
    assert capsys.readouterr().err == ""


def test_a_panic_in_a_worker_process_arrives_with_its_type_and_message(panic_exception):
    # PanicException is veltrane_tools.PanicException, where pickle finds it. The worker runs
    # veltrane's own function: it has imported veltrane only when it pickles the exception.
    assert vt.PanicException is panic_exception
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(1, mp_context=spawn) as pool, pytest.raises(vt.PanicException) as info:
        pool.submit(veltrane.robinson_foulds_distance, "(A,);", "(A,B);").result()
    assert str(info.value) == (
        "Robinson-Foulds distance needs a label on every leaf; node 2 has none")
