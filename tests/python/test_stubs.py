"""The type stub: checked against the module's signatures (stubtest), used by mypy --strict on
an example and on calls it must reject, and its result TypedDicts held against real results."""

from __future__ import annotations

import ast
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import veltrane

HERE = Path(__file__).resolve().parent
REPO_STUBS = HERE.parent.parent / "stubs"
STUB_PACKAGE = "veltrane-stubs"


def module_dir() -> Path:
    return Path(veltrane.__file__).resolve().parent


def stubs_installed() -> bool:
    """True when the module comes from an installed wheel, which carries the stub beside it."""
    return (module_dir() / STUB_PACKAGE / "__init__.pyi").is_file()


def stub_text() -> str:
    root = module_dir() if stubs_installed() else REPO_STUBS
    return (root / STUB_PACKAGE / "__init__.pyi").read_text()


def run_mypy_tool(args: list[str], tmp_path: Path) -> subprocess.CompletedProcess[str]:
    """Runs a mypy tool in a subprocess. An installed wheel must be found as it is; a build
    tree is found through PYTHONPATH, with the source tree's stub package."""
    pytest.importorskip("mypy")
    env = dict(os.environ)
    if not stubs_installed():
        paths = [str(REPO_STUBS), str(module_dir()), env.get("PYTHONPATH", "")]
        env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    env.pop("MYPYPATH", None)
    env["MYPY_CACHE_DIR"] = str(tmp_path / "cache")
    return subprocess.run(
        [sys.executable, "-m", *args],
        capture_output=True,
        text=True,
        cwd=tmp_path,  # no configuration file of the caller's applies
        env=env,
        timeout=300,
    )


class TestAgainstTheModule:
    def test_stubtest_finds_no_difference(self, tmp_path):
        proc = run_mypy_tool(["mypy.stubtest", "veltrane"], tmp_path)
        assert proc.returncode == 0, proc.stdout + proc.stderr

    def test_stub_lists_exactly_the_exported_functions(self):
        tree = ast.parse(stub_text())
        functions = [n.name for n in tree.body if isinstance(n, ast.FunctionDef)]
        assert functions == veltrane.__all__

    def test_installed_module_ships_its_stub(self):
        if module_dir().name not in ("site-packages", "dist-packages"):
            pytest.skip("the module runs from a build tree, not from an installed wheel")
        assert stubs_installed()


class TestMypyStrict:
    def test_example_using_every_function_is_clean(self, tmp_path):
        example = HERE / "typing_example.py"
        proc = run_mypy_tool(["mypy", "--strict", str(example)], tmp_path)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout.strip() == "Success: no issues found in 1 source file"
        used = set(re.findall(r"veltrane\.(\w+)\(", example.read_text()))
        assert used == set(veltrane.__all__)

    def test_every_wrong_call_is_reported(self, tmp_path):
        source = HERE / "typing_wrong_calls.py"
        expected = {}
        for number, line in enumerate(source.read_text().splitlines(), start=1):
            if line.startswith("# wrong: "):
                expected[number + 1] = line.removeprefix("# wrong: ")
        proc = run_mypy_tool(["mypy", "--strict", str(source)], tmp_path)
        assert proc.returncode == 1, proc.stdout + proc.stderr
        errors: dict[int, list[str]] = {}
        for match in re.finditer(r"^.*?:(\d+): error: (.*)$", proc.stdout, re.MULTILINE):
            errors.setdefault(int(match.group(1)), []).append(match.group(2))
        assert sorted(errors) == sorted(expected), proc.stdout
        for number, fragment in expected.items():
            assert any(fragment in message for message in errors[number]), (fragment, errors)

    def test_example_runs(self):
        import typing_example

        values = typing_example.main()
        assert len(values) == 11


# Result TypedDicts against real results: stubtest cannot see their keys or Literal values.
T1, T2 = "((A,B)X,(C,D)Y)R;", "((A,C)X,(B,D)Y)R;"
M = [[1, 0], [1, 2], [2, 0], [0, -1]]
WIDE = "(" + ",".join(f"t{i}" for i in range(120)) + ");"
TRIPLETS = [n for n in veltrane.__all__ if n.startswith("triplets")]
CALLS = [  # (function, args, kwargs): together they reach every method_used of small inputs
    *[(n, (T1, T2, 50), {"seed": 1}) for n in TRIPLETS],
    ("triplets_correct_ultra", (WIDE, WIDE, 10), {"seed": 1}),
    *[(n, (WIDE, WIDE, 10), {"seed": 1, "max_threads": 1}) for n in TRIPLETS[3:]],
    ("phs_optimized", (T1, M, {"X": [0, 0]}), {}),
    ("phs_optimized", ("(A);", [[1]], {}), {}),
    ("robinson_foulds_distance", (T1, T2), {}),
    ("robinson_foulds_distance_normalized", (T1, T2), {}),
    ("parsimony_score", (T1, M), {}),
    ("parsimony_score", (T1, M, {}), {}),
    ("parsimony_p_value", (T1, M), {}),
    ("likelihood_score", (T1, M), {}),
    ("likelihood_score", (T1, []), {}),
    ("likelihood_distance", (T1, T2, M), {}),
]


def test_results_match_their_typed_dicts():
    tree = ast.parse(stub_text())
    fields: dict[str, list[tuple[str, str]]] = {}  # TypedDict -> fields, inherited ones first
    for node in tree.body:
        bases = [b.id for b in getattr(node, "bases", []) if isinstance(b, ast.Name)]
        if isinstance(node, ast.ClassDef) and ("TypedDict" in bases or set(bases) & set(fields)):
            fields[node.name] = [f for b in bases for f in fields.get(b, [])] + [
                (item.target.id, ast.unparse(item.annotation))
                for item in node.body if isinstance(item, ast.AnnAssign)
            ]
    returns = {n.name: ast.unparse(n.returns) for n in tree.body if isinstance(n, ast.FunctionDef)}
    declared = {(d, x) for d, fs in fields.items() for k, a in fs if k == "method_used"
                for x in ast.literal_eval(a.removeprefix("Literal"))}
    seen = set()
    for name, args, kwargs in CALLS:
        result, typed = getattr(veltrane, name)(*args, **kwargs), returns[name]
        assert list(result) == [k for k, _ in fields[typed]], name
        for key, annotation in fields[typed]:
            value = result[key]
            if annotation == "dict[int, float]":
                assert list(value) == [0] and type(value[0]) is float
            elif annotation.startswith("Literal["):
                seen.add((typed, value))
            else:
                assert type(value).__name__ == annotation, (name, key)
    # Every Literal value is produced, but the PHS parallel road, which needs thousands of pairs.
    assert declared - seen == {("PhsResult", "optimized_parallel")} and seen <= declared
