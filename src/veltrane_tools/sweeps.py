"""Scoring many (reconstruction, truth) pairs: one flat row per pair, on worker processes or
any concurrent.futures executor (a dask.distributed or Ray cluster included)."""

from __future__ import annotations

import array
import importlib
import math
import multiprocessing
import os
import re
import sys
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass, field, replace
from typing import Any, TextIO

import veltrane

from veltrane_tools import _native
from veltrane_tools._panic import PanicException
from veltrane_tools.matrices import Table, table_from
from veltrane_tools.trees import clean_newick, leaf_labels

# The metrics by the names the command line uses, each with its one-line meaning.
METRICS: dict[str, str] = {
    "rf": "Robinson-Foulds distance: bipartitions found in only one of the two trees",
    "rf_normalized": "the RF distance divided by the largest possible one (2m - 6)",
    "triplets": "exact share of leaf triples (matched by label) on which both trees agree",
    "triplets_sampled": "the same share estimated from sampled triples (seeded with seed)",
    "parsimony": "edits the reconstruction needs to explain the matrix (states inferred)",
    "likelihood": "log-likelihood of the matrix on the reconstruction (irreversible edits)",
    "likelihood_distance": "how much lower the truth's log-likelihood is, relative (0 if not)",
    "phs": "pairwise homoplasy score of the reconstruction (small: suspicious shared edits)",
}
CHARACTER_METRICS = frozenset({"parsimony", "likelihood", "likelihood_distance", "phs"})
TWO_TREE_METRICS = frozenset(
    {"rf", "rf_normalized", "triplets", "triplets_sampled", "likelihood_distance"}
)
# The columns of each metric, and for the triplet metrics the key each is read from.
_TRIPLET_SHARES = {
    "": "all_triplets_correct",
    "_resolvable": "resolvable_triplets_correct",
    "_unresolved": "unresolved_triplets_correct",
    "_unresolvable": "proportion_unresolvable",
}
_TRIPLET_COUNTS = {
    "triplet_distance": "triplet_distance",
    "triplets_taxa": "taxa",
    "only_in_reconstruction": "only_in_tree1",
    "only_in_truth": "only_in_tree2",
}
COLUMNS: dict[str, tuple[str, ...]] = {
    "rf": ("rf",),
    "rf_normalized": ("rf_normalized",),
    "triplets": (*("triplets" + s for s in _TRIPLET_SHARES), *_TRIPLET_COUNTS),
    "triplets_sampled": tuple("triplets_sampled" + s for s in _TRIPLET_SHARES),
    "parsimony": ("parsimony",),
    "likelihood": ("likelihood",),
    "likelihood_distance": ("likelihood_distance",),
    "phs": ("phs",),
}

Row = dict[str, Any]


@dataclass(frozen=True)
class _Settings:
    metrics: tuple[str, ...]
    seed: int | None
    number_of_trials: int
    mutation_rate: float | None
    collision_probability: float | None
    missing_state: int
    unedited_state: int
    fill_missing: bool
    internal_states: dict[str, list[int]] | None
    name_internal_nodes: bool
    max_threads: int | None = None


@dataclass(frozen=True)
class _Task:
    ident: Any
    reconstruction: str
    truth: str | None
    table: Table | None  # None: the sweep's shared table
    problem: BaseException | None = None  # found while the pair was prepared


@dataclass(frozen=True)
class _Chunk:
    settings: _Settings
    shared: Table | None
    tasks: list[_Task] = field(default_factory=list)


