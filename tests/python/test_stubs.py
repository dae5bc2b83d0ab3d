"""The type stub: checked against the module by stubtest, and used by mypy --strict on an
example and on calls it must reject. test_binding holds signatures and result keys to it."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import veltrane

HERE, STUB = Path(__file__).resolve().parent, Path("veltrane-stubs") / "__init__.pyi"
MODULE_DIR, REPO_STUBS = Path(veltrane.__file__).resolve().parent, HERE.parent.parent / "stubs"
INSTALLED = (MODULE_DIR / STUB).is_file()  # an installed wheel carries the stub beside it
STUB_TREE = ast.parse(((MODULE_DIR if INSTALLED else REPO_STUBS) / STUB).read_text())
FUNCTIONS = [n for n in STUB_TREE.body if isinstance(n, ast.FunctionDef)]


def mypy(args: list, tmp_path: Path) -> subprocess.CompletedProcess:
    # A mypy tool in an empty directory (no configuration applies); a build tree is found
    # through PYTHONPATH, with the source tree's stub package.
    pytest.importorskip("mypy")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env["MYPY_CACHE_DIR"] = str(tmp_path)
    if not INSTALLED:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPO_STUBS), str(MODULE_DIR),
                                                          env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=tmp_path, env=env, timeout=300)


def test_stubtest_finds_no_difference_and_the_stub_ships_with_the_module(tmp_path):
    assert INSTALLED or MODULE_DIR.name not in ("site-packages", "dist-packages")
    proc = mypy(["mypy.stubtest", "veltrane"], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_example_using_every_function_runs_and_is_clean(tmp_path):
    import typing_example

    assert len(typing_example.main()) == 12
    example = HERE / "typing_example.py"
    assert set(re.findall(r"veltrane\.(\w+)\(", example.read_text())) == set(veltrane.__all__)
    proc = mypy(["mypy", "--strict", str(example)], tmp_path)
    assert proc.stdout.strip() == "Success: no issues found in 1 source file", proc.stdout


def test_every_wrong_call_is_reported(tmp_path):
    source = HERE / "typing_wrong_calls.py"
    expected = {number + 1: line.removeprefix("# wrong: ") for number, line in
                enumerate(source.read_text().splitlines(), start=1) if line.startswith("# wrong: ")}
    proc = mypy(["mypy", "--strict", str(source)], tmp_path)
    errors: dict = {}
    for match in re.finditer(r"^.*?:(\d+): error: (.*)$", proc.stdout, re.MULTILINE):
        errors.setdefault(int(match.group(1)), []).append(match.group(2))
    assert proc.returncode == 1 and sorted(errors) == sorted(expected), proc.stdout + proc.stderr
    assert [n for n, part in expected.items() if not any(part in e for e in errors[n])] == []


def stub_signatures() -> dict:
    # Function name -> the text signature its stub declares.
    def params(f):
        defaults = [None] * (len(f.args.args) - len(f.args.defaults)) + f.args.defaults
        return ", ".join(a.arg + ("" if d is None else "=" + ast.unparse(d))
                         for a, d in zip(f.args.args, defaults))

    return {f.name: f"({params(f)})" for f in FUNCTIONS}


def result_typed_dicts() -> dict:
    # Function name -> (key, annotation) of its result TypedDict, inherited keys first.
    fields: dict = {}
    for node in STUB_TREE.body:
        bases = [b.id for b in getattr(node, "bases", []) if isinstance(b, ast.Name)]
        if isinstance(node, ast.ClassDef) and ("TypedDict" in bases or set(bases) & set(fields)):
            fields[node.name] = [f for b in bases for f in fields.get(b, [])] + [
                (item.target.id, ast.unparse(item.annotation))
                for item in node.body if isinstance(item, ast.AnnAssign)]
    return {f.name: fields[ast.unparse(f.returns)] for f in FUNCTIONS}
