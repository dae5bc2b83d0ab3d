"""The ``veltrane`` command line: compare reconstructions with a true tree, or score trees
against a character matrix. Results go to stdout, messages to stderr; the exit status is 0,
1 when a tree failed (its row says why) or 2 for bad usage or unreadable input."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

from veltrane_tools.sweeps import CHARACTER_METRICS, METRICS, score_pairs
from veltrane_tools.trees import InternalLabels, clean_trees

_MISSING_FIELDS = frozenset({"", "na", "nan", "none", "null"})
_LABEL_MODES: dict[str, InternalLabels] = {"keep": True, "names": "names", "drop": False}


class _InputError(Exception):
    """Bad input: reported on stderr with exit status 2."""


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line with ``argv`` (default: sys.argv[1:]); returns the exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # argparse has printed the usage or the help
        return exc.code if isinstance(exc.code, int) else 2
    args.stdin = _StdinOnce()
    try:
        rows, columns = args.run(args)
    except (_InputError, ValueError, TypeError, ImportError) as exc:
        print(f"veltrane {args.command}: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"veltrane {args.command}: interrupted", file=sys.stderr)
        return 130
    _write(rows, columns, args.format, sys.stdout)
    failed = [row for row in rows if row["error_type"] is not None]
    for row in failed:
        print(f"veltrane {args.command}: {row['id']}: {row['error']}", file=sys.stderr)
    return 1 if failed else 0


def _parser() -> argparse.ArgumentParser:
    metrics = "\n".join(f"  {name:<20} {meaning}" for name, meaning in METRICS.items())
    parser = argparse.ArgumentParser(
        prog="veltrane",
        description="Score phylogenetic trees with veltrane.",
        epilog=f"metrics (--metrics takes a comma-separated list):\n{metrics}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    compare = commands.add_parser(
        "compare",
        help="compare reconstructed trees with a true tree",
        description="Compare every tree of each RECON file with the true tree (or, when TRUTH "
        "holds as many trees as a RECON file, each with the tree at the same position). Files "
        "hold one or more Newick trees; '-' reads standard input.",
        epilog=f"metrics:\n{metrics}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    compare.add_argument("truth", metavar="TRUTH", help="the true tree(s)")
    compare.add_argument("recon", metavar="RECON", nargs="+", help="reconstructed trees")
    _common_options(compare, default_metrics="rf,triplets", labels="drop")
    compare.set_defaults(run=_compare)

    score = commands.add_parser(
        "score",
        help="score trees against a character matrix",
        description="Score every tree of TREE against the character matrix; '-' reads "
        "standard input.",
        epilog=f"metrics:\n{metrics}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    score.add_argument("tree", metavar="TREE", help="the tree(s) to score")
    _common_options(score, default_metrics="parsimony,likelihood,phs", labels="names")
    score.set_defaults(run=_score)
    return parser


def _common_options(
    parser: argparse.ArgumentParser, *, default_metrics: str, labels: str
) -> None:
    parser.add_argument(
        "--metrics", default=default_metrics, help=f"metrics to compute (default {default_metrics})"
    )
    parser.add_argument(
        "--matrix",
        metavar="CSV",
        help="character matrix: a header row, then one row per cell, its name first",
    )
    parser.add_argument(
        "--states", metavar="JSON", help="internal states {label: [states]} (default: inferred)"
    )
    parser.add_argument("--mutation-rate", type=float, help="per-edge mutation rate")
    parser.add_argument("--collision-probability", type=float, help="chance two edits agree")
    parser.add_argument("--missing-state", type=int, default=-1, help="missing code (-1)")
    parser.add_argument("--unedited-state", type=int, default=0, help="unedited code (0)")
    parser.add_argument("--seed", type=int, help="seed for triplets_sampled")
    parser.add_argument("--trials", type=int, default=1000, help="triples for triplets_sampled")
    parser.add_argument(
        "--internal-labels",
        choices=list(_LABEL_MODES),
        default=labels,
        help=f"labels of internal nodes: keep them, keep names but drop support values, or "
        f"drop them all (default {labels})",
    )
    parser.add_argument("--jobs", type=int, help="processes, this one among them (default: one per core)")
    parser.add_argument(
        "--format", choices=["table", "csv", "json"], default="table", help="output format"
    )
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="progress bar on stderr (default: when stderr is a terminal)",
    )


def _compare(args: argparse.Namespace) -> tuple[list[dict[str, Any]], list[str]]:
    truths = _read_trees(args.truth, args)
    pairs: dict[str, tuple[str, str]] = {}
    for path in args.recon:
        recons = _read_trees(path, args)
        if len(truths) not in (1, len(recons)):
            raise _InputError(
                f"{args.truth} holds {len(truths)} trees and {path} {len(recons)}: give one "
                "true tree, or as many as each reconstruction file"
            )
        for k, recon in enumerate(recons):
            pairs[_ident(path, k, len(recons))] = (recon, truths[k if len(truths) > 1 else 0])
    return _run(pairs, args)


def _score(args: argparse.Namespace) -> tuple[list[dict[str, Any]], list[str]]:
    if args.matrix is None:
        raise _InputError("score needs the character matrix: --matrix cells.csv")
    trees = _read_trees(args.tree, args)
    pairs = {_ident(args.tree, k, len(trees)): (tree, None) for k, tree in enumerate(trees)}
    return _run(pairs, args)


def _run(
    pairs: Mapping[str, tuple[str, str | None]], args: argparse.Namespace
) -> tuple[list[dict[str, Any]], list[str]]:
    metrics = [m.strip() for m in args.metrics.split(",")]
    if any(m in CHARACTER_METRICS for m in metrics) and args.matrix is None:
        raise _InputError(
            f"{', '.join(m for m in metrics if m in CHARACTER_METRICS)} need the character "
            "matrix: --matrix cells.csv"
        )
    matrix = None if args.matrix is None else _read_matrix(args.matrix, args)
    rows: list[dict[str, Any]] = score_pairs(
        pairs,
        metrics,
        matrix=matrix,
        jobs=args.jobs,
        progress=args.progress,
        seed=args.seed,
        number_of_trials=args.trials,
        mutation_rate=args.mutation_rate,
        collision_probability=args.collision_probability,
        missing_state=args.missing_state,
        unedited_state=args.unedited_state,
        internal_states=None if args.states is None else _read_states(args.states, args),
        as_frame=False,
    )
    columns = list(rows[0]) if rows else ["id", "error_type", "error"]
    return rows, columns


def _ident(path: str, k: int, count: int) -> str:
    name = "stdin" if path == "-" else path
    return name if count == 1 else f"{name}:{k + 1}"


class _StdinOnce:
    """Standard input, which only one file argument can read."""

    def __init__(self) -> None:
        self.used = False

    def read(self) -> str:
        if self.used:
            raise _InputError("'-' (standard input) can be given only once")
        self.used = True
        return sys.stdin.read()


def _read_text(path: str, args: argparse.Namespace) -> str:
    if path == "-":
        stdin: _StdinOnce = args.stdin
        return stdin.read()
    try:
        return Path(path).read_text(encoding="utf-8")
    except OSError as exc:
        raise _InputError(f"cannot read {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise _InputError(f"{path} is not UTF-8 text ({exc.reason})") from None


def _read_trees(path: str, args: argparse.Namespace) -> list[str]:
    text = _read_text(path, args)
    name = "standard input" if path == "-" else path
    if text.lstrip().upper().startswith("#NEXUS"):
        raise _InputError(f"{name} is a NEXUS file; write its trees as Newick text")
    try:
        trees = clean_trees(text, internal_labels=_LABEL_MODES[args.internal_labels])
    except ValueError as exc:
        raise _InputError(f"{name}: {exc}") from None
    if not trees:
        raise _InputError(f"{name} holds no tree")
    return trees


def _read_matrix(path: str, args: argparse.Namespace) -> dict[str, list[int]]:
    """Cell name -> row from a CSV file: a header row, then the name and the states of each
    cell. Empty fields and NA/NaN stand for missing data."""
    lines = list(csv.reader(io.StringIO(_read_text(path, args))))
    if not lines:
        raise _InputError(f"{path} is empty; it needs a header row and one row per cell")
    header, cells = lines[0], {}
    for number, line in enumerate(lines[1:], start=2):
        if not line:
            continue
        if len(line) != len(header):
            raise _InputError(
                f"{path}, line {number}: {len(line)} fields, the header has {len(header)}"
            )
        row = []
        for column, field in zip(header[1:], line[1:]):
            text = field.strip()
            if text.lower() in _MISSING_FIELDS:
                row.append(args.missing_state)
                continue
            try:
                row.append(int(text))
            except ValueError:
                raise _InputError(
                    f"{path}, line {number}, column {column!r}: {field!r} is not an integer "
                    "state"
                ) from None
        if line[0] in cells:
            raise _InputError(f"{path}, line {number}: cell {line[0]!r} has a second row")
        cells[line[0]] = row
    return cells


def _read_states(path: str, args: argparse.Namespace) -> dict[str, list[int]]:
    try:
        states = json.loads(_read_text(path, args))
    except json.JSONDecodeError as exc:
        raise _InputError(f"{path} is not JSON: {exc}") from None
    if not isinstance(states, dict) or not all(
        isinstance(v, list) and all(isinstance(x, int) for x in v) for v in states.values()
    ):
        raise _InputError(f"{path} must hold an object {{label: [integer states]}}")
    return states


def _write(rows: list[dict[str, Any]], columns: list[str], form: str, out: Any) -> None:
    if form == "json":
        clean = [{c: _json_value(row[c]) for c in columns} for row in rows]
        out.write(json.dumps(clean, indent=2) + "\n")
    elif form == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(columns)
        for row in rows:
            writer.writerow(["" if row[c] is None else row[c] for c in columns])
    else:
        # Messages go to stderr; the table keeps the kind of failure only.
        columns = [c for c in columns if c != "error"]
        if not any(row["error_type"] is not None for row in rows):
            columns.remove("error_type")
        cells = [[_cell(row[c]) for c in columns] for row in rows]
        numeric = [
            any(isinstance(row[c], int | float) for row in rows) for c in columns
        ]
        widths = [max(len(c), *(len(r[k]) for r in cells)) for k, c in enumerate(columns)]
        for line in [columns, *cells]:
            text = (
                f"{v:>{w}}" if right else f"{v:<{w}}"
                for v, w, right in zip(line, widths, numeric)
            )
            out.write("  ".join(text).rstrip() + "\n")


def _cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.6g}"
    return str(value)


def _json_value(value: Any) -> Any:
    # JSON has no infinities or NaN: they are written as the texts "inf", "-inf" and "nan".
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return value