def score_pairs(
    pairs: Iterable[Sequence[object]] | Mapping[Any, Sequence[object]],
    metrics: str | Sequence[str] = ("rf", "triplets"),
    *,
    matrix: object = None,
    executor: Executor | None = None,
    jobs: int | None = None,
    progress: bool | None = None,
    seed: int | None = None,
    number_of_trials: int = 1000,
    mutation_rate: float | None = None,
    collision_probability: float | None = None,
    missing_state: int = -1,
    unedited_state: int = 0,
    fill_missing: bool = False,
    internal_states: Mapping[str, Sequence[int]] | None = None,
    name_internal_nodes: bool = True,
    as_frame: bool | None = None,
) -> Any:
    """Scores many (reconstruction, truth) pairs; one flat row per pair, in input order.

    ``pairs`` is an iterable of ``(reconstruction, truth)`` or ``(reconstruction, truth,
    cells)`` items, or a mapping from an id to such an item; the row's "id" is the key, or the
    position. Trees are Newick texts (used as they are: see ``clean_newick``) or tree objects
    of the libraries ``clean_newick`` takes; a truth of None allows only the metrics of one
    tree. ``metrics`` names the metrics (``METRICS`` says what each is), as a sequence or a
    comma-separated text.

    The character metrics (parsimony, likelihood, likelihood_distance, phs) need ``cells``: the
    pair's own, else ``matrix``, in any form ``matrix_for`` takes. Rows are tied to each tree's
    leaves by name (``matrix_for``), so the two trees of a pair need not list their leaves in
    the same order; likelihood_distance therefore combines two likelihood_score calls, each with
    its own tree's rows, by the formula of ``veltrane.likelihood_distance``. Internal states are
    ``internal_states`` when given (one mapping for every tree, keyed by the trees' own
    internal labels); otherwise they are inferred by the rule the character functions use (a
    node keeps an edit both children carry; the root is unedited), and with
    ``name_internal_nodes`` (the default) every internal node is given a fresh unique name
    first, since states live under node names and an unnamed node would score nothing. phs
    gets those inferred states, the rows of the labelled leaves, and ``mutation_rate`` (a rate
    per edge; estimated from the matrix when None) and ``collision_probability``.
    "triplets_sampled" uses ``seed`` (the same for every pair, so reruns agree) and
    ``number_of_trials``.

    Work runs on ``jobs`` processes, the calling one among them (default: one per core;
    ``jobs=1`` runs in the calling process alone), or on ``executor``, any concurrent.futures.Executor such as
    ``distributed.Client(...).get_executor()``; pairs travel in chunks of plain data. A pair
    that fails gets "error_type" and "error" (failing metrics named, PanicException included)
    and the sweep goes on. A progress bar goes to stderr when it is a terminal, or when
    ``progress=True``. Returns a pandas DataFrame when pandas is installed (or
    ``as_frame=True``), else a list of dicts.
    """
    names = _parse_metrics(metrics)
    if jobs is not None and jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(
            "executor must be a concurrent.futures.Executor (an object with a submit method), "
            f"not {type(executor).__name__}"
        )
    shared = table_from(matrix, missing_state=missing_state) if matrix is not None else None
    tasks = _tasks(pairs, missing_state)
    wanted = [m for m in names if m in CHARACTER_METRICS]
    if wanted and shared is None and not any(t.table is not None for t in tasks):
        raise ValueError(
            f"{', '.join(wanted)} need a character matrix: pass matrix=... for every pair, or "
            "(reconstruction, truth, cells) items"
        )
    if "triplets" in names:
        _triplet_agreement()  # an ImportError now rather than in every row
    settings = _Settings(
        metrics=tuple(names),
        seed=seed,
        number_of_trials=number_of_trials,
        mutation_rate=mutation_rate,
        collision_probability=collision_probability,
        missing_state=missing_state,
        unedited_state=unedited_state,
        fill_missing=fill_missing,
        internal_states=_given_states(internal_states),
        name_internal_nodes=name_internal_nodes,
    )
    bar = _Progress(len(tasks), sys.stderr.isatty() if progress is None else progress)
    try:
        if executor is None and ((jobs or os.cpu_count() or 1) == 1 or len(tasks) <= 1):
            rows = []
            for task in tasks:
                rows.append(_score_task(task, settings, shared))
                bar.advance(1)
        else:
            rows = _run_on(executor, jobs, tasks, replace(settings, max_threads=1), shared, bar)
    finally:
        bar.close()
    columns = ["id", *(c for m in names for c in COLUMNS[m]), "error_type", "error"]
    return _result(rows, columns, as_frame)


def _given_states(states: Mapping[str, Sequence[int]] | None) -> dict[str, list[int]] | None:
    if states is None:
        return None
    if not isinstance(states, Mapping):
        raise TypeError(
            "internal_states must be a mapping from node name to a list of states, not "
            + type(states).__name__
        )
    return {str(k): [int(x) for x in v] for k, v in states.items()}


