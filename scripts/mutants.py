#!/usr/bin/env python3
"""Mutation check: does the test suite notice deliberate one-line bugs in the sources?

Each mutation replaces one snippet of code under src/ (the C++ sources and the veltrane_tools
package's Python files) with a plausibly wrong version. The snippet is looked up in every
source file under src/, so the list keeps working when files move; it must occur exactly once
in the whole tree, else the mutation is reported as not applicable. For each mutation the
harness applies it, rebuilds the module (pip, build tree build/mut) into the interpreter given
by --python and the C++ tests (CMake tree build/mut-tests), runs ctest and then pytest (-x),
and restores the file whatever happens (Ctrl-C included). A mutation of a Python file needs
only the pip install: the C++ tests do not see those files, so ctest is not run for it. At the
end the clean sources are built and installed again, so the interpreter is left with the real
module.

A mutation counts as caught when a test fails, crashes or hangs. A build that breaks is
reported apart ("build broke"): it is not a catch, so mutations here are chosen to compile.

    python3 scripts/mutants.py --python /work/venv-tests/bin/python
    python3 scripts/mutants.py --python ... --only outgroup-tie,chunk-seed
    python3 scripts/mutants.py --list
    python3 scripts/mutants.py --ctest-only   # after changing only tests/cpp: no module, no pytest

Standard library only. A developer tool, not a test: it takes a while (one incremental build and
one test run per mutation).
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
SOURCE_SUFFIXES = {".cpp", ".hpp", ".h", ".cc", ".inl", ".py"}


@dataclass(frozen=True)
class Mutation:
    id: str
    description: str
    old: str
    new: str


MUTATIONS = [
    Mutation(
        "outgroup-tie",
        "the deepest pair wins ties: a multifurcation gets an outgroup",
        "if (dab > dac && dab > dbc) return Outgroup::c;",
        "if (dab >= dac && dab >= dbc) return Outgroup::c;",
    ),
    Mutation(
        "triple-count-off-by-one",
        "three leaves are counted as no triple",
        "if (n < 3) return 0;\n    std::array<std::uint64_t, 3> f{n, n - 1, n - 2};",
        "if (n <= 3) return 0;\n    std::array<std::uint64_t, 3> f{n, n - 1, n - 2};",
    ),
    Mutation(
        "exact-sum-outgroup-first",
        "the exact sweep subtracts q * q instead of (q + 1) * q",
        "const std::uint64_t outgroup_first = totals_.reach_min - (q + 1) * q;",
        "const std::uint64_t outgroup_first = totals_.reach_min - q * q;",
    ),
    Mutation(
        "ultra-sampling-order",
        "a sampled triple is sorted by an incomplete sorting network",
        "if (m[2].first < m[1].first) std::swap(m[1], m[2]);",
        "if (m[2].first < m[0].first) std::swap(m[0], m[2]);",
    ),
    Mutation(
        "chunk-seed",
        "every sampling chunk uses the first chunk's seed",
        "RandomSource source = RandomSource::from_u64_seed(chunk_seeds[q]);",
        "RandomSource source = RandomSource::from_u64_seed(chunk_seeds[0]);",
    ),
    Mutation(
        "chunk-count-formula",
        "the chunk formula rounds the square root up instead of down",
        "static_cast<std::uint64_t>(std::floor(std::sqrt(static_cast<double>(product))));",
        "static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(product))));",
    ),
    Mutation(
        "piece-size",
        "the exhaustive piece size forgets to divide by the chunk count",
        "std::max<std::uint64_t>(1, triples / chunks / rules.piece_divisor(chunks));",
        "std::max<std::uint64_t>(1, triples / rules.piece_divisor(chunks));",
    ),
    Mutation(
        "message-taxa",
        "the different-sizes panic says 'taxon' instead of 'taxa'",
        'throw Panic("Trees must have the same number of taxa");',
        'throw Panic("Trees must have the same number of taxon");',
    ),
    Mutation(
        "refcount-index-leak",
        "the new reference from PyNumber_Index is borrowed (one reference leaks per call)",
        "return std::nullopt;\n    PyRef index = PyRef::steal(PyNumber_Index(obj));",
        "return std::nullopt;\n    PyRef index = PyRef::borrow(PyNumber_Index(obj));",
    ),
    Mutation(
        "reader-next-line",
        "U+0085 (next line) is no longer whitespace",
        "return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;",
        "return (p[1] == 0xA0) ? 2 : 0;",
    ),
    Mutation(
        "branch-length-sign",
        "a short decimal branch length loses its minus sign",
        "short_decimal(text)) return negative ? -*value : *value;",
        "short_decimal(text)) return *value;",
    ),
    Mutation(
        "rf-linear-root",
        "the linear RF path counts the root's side of tree 1 as a bipartition",
        "parent.size() == 1 ? 0 : 1;",
        "parent.size() == 1 ? 0 : 0;",
    ),
    Mutation(
        "rf-bitvec-complement",
        "the bit-vector RF path ORs instead of XORing the complement",
        "complement.xor_assign(cluster);",
        "complement.or_assign(cluster);",
    ),
    Mutation(
        "rf-normalization",
        "three labels normalize by 1 instead of 0",
        "out.max_possible_rf = m >= 3 ? 2 * m - 6 : 1;",
        "out.max_possible_rf = m > 3 ? 2 * m - 6 : 1;",
    ),
    Mutation(
        "parsimony-edited-change",
        "a change from one edited state to another counts as a mutation too",
        "if (p[i] == unedited_state && c[i] != missing_state && c[i] != unedited_state)",
        "if (p[i] != c[i] && c[i] != missing_state && c[i] != unedited_state)",
    ),
    Mutation(
        "likelihood-inference-missing",
        "the likelihood inference keeps a state both children miss",
        "return a == b && a != missing_state ? a : unedited_state;",
        "return a == b ? a : unedited_state;",
    ),
    Mutation(
        "likelihood-edge-terms",
        "an unedited parent's edge adds log_mut for staying and log_stay for an edit",
        "edge += c[i] == p[i] ? logs.log_stay : logs.log_mut;",
        "edge += c[i] == p[i] ? logs.log_mut : logs.log_stay;",
    ),
    Mutation(
        "p-value-poisson-loop",
        "the exact Poisson tail sums one term too many",
        "for (std::uint64_t k = 1; k < score; ++k) {",
        "for (std::uint64_t k = 1; k <= score; ++k) {",
    ),
    Mutation(
        "p-value-boundary",
        "a score of exactly 100 takes the normal approximation",
        "if (score <= 100) {",
        "if (score < 100) {",
    ),
    Mutation(
        "phs-homoplasy-mask",
        "a pair counts characters whose LCA state is edited too (any state from unedited up)",
        "mask[k] = (*states)[k] == unedited_state ? 1 : 0;",
        "mask[k] = (*states)[k] >= unedited_state ? 1 : 0;",
    ),
    Mutation(
        "phs-pi-square",
        "the per-character probability forgets to square (1 - e^(-mu (1 - d)))",
        "return q * std::exp(-mu * d) * (t * t);",
        "return q * std::exp(-mu * d) * t;",
    ),
    Mutation(
        "phs-simes-run",
        "Simes divides the last p-value of a run of equal ones by the run's first rank",
        "const double last = mf * p / static_cast<double>(rank + run);",
        "const double last = mf * p / static_cast<double>(rank + 1);",
    ),
    Mutation(
        "random-rotation",
        "the first quarter-round rotation is 15 bits instead of 16",
        "x[d] = std::rotl(x[d] ^ x[a], 16);",
        "x[d] = std::rotl(x[d] ^ x[a], 15);",
    ),
    Mutation(
        "random-zone",
        "the uniform draw uses the exact rejection zone, which rejects other words",
        "const std::uint32_t zone = (range << std::countl_zero(range)) - 1;",
        "const std::uint32_t zone = 0xffffffffu - (0u - range) % range;",
    ),
    Mutation(
        "sampler-insertion",
        "a repeated draw inserts j after the entry it repeats instead of before",
        "out.insert(pos, j);",
        "out.insert(pos + 1, j);",
    ),
    Mutation(
        "pool-size-parse",
        "RAYON_NUM_THREADS stops at the first non-digit instead of being rejected",
        "if (c < '0' || c > '9') return std::nullopt;",
        "if (c < '0' || c > '9') break;",
    ),
    Mutation(
        "binding-was-were",
        "the positional-count message swaps 'was' and 'were'",
        '(given == 1 ? " was" : " were")',
        '(given == 1 ? " were" : " was")',
    ),
    Mutation(
        "binding-missing-list",
        "the missing-arguments list puts ' and ' one name too early",
        'msg.append(written + 1 == count ? " and " : ", ");',
        'msg.append(written + 2 == count ? " and " : ", ");',
    ),
    # Since the restructuring: the core's newer units.
    Mutation(
        "agreement-unresolved-both",
        "the triples unresolved in both trees start from tree 1's unresolved count, not tree 2's",
        "unresolved2 = r2.unresolved;",
        "unresolved2 = r1.unresolved;",
    ),
    Mutation(
        "agreement-star-sum",
        "a node's unresolved triples add the pairs of earlier children instead of their e2 sum",
        "r.unresolved += mul(e2, x);",
        "r.unresolved += mul(e1, x);",
    ),
    Mutation(
        "agreement-shared-blocks",
        "the blocks run on the pool overwrite the sums of the blocks split before them",
        "for (const Sums& part : parts) sums += part;",
        "for (const Sums& part : parts) sums = part;",
    ),
    Mutation(
        "wide-add-carry",
        "the 128-bit sum carries when the low word did not wrap but stayed equal",
        "r.high = a.high + b.high + (r.low < a.low ? 1 : 0);",
        "r.high = a.high + b.high + (r.low <= a.low ? 1 : 0);",
    ),
    Mutation(
        "wide-double-sticky",
        "rounding a 128-bit count to a double marks the bits cut off when there are none",
        "if (lost != 0) top |= 1;",
        "if (lost == 0) top |= 1;",
    ),
    Mutation(
        "label-pairing-reach",
        "a difference just past the paired leaves still counts as a mispairing",
        "return position >= std::min(count_labelled_leaves(a), count_labelled_leaves(b));",
        "return position > std::min(count_labelled_leaves(a), count_labelled_leaves(b));",
    ),
    Mutation(
        "label-set-count",
        "two leaf label sets count as equal when b's distinct labels are fewer than a's",
        "if (distinct(rows_a) != distinct(rows_b)) return false;",
        "if (distinct(rows_a) < distinct(rows_b)) return false;",
    ),
    Mutation(
        "leaf-digest-order",
        "the leaf digest forgets each leaf's position: reordered leaves share a digest",
        "digest += leaf & (hash * odd);",
        "digest += leaf & hash;",
    ),
    Mutation(
        "pool-start-per-chunk",
        "a job starts a worker per chunk, beyond the pool size",
        "const std::size_t wanted = std::min(count, size_);",
        "const std::size_t wanted = count;",
    ),
    Mutation(
        "pool-refused-retry",
        "a refused thread start is retried for ever instead of leaving the chunks to the caller",
        "may_grow = start_worker();",
        "start_worker();",
    ),
    Mutation(
        "hash-key-copy",
        "the process hash key copies the wrong way: the entropy never reaches it and it stays 0",
        "std::memcpy(&key, bytes, sizeof key);",
        "std::memcpy(bytes, &key, sizeof key);",
    ),
    Mutation(
        "hash-label-tail",
        "the label hash drops the last byte of a label",
        "std::memcpy(&tail, label.data() + i, size - i);",
        "std::memcpy(&tail, label.data() + i, size - i - 1);",
    ),
    Mutation(
        "chunk-pieces-fifteen",
        "fifteen parallel chunks are cut into three pieces instead of two",
        "if (chunk_count <= 15) return 2;",
        "if (chunk_count < 15) return 2;",
    ),
    Mutation(
        "taxa-map-last-label",
        "a label on several nodes names the first of them instead of the last",
        "if (e.offset < offset) e = {offset, s.label_size, id};",
        "if (e.offset > offset) e = {offset, s.label_size, id};",
    ),
    Mutation(
        "find-entries-tail",
        "the batched label lookup skips the first of the last eight labels it hashed",
        "for (std::size_t e = out.size() > ahead ? out.size() - ahead : 0; e < out.size(); ++e)"
        " find(e);",
        "for (std::size_t e = out.size() > ahead ? out.size() - ahead + 1 : 0; e < out.size();"
        " ++e) find(e);",
    ),
    # The tools package.
    Mutation(
        "tools-clean-quoted-support",
        "clean_newick with 'names' drops a quoted number too, though quotes make it a name",
        "(mode_ == InternalLabels::names && !quoted && is_support_value(name)))) {",
        "(mode_ == InternalLabels::names && is_support_value(name)))) {",
    ),
    Mutation(
        "tools-clean-comment-nesting",
        "a nested '[' does not deepen a comment: its first ']' ends the whole comment",
        "if (text_[i_] == '[') ++depth;",
        "if (text_[i_] == '[') depth = 1;",
    ),
    Mutation(
        "tools-write-quote-escape",
        "a tree object's label with a quote is written without doubling the quote",
        "return \"'\" + text.replace(\"'\", \"''\") + \"'\"",
        "return \"'\" + text + \"'\"",
    ),
    Mutation(
        "tools-matrix-duplicates",
        "matrix_for lists only names given three times or more as duplicates",
        "twice = [name for name, count in Counter(names).items() if count > 1]",
        "twice = [name for name, count in Counter(names).items() if count > 2]",
    ),
    Mutation(
        "tools-matrix-fill-state",
        "matrix_for fills missing rows with -1 whatever missing_state says",
        "out = np.full((len(where), self.n_columns), missing_state, dtype=np.int32)",
        "out = np.full((len(where), self.n_columns), -1, dtype=np.int32)",
    ),
    Mutation(
        "tools-positions-labelled-only",
        "leaf_positions gives unlabelled leaves a row even when asked for labelled leaves only",
        "if (!labelled_only) positions.push_back(unlabelled);",
        "positions.push_back(unlabelled);",
    ),
    Mutation(
        "tools-sweep-chunk-bounds",
        "the chunk bounds of a parallel sweep stop one short: the last chunk's pairs are lost",
        "bounds = [len(tasks) * k // count for k in range(count + 1)]",
        "bounds = [len(tasks) * k // count for k in range(count)]",
    ),
    Mutation(
        "tools-sweep-share-column",
        "the _unresolved triplet column is filled from the resolvable share",
        '"_unresolved": "unresolved_triplets_correct",',
        '"_unresolved": "resolvable_triplets_correct",',
    ),
    Mutation(
        "tools-sweep-error-type",
        "a failed row names the type of its last failure instead of its first",
        'row["error_type"] = type(failures[0][1]).__name__ if failures else None',
        'row["error_type"] = type(failures[-1][1]).__name__ if failures else None',
    ),
    Mutation(
        "tools-cli-failed-status",
        "the command line exits 2 (bad usage) when a tree failed, instead of 1",
        "return 1 if failed else 0",
        "return 2 if failed else 0",
    ),
    Mutation(
        "tools-cli-ident",
        "the row ids of a file of several trees count from 0",
        'return name if count == 1 else f"{name}:{k + 1}"',
        'return name if count == 1 else f"{name}:{k}"',
    ),
    Mutation(
        "tools-agreement-unresolved-share",
        "the unresolved share is 0.0 instead of 1.0 when tree 1 leaves no triple unresolved",
        "u1 == WideCount{} ? 1.0 : to_double(uu) / to_double(u1);",
        "u1 == WideCount{} ? 0.0 : to_double(uu) / to_double(u1);",
    ),
    Mutation(
        "tools-agreement-proportion",
        "the unresolvable proportion counts the triples unresolved in both trees only",
        "result.proportion_unresolvable = to_double(u1) / t;",
        "result.proportion_unresolvable = to_double(uu) / t;",
    ),
]


# ---------------------------------------------------------------------------------------------
# Locating and applying


def source_files() -> list[Path]:
    return sorted(p for p in SRC.rglob("*") if p.is_file() and p.suffix in SOURCE_SUFFIXES)


def locate(mutation: Mutation) -> tuple[Path | None, str]:
    """The one file holding the snippet, or None and why the mutation does not apply."""
    hits = []
    for path in source_files():
        count = path.read_text(encoding="utf-8").count(mutation.old)
        hits.extend([path] * count)
    if len(hits) == 1:
        return hits[0], ""
    if not hits:
        return None, "not applicable: snippet not found"
    return None, f"not applicable: snippet occurs {len(hits)} times"


# ---------------------------------------------------------------------------------------------
# Building and testing


@dataclass
class Outcome:
    build: str = ""  # "" or what broke
    ctest: str = ""  # "" (passed), "not run" (a Python file), or what failed
    pytest: str = ""


def run(cmd: list[str], timeout: float, log) -> tuple[int | None, str]:
    """Runs cmd in the repository root; returns (exit status or None on timeout, output)."""
    log.write(f"\n$ {' '.join(cmd)}\n")
    log.flush()
    # A session of its own, so that a timeout stops the whole process group.
    proc = subprocess.Popen(
        cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        start_new_session=True,
    )
    try:
        out, _ = proc.communicate(timeout=timeout)
        status: int | None = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        status = None
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise
    log.write(out)
    log.flush()
    return status, out


def build_module(python: str, log) -> str:
    status, out = run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--quiet",
         "--disable-pip-version-check", "--config-settings=build-dir=build/mut", "."],
        1800, log,
    )
    return "" if status == 0 else "module build broke"


def configure_cpp_tests(python: str, log) -> None:
    status, out = run(
        ["cmake", "-S", ".", "-B", "build/mut-tests", "-DCMAKE_BUILD_TYPE=Release",
         "-DBUILD_TESTING=ON", "-DVELTRANE_WERROR=ON", f"-DPython_EXECUTABLE={python}"],
        600, log,
    )
    if status != 0:
        sys.exit("cmake could not configure build/mut-tests:\n" + out)


def build_cpp_tests(jobs: int, log) -> str:
    status, _ = run(["cmake", "--build", "build/mut-tests", f"-j{jobs}"], 1800, log)
    return "" if status == 0 else "C++ test build broke"


def run_ctest(jobs: int, log) -> str:
    status, out = run(
        ["ctest", "--test-dir", "build/mut-tests", f"-j{jobs}", "--timeout", "300"], 1800, log
    )
    if status == 0:
        return ""
    failed = re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", out, re.MULTILINE)
    if not failed:
        return f"ctest exit {status}" if status is not None else "ctest timed out"
    first, kind = failed[0]
    more = f" (+{len(failed) - 1} more)" if len(failed) > 1 else ""
    return f"{first}{'' if kind == 'Failed' else f' [{kind}]'}{more}"


def run_pytest(python: str, extra: list[str], timeout: float, log) -> str:
    status, out = run(
        [python, "-m", "pytest", "tests/python", "-x", "-q", "-p", "no:cacheprovider", *extra],
        timeout, log,
    )
    if status == 0:
        return ""
    if status is None:
        return "pytest timed out (hang)"
    match = re.search(r"^(?:FAILED|ERROR) (tests/python/\S+)", out, re.MULTILINE)
    if match:
        return match.group(1).removeprefix("tests/python/")
    # A crash: faulthandler lists the frames, innermost first.
    frame = re.search(r'File "[^"]*tests/python/(\w+\.py)", line \d+ in (\w+)', out)
    where = f"{frame.group(1)}::{frame.group(2)}" if frame else "the run"
    return f"crash in {where} (exit {status})"


# ---------------------------------------------------------------------------------------------
# The run


def table(rows: list[tuple[str, str, str, str]]) -> str:
    header = ("id", "unit", "ctest", "pytest")
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(4)]
    line = lambda r: "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()  # noqa: E731
    return "\n".join([line(header), line(tuple("-" * w for w in widths)), *map(line, rows)])


def verdict(outcome: Outcome) -> tuple[str, str]:
    """(ctest column, pytest column)."""
    if outcome.build:
        return outcome.build, "not run"
    ctest = outcome.ctest or "passed"
    pytest = outcome.pytest or "passed"
    if not outcome.ctest and outcome.pytest == "not run":
        return "MISSED", "not run"  # --ctest-only: the C++ tests alone do not catch it
    if outcome.ctest in ("", "not run") and not outcome.pytest:
        return "SURVIVED", "SURVIVED"
    return ctest, pytest


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter of the virtual environment that gets the module")
    parser.add_argument("--only", default="", help="comma-separated mutation ids")
    parser.add_argument("--list", action="store_true", help="list the mutations and stop")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--ctest-only", action="store_true",
                        help="build and run only the C++ tests (the pytest column of a run on the"
                             " same sources and Python tests still holds)")
    parser.add_argument("--pytest-timeout", type=float, default=900.0)
    parser.add_argument("--pytest-arg", action="append", default=[],
                        help="extra pytest argument (repeatable), e.g. --pytest-arg=--deselect=X")
    parser.add_argument("--log", default=str(ROOT / "build" / "mutants.log"),
                        help="full output of every build and test run")
    parser.add_argument("--table", default="", help="also write the final table to this file")
    args = parser.parse_args()

    chosen = MUTATIONS
    if args.only:
        wanted = [x for x in args.only.split(",") if x]
        unknown = sorted(set(wanted) - {m.id for m in MUTATIONS})
        if unknown:
            parser.error("unknown mutation ids: " + ", ".join(unknown))
        chosen = [m for m in MUTATIONS if m.id in wanted]

    if args.list:
        for m in chosen:
            path, why = locate(m)
            where = path.relative_to(ROOT) if path else why
            print(f"{m.id:30} {where}\n{'':30} {m.description}")
        return 0

    # SIGTERM behaves like Ctrl-C, and Ctrl-C is honoured even when a background start left it
    # ignored, so the finally clauses below restore the sources.
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.default_int_handler)
    python = str(Path(args.python))
    Path(args.log).parent.mkdir(parents=True, exist_ok=True)
    rows: list[tuple[str, str, str, str]] = []
    with open(args.log, "w", encoding="utf-8") as log:
        configure_cpp_tests(python, log)
        try:
            for number, m in enumerate(chosen, start=1):
                started = time.monotonic()
                path, why = locate(m)
                if path is None:
                    rows.append((m.id, "-", why, ""))
                    print(f"[{number}/{len(chosen)}] {m.id}: {why}", flush=True)
                    continue
                unit = str(path.relative_to(ROOT))
                original = path.read_bytes()
                outcome = Outcome()
                try:
                    path.write_bytes(original.replace(m.old.encode(), m.new.encode(), 1))
                    log.write(f"\n===== {m.id} ({unit}): {m.description}\n")
                    python_only = path.suffix == ".py"
                    outcome.build = (
                        "" if args.ctest_only else build_module(python, log)
                    ) or ("" if python_only else build_cpp_tests(args.jobs, log))
                    if not outcome.build:
                        outcome.ctest = "not run" if python_only else run_ctest(args.jobs, log)
                        outcome.pytest = "not run" if args.ctest_only else run_pytest(
                            python, args.pytest_arg, args.pytest_timeout, log)
                finally:
                    path.write_bytes(original)
                ctest, pytest = verdict(outcome)
                rows.append((m.id, unit, ctest, pytest))
                seconds = time.monotonic() - started
                print(f"[{number}/{len(chosen)}] {m.id} ({unit}, {seconds:.0f} s): ctest {ctest};"
                      f" pytest {pytest}", flush=True)
        except KeyboardInterrupt:
            print("\ninterrupted: sources restored; reinstalling the module built from them"
                  " (Ctrl-C again to skip)", file=sys.stderr)
            try:
                build_module(python, log)
            except KeyboardInterrupt:
                print("skipped: the environment may still hold a mutant module", file=sys.stderr)
            return 130
        # Leave the environment with the module built from the unchanged sources.
        if not args.ctest_only and build_module(python, log):
            print("warning: the clean rebuild failed; see the log", file=sys.stderr)
        build_cpp_tests(args.jobs, log)

    text = table(rows)
    survived = [r[0] for r in rows if r[2] == "SURVIVED"]
    broke = [r[0] for r in rows if "broke" in r[2]]
    skipped = [r[0] for r in rows if r[2].startswith("not applicable")]
    missed = [r[0] for r in rows if r[2] == "MISSED"]
    caught = len(rows) - len(survived) - len(broke) - len(skipped) - len(missed)
    summary = [
        f"{len(rows)} mutations: {caught} caught, {len(survived)} survived, {len(broke)} build"
        f" broke, {len(skipped)} not applicable"
        + (f", {len(missed)} missed by ctest (pytest not run)" if missed else ""),
    ]
    if survived:
        summary.append("survived: " + ", ".join(survived))
    if missed:
        summary.append("missed by ctest: " + ", ".join(missed))
    print()
    print(text)
    print("\n".join(summary))
    if args.table:
        Path(args.table).write_text(text + "\n" + "\n".join(summary) + "\n", encoding="utf-8")
    return 1 if survived or broke else 0


if __name__ == "__main__":
    sys.exit(main())
