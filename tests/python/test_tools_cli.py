"""The veltrane command line: once through the installed console script, the rest in-process."""

from __future__ import annotations

import csv
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

import veltrane
import veltrane_tools as vt
from veltrane_tools.cli import main

TRUTH = "((A:1,B:2)95:0.5,(C,D)80);\n"
RECONS = "[&R] ((A,C),(B,'D'));\n((A,B),(C,D));\n"
CELLS = "cell,s1,s2,s3\nA,1,0,2\nB,1,0,\nC,0,3,2\nD,0,3,NA\n"
TABLE = {"A": [1, 0, 2], "B": [1, 0, -1], "C": [0, 3, 2], "D": [0, 3, -1]}


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name, text in [("truth.nwk", TRUTH), ("recon.nwk", RECONS), ("cells.csv", CELLS)]:
        (tmp_path / name).write_text(text)
    (tmp_path / "states.json").write_text('{"X": [0, 0, 0]}')
    return tmp_path


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_the_installed_command(files):
    script = Path(sys.executable).with_name("veltrane")
    if not script.exists():
        pytest.skip("the veltrane console script is not installed beside this interpreter")
    proc = subprocess.run(
        [str(script), "compare", "truth.nwk", "recon.nwk", "--metrics", "rf,rf_normalized"],
        capture_output=True, text=True)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout == (
        "id           rf  rf_normalized\n"
        "recon.nwk:1   2              1\n"
        "recon.nwk:2   0              0\n"
    )
    module = subprocess.run([sys.executable, "-m", "veltrane_tools", "--help"],
                            capture_output=True, text=True, check=True)
    assert all(f"\n  {name} " in module.stdout for name in vt.METRICS)


@pytest.mark.parametrize("form", ["csv", "json"])
def test_outputs_are_score_pairs_rows(files, capsys, form):
    status, out, _ = run(capsys, "score", "recon.nwk", "--matrix", "cells.csv", "--format", form,
                         "--mutation-rate", "0.3", "--jobs", "1")
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out))) if form == "csv" else json.loads(out)
    trees = vt.trees.clean_trees(RECONS, internal_labels="names")
    expected = vt.score_pairs({f"recon.nwk:{k + 1}": (t, None) for k, t in enumerate(trees)},
                              "parsimony,likelihood,phs", matrix=TABLE, mutation_rate=0.3,
                              as_frame=False, jobs=1)
    for row, want in zip(rows, expected, strict=True):
        assert row["id"] == want["id"]
        for metric in ("parsimony", "likelihood", "phs"):
            assert float(row[metric]) == want[metric]


def test_states_and_standard_input(files, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("((A,B)X,(C,D)X);"))
    status, out, _ = run(capsys, "score", "-", "--matrix", "cells.csv", "--states",
                         "states.json", "--metrics", "parsimony", "--format", "json")
    assert status == 0
    rows = [TABLE[c] for c in "ABCD"]
    score = veltrane.parsimony_score("((A,B)X,(C,D)X);", rows, {"X": [0, 0, 0]})
    assert json.loads(out) == [{"id": "stdin", "parsimony": score["parsimony_score"],
                                "error_type": None, "error": None}]


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["compare", "truth.nwk", "nope.nwk", "--metrics", "rf"],
         "cannot read nope.nwk: No such file or directory"),
        (["compare", "truth.nwk", "recon.nwk", "--metrics", "rf,foo"], "unknown metric 'foo'"),
        (["compare", "recon.nwk", "truth.nwk", "--metrics", "rf"],
         "recon.nwk holds 2 trees and truth.nwk 1: give one true tree"),
        (["compare", "truth.nwk", "recon.nwk", "--metrics", "phs"],
         "phs need the character matrix: --matrix cells.csv"),
        (["score", "recon.nwk"], "score needs the character matrix: --matrix cells.csv"),
        (["score", "bad.nwk", "--matrix", "cells.csv"], "bad.nwk: the quote opened at character 1"),
        (["score", "recon.nwk", "--matrix", "bad.csv"], "bad.csv, line 2, column 's': 'x' is not"),
        (["score", "nexus.nwk", "--matrix", "cells.csv"], "nexus.nwk is a NEXUS file"),
        (["score", "recon.nwk", "--matrix", "cells.csv", "--states", "cells.csv"],
         "cells.csv is not JSON"),
        (["score", "-", "--matrix", "-"], "'-' (standard input) can be given only once"),
    ],
)
def test_bad_input_exits_2_with_a_message(files, capsys, monkeypatch, argv, message):
    (files / "bad.csv").write_text("c,s\nA,x\n")
    (files / "bad.nwk").write_text("('A,B);")
    (files / "nexus.nwk").write_text("#NEXUS\nbegin trees;")
    monkeypatch.setattr(sys, "stdin", io.StringIO("(A,B);"))
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert message in err


def test_a_failing_tree_exits_1_and_keeps_the_others(files, capsys):
    (files / "mixed.nwk").write_text("((A,B),(C,D));((A,B),(C,));")
    status, out, err = run(capsys, "compare", "truth.nwk", "mixed.nwk", "--metrics", "rf")
    assert status == 1
    assert out.splitlines() == ["id           rf  error_type",
                                "mixed.nwk:1   0  -",
                                "mixed.nwk:2   -  PanicException"]
    assert err.startswith("veltrane compare: mixed.nwk:2: rf: Robinson-Foulds distance needs")
    assert run(capsys, "--help")[0] == 0 and run(capsys)[0] == 2