def _parse_metrics(metrics: str | Sequence[str]) -> list[str]:
    names = [m.strip() for m in metrics.split(",")] if isinstance(metrics, str) else list(metrics)
    unknown = [m for m in names if m not in METRICS]
    if unknown or not names:
        raise ValueError(
            f"unknown metric {', '.join(map(repr, unknown)) or '(none given)'}; choose from "
            + ", ".join(METRICS)
        )
    return list(dict.fromkeys(names))


def _tree_text(tree: object) -> str:
    return tree if isinstance(tree, str) else clean_newick(tree)


def _tasks(
    pairs: Iterable[Sequence[object]] | Mapping[Any, Sequence[object]], missing_state: int
) -> list[_Task]:
    items = pairs.items() if isinstance(pairs, Mapping) else enumerate(pairs)
    tasks = []
    for ident, item in items:
        if isinstance(item, str) or not isinstance(item, Sequence) or len(item) not in (2, 3):
            raise TypeError(
                f"pair {ident!r} must be (reconstruction, truth) or (reconstruction, truth, "
                f"cells), not {type(item).__name__}"
            )
        reconstruction, truth, table, problem = "", None, None, None
        try:  # a tree object that cannot be written, or a bad table, fails its row only
            reconstruction = _tree_text(item[0])
            truth = None if item[1] is None else _tree_text(item[1])
            if len(item) == 3 and item[2] is not None:
                table = table_from(item[2], missing_state=missing_state)
        except (TypeError, ValueError) as exc:
            problem = exc
        tasks.append(_Task(ident, reconstruction, truth, table, problem))
    return tasks


# Several chunks per worker: even loads at the end, a moving progress bar, little pickling.
_CHUNKS_PER_WORKER = 32


