"""The veltrane command line: once through the installed console script, the rest in-process."""

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

STATES = {"X": [0, 0, 0]}
TABLE = {"A": [1, 0, 2], "B": [1, 0, -1], "C": [0, 3, 2], "D": [0, 3, -1]}
FILES = {"truth.nwk": "((A:1,B:2)95:0.5,(C,D)80);\n", "bad.nwk": "('A,B);",
         "recon.nwk": "[&R] ((A,C),(B,'D'));\n((A,B),(C,D));\n",
         "cells.csv": "cell,s1,s2,s3\nA,1,0,2\nB,1,0,\nC,0,3,2\nD,0,3,NA\n",
         "states.json": '{"X": [0, 0, 0]}', "bad.csv": "c,s\nA,x\n",
         "nexus.nwk": "#NEXUS\nbegin trees;", "mixed.nwk": "((A,B),(C,D));((A,B),(C,));"}


@pytest.fixture(autouse=True)
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name, text in FILES.items():
        (tmp_path / name).write_text(text)


def run(capsys, *argv):
    status = main(list(argv))
    return (status, *capsys.readouterr())


def test_the_installed_command():
    script = Path(sys.executable).with_name("veltrane")
    if not script.exists():
        pytest.skip("the veltrane console script is not installed beside this interpreter")
    proc = subprocess.run([str(script), "compare", "truth.nwk", "recon.nwk", "mixed.nwk",
                           "--metrics", "rf,rf_normalized"], capture_output=True, text=True)
    assert (proc.returncode, proc.stdout.splitlines()) == (1, [  # a tree failed: status 1
        "id           rf  rf_normalized  error_type",
        "recon.nwk:1   2              1  -",
        "recon.nwk:2   0              0  -",
        "mixed.nwk:1   0              0  -",
        "mixed.nwk:2   -              -  PanicException",
    ])
    assert proc.stderr.startswith("veltrane compare: mixed.nwk:2: rf: Robinson-Foulds distance")
    module = subprocess.run([sys.executable, "-m", "veltrane_tools", "--help"],
                            capture_output=True, text=True, check=True)
    assert all(f"\n  {name} " in module.stdout for name in vt.METRICS)


@pytest.mark.parametrize("form", ["csv", "json"])
def test_score_reads_standard_input_and_states(capsys, monkeypatch, form):
    monkeypatch.setattr(sys, "stdin", io.StringIO("[&R] (('C',A)X,(B,D)X);"))
    status, out, _ = run(capsys, "score", "-", "--matrix", "cells.csv", "--states", "states.json",
                         "--metrics", "parsimony,likelihood", "--mutation-rate", "0.3",
                         "--format", form)
    rows = json.loads(out) if form == "json" else list(csv.DictReader(io.StringIO(out)))
    tree, cells = "((C,A)X,(B,D)X);", [TABLE[c] for c in "CABD"]
    likelihood = veltrane.likelihood_score(tree, cells, STATES, mutation_rate=0.3)
    assert (status, [[r["id"], float(r["parsimony"]), float(r["likelihood"])] for r in rows]) == (
        0, [["stdin", veltrane.parsimony_score(tree, cells, STATES)["parsimony_score"],
             likelihood["log_likelihood"]]])


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        ("", "the following arguments are required: COMMAND"),
        ("compare truth.nwk nope.nwk", "cannot read nope.nwk: No such file or directory"),
        ("compare truth.nwk recon.nwk --metrics rf,foo", "unknown metric 'foo'; choose from rf"),
        ("compare recon.nwk truth.nwk", "recon.nwk holds 2 trees and truth.nwk 1: give one"),
        ("compare truth.nwk recon.nwk --metrics phs", "phs need the character matrix: --matrix"),
        ("score recon.nwk", "score needs the character matrix: --matrix cells.csv"),
        ("score bad.nwk --matrix cells.csv", "bad.nwk: the quote opened at character 1"),
        ("score recon.nwk --matrix bad.csv", "bad.csv, line 2, column 's': 'x' is not"),
        ("score nexus.nwk --matrix cells.csv", "nexus.nwk is a NEXUS file"),
        ("score recon.nwk --matrix cells.csv --states cells.csv", "cells.csv is not JSON"),
        ("score - --matrix -", "'-' (standard input) can be given only once"),
    ],
)
def test_bad_input_exits_2_with_a_message(capsys, monkeypatch, argv, message):
    monkeypatch.setattr(sys, "stdin", io.StringIO("(A,B);"))
    status, out, err = run(capsys, *argv.split())
    assert (status, out) == (2, "") and message in err