def _run_on(
    executor: Executor | None,
    jobs: int | None,
    tasks: list[_Task],
    settings: _Settings,
    shared: Table | None,
    bar: _Progress,
) -> list[Row]:
    workers = jobs or os.cpu_count() or 1
    count = min(len(tasks), workers * _CHUNKS_PER_WORKER)
    bounds = [len(tasks) * k // count for k in range(count + 1)]
    chunks = [_Chunk(settings, shared, tasks[a:b]) for a, b in zip(bounds, bounds[1:])]
    results: list[list[Row] | None] = [None] * len(chunks)
    # With a pool of our own the calling process is one of the workers: it scores chunks from
    # the back while jobs - 1 processes take them from the front, so one fewer process starts
    # and its share of the pairs never has to be pickled.
    own = executor is None
    pool: Executor = (
        ProcessPoolExecutor(max_workers=max(workers - 1, 1), mp_context=_context())
        if executor is None
        else executor
    )
    in_flight = max(workers - 1, 1) * 2 if own else len(chunks)
    front, back = 0, len(chunks)
    futures: dict[Future[list[Row]], int] = {}

    def collect(done: Iterable[Future[list[Row]]]) -> None:
        for future in done:
            k = futures.pop(future)
            try:
                results[k] = future.result()
            except Exception as exc:  # a worker died or the chunk did not travel
                results[k] = [_failed_row(t, settings, exc) for t in chunks[k].tasks]
            bar.advance(len(chunks[k].tasks))

    try:
        while front < back or futures:
            while front < back and len(futures) < in_flight:
                futures[pool.submit(_score_chunk, chunks[front])] = front
                front += 1
            if own and front < back:
                back -= 1
                results[back] = _score_chunk(chunks[back])
                bar.advance(len(chunks[back].tasks))
                collect([f for f in futures if f.done()])
            else:
                collect(wait(futures, return_when=FIRST_COMPLETED).done)
    except BaseException:
        for future in futures:
            future.cancel()
        if own:
            pool.shutdown(wait=False, cancel_futures=True)
        raise
    if own:
        pool.shutdown()
    return [row for chunk_rows in results if chunk_rows is not None for row in chunk_rows]


def _context() -> Any:
    # Forked workers would inherit a copy of veltrane's thread pool without its threads, so
    # workers start fresh: from a fork server where there is one, else by spawning. The fork
    # server, started once per process, imports this module first, so that each later pool
    # starts in milliseconds.
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([__name__])
    return context


def _score_chunk(chunk: _Chunk) -> list[Row]:
    return [_score_task(task, chunk.settings, chunk.shared) for task in chunk.tasks]


def _failed_row(task: _Task, settings: _Settings, exc: BaseException) -> Row:
    row: Row = {"id": task.ident}
    row.update({c: None for m in settings.metrics for c in COLUMNS[m]})
    row["error_type"] = type(exc).__name__
    row["error"] = str(exc)
    return row


def _score_task(task: _Task, settings: _Settings, shared: Table | None) -> Row:
    if task.problem is not None:
        return _failed_row(task, settings, task.problem)
    pair = _Pair(task, settings, task.table if task.table is not None else shared)
    row: Row = {"id": task.ident}
    failures: list[tuple[str, BaseException]] = []
    for metric in settings.metrics:
        row.update({c: None for c in COLUMNS[metric]})
        try:
            row.update(_METRICS[metric](pair))
        except (Exception, PanicException) as exc:
            failures.append((metric, exc))
    row["error_type"] = type(failures[0][1]).__name__ if failures else None
    row["error"] = "; ".join(f"{m}: {exc}" for m, exc in failures) if failures else None
    return row


class _Pair:
    """One pair being scored, with the character inputs of each tree made once."""

    def __init__(self, task: _Task, settings: _Settings, table: Table | None) -> None:
        self.reconstruction = task.reconstruction
        self._truth = task.truth
        self.settings = settings
        self._table = table
        self._prepared: dict[str, tuple[str, Any]] = {}
        self._likelihood: dict[str, float] = {}

    def truth(self, metric: str) -> str:
        if self._truth is None:
            raise ValueError(f"{metric} compares two trees, and this pair has no truth tree")
        return self._truth

    def table(self) -> Table:
        if self._table is None:
            raise ValueError("no character matrix for this pair")
        return self._table

    def characters(self, which: str) -> tuple[str, Any]:
        """The tree text the character functions get, and its rows."""
        if which not in self._prepared:
            table = self.table()
            s = self.settings
            text = self.reconstruction if which == "reconstruction" else self.truth(which)
            if s.name_internal_nodes and s.internal_states is None:
                text = _name_internal_nodes(text)
            rows = table.rows_for(
                text,
                missing_state=s.missing_state,
                fill_missing=s.fill_missing,
                labelled_only=False,
                warn=False,
            )
            self._prepared[which] = (text, rows)
        return self._prepared[which]

    def log_likelihood(self, which: str) -> float:
        if which not in self._likelihood:
            s = self.settings
            text, rows = self.characters(which)
            result = veltrane.likelihood_score(
                text,
                rows,
                internal_character_states=s.internal_states,
                mutation_rate=s.mutation_rate,
                collision_probability=s.collision_probability,
                missing_state=s.missing_state,
                unedited_state=s.unedited_state,
            )
            self._likelihood[which] = result["log_likelihood"]
        return self._likelihood[which]


def _rf(pair: _Pair) -> Row:
    result = veltrane.robinson_foulds_distance(pair.reconstruction, pair.truth("rf"))
    return {"rf": result["rf_distance"]}


def _rf_normalized(pair: _Pair) -> Row:
    truth = pair.truth("rf_normalized")
    result = veltrane.robinson_foulds_distance_normalized(pair.reconstruction, truth)
    return {"rf_normalized": result["normalized_rf_distance"]}


def _triplet_agreement() -> Callable[..., dict[str, Any]]:
    module = importlib.import_module("veltrane_tools.triplets")
    function: Callable[..., dict[str, Any]] = module.triplet_agreement
    return function


def _triplets(pair: _Pair) -> Row:
    agreement = _triplet_agreement()
    result = agreement(
        pair.reconstruction, pair.truth("triplets"), max_threads=pair.settings.max_threads
    )
    row = {"triplets" + suffix: result[key] for suffix, key in _TRIPLET_SHARES.items()}
    row.update({column: result[key] for column, key in _TRIPLET_COUNTS.items()})
    return row


def _triplets_sampled(pair: _Pair) -> Row:
    s = pair.settings
    result = veltrane.triplets_correct_fast(
        pair.reconstruction,
        pair.truth("triplets_sampled"),
        number_of_trials=s.number_of_trials,
        seed=s.seed,
    )
    shares: Mapping[str, Mapping[int, float]] = result  # type: ignore[assignment]
    return {"triplets_sampled" + suf: shares[key][0] for suf, key in _TRIPLET_SHARES.items()}


def _parsimony(pair: _Pair) -> Row:
    s = pair.settings
    text, rows = pair.characters("reconstruction")
    result = veltrane.parsimony_score(
        text,
        rows,
        internal_character_states=s.internal_states,
        missing_state=s.missing_state,
        unedited_state=s.unedited_state,
    )
    return {"parsimony": result["parsimony_score"]}


def _likelihood(pair: _Pair) -> Row:
    return {"likelihood": pair.log_likelihood("reconstruction")}


def _likelihood_distance(pair: _Pair) -> Row:
    pair.truth("likelihood_distance")
    reconstructed = pair.log_likelihood("reconstruction")
    truth = pair.log_likelihood("truth")
    if reconstructed == 0.0:
        return {"likelihood_distance": math.inf}
    d = truth / reconstructed - 1.0
    return {"likelihood_distance": d if d > 0.0 else 0.0}  # NaN and -0.0 give 0.0


def _phs(pair: _Pair) -> Row:
    s = pair.settings
    text, rows = pair.characters("reconstruction")
    states = s.internal_states
    if states is None:
        flat, shape = _int32_buffer(rows)
        states = _native.internal_states(
            text, flat, shape[0], shape[1], s.missing_state, s.unedited_state
        )
    # phs_optimized ties rows to the labelled leaves only.
    phs_rows = pair.table().rows_for(
        text,
        missing_state=s.missing_state,
        fill_missing=s.fill_missing,
        labelled_only=True,
        warn=False,
    )
    result = veltrane.phs_optimized(
        text,
        phs_rows,
        states,
        mutation_rate=s.mutation_rate,
        collision_probability=s.collision_probability,
        missing_state=s.missing_state,
        unedited_state=s.unedited_state,
        max_threads=s.max_threads,
    )
    return {"phs": result["phs_score"]}


def _int32_buffer(rows: Any) -> tuple[Any, tuple[int, int]]:
    if isinstance(rows, list):
        width = len(rows[0]) if rows else 0
        return array.array("i", (x for row in rows for x in row)), (len(rows), width)
    import numpy as np

    contiguous = np.ascontiguousarray(rows, dtype=np.int32)
    return contiguous, (contiguous.shape[0], contiguous.shape[1])


_METRICS: dict[str, Callable[[_Pair], Row]] = {
    "rf": _rf,
    "rf_normalized": _rf_normalized,
    "triplets": _triplets,
    "triplets_sampled": _triplets_sampled,
    "parsimony": _parsimony,
    "likelihood": _likelihood,
    "likelihood_distance": _likelihood_distance,
    "phs": _phs,
}

_INTERNAL_LABEL = re.compile(r"\)[^(),:;]*")


def _name_internal_nodes(text: str) -> str:
    """The text with every internal node named afresh (_n0, _n1, ... in the order the nodes
    close), the names chosen so that no leaf label starts like them."""
    prefix = "_n"
    labels = [label for label in leaf_labels(text) if label is not None]
    while any(label.startswith(prefix) for label in labels):
        prefix = "_" + prefix
    counter = iter(range(sys.maxsize))
    return _INTERNAL_LABEL.sub(lambda _: f"){prefix}{next(counter)}", text)


def _result(rows: list[Row], columns: list[str], as_frame: bool | None) -> Any:
    if as_frame is False:
        return rows
    try:
        pandas: Any = importlib.import_module("pandas")
    except ImportError:
        if as_frame:
            raise ImportError("as_frame=True needs pandas: pip install pandas") from None
        return rows
    return pandas.DataFrame(rows, columns=columns)


class _Progress:
    """A one-line progress bar on stderr, redrawn at most ten times a second."""

    def __init__(self, total: int, enabled: bool, stream: TextIO | None = None) -> None:
        self.total, self.enabled, self.done = total, enabled and total > 0, 0
        self.stream = stream or sys.stderr
        self.start = self.last = time.monotonic()

    def advance(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if self.enabled and (now - self.last >= 0.1 or self.done == self.total):
            self.last = now
            width = 30
            filled = width * self.done // self.total
            self.stream.write(
                f"\rscoring pairs [{'#' * filled}{'.' * (width - filled)}] "
                f"{self.done}/{self.total} {now - self.start:.1f}s"
            )
            self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()
