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


# ---------------------------------------------------------------------------------------------
# Result TypedDicts against real results

TREE = "((A,B)X,(C,D)Y)R;"
OTHER = "((A,C)X,(B,D)Y)R;"
MATRIX = [[1, 0], [1, 2], [2, 0], [0, -1]]
STATES = {"X": [1, 0], "Y": [0, 0], "R": [0, 0]}
WIDE = "(" + ",".join(f"t{i}" for i in range(120)) + ");"

# Calls that between them reach every value of every method_used Literal that small inputs reach.
CALLS = {
    "triplets_correct": [lambda: veltrane.triplets_correct(OTHER, TREE, 50, seed=1)],
    "triplets_correct_fast": [lambda: veltrane.triplets_correct_fast(OTHER, TREE, 50, seed=1)],
    "triplets_correct_ultra": [
        lambda: veltrane.triplets_correct_ultra(OTHER, TREE),
        lambda: veltrane.triplets_correct_ultra(WIDE, WIDE, 10, seed=1),
    ],
    "triplets_correct_parallel": [
        lambda: veltrane.triplets_correct_parallel(OTHER, TREE),
        lambda: veltrane.triplets_correct_parallel(WIDE, WIDE, 10, seed=1, max_threads=1),
    ],
    "triplets_correct_optimized": [
        lambda: veltrane.triplets_correct_optimized(OTHER, TREE),
        lambda: veltrane.triplets_correct_optimized(WIDE, WIDE, 10, seed=1, max_threads=1),
    ],
    "phs_optimized": [
        lambda: veltrane.phs_optimized(TREE, MATRIX, STATES),
        lambda: veltrane.phs_optimized("(A);", [[1]], {}),
    ],
    "robinson_foulds_distance": [lambda: veltrane.robinson_foulds_distance(OTHER, TREE)],
    "robinson_foulds_distance_normalized": [
        lambda: veltrane.robinson_foulds_distance_normalized(OTHER, TREE)
    ],
    "parsimony_score": [
        lambda: veltrane.parsimony_score(TREE, MATRIX),
        lambda: veltrane.parsimony_score(TREE, MATRIX, STATES),
    ],
    "parsimony_p_value": [lambda: veltrane.parsimony_p_value(TREE, MATRIX)],
    "likelihood_score": [
        lambda: veltrane.likelihood_score(TREE, MATRIX),
        lambda: veltrane.likelihood_score(TREE, []),
    ],
    "likelihood_distance": [lambda: veltrane.likelihood_distance(OTHER, TREE, MATRIX)],
}


def typed_dicts(tree: ast.Module) -> dict[str, list[tuple[str, ast.expr]]]:
    """TypedDict name -> its fields in order (inherited fields first)."""
    out: dict[str, list[tuple[str, ast.expr]]] = {}
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        bases = [b.id for b in node.bases if isinstance(b, ast.Name)]
        if "TypedDict" not in bases and not any(b in out for b in bases):
            continue
        fields = [f for b in bases if b in out for f in out[b]]
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                fields.append((item.target.id, item.annotation))
        out[node.name] = fields
    return out


def literal_values(annotation: ast.expr) -> list[object]:
    """The values of Literal[a, b, ...]."""
    return ast.literal_eval(ast.unparse(annotation).removeprefix("Literal"))


def check_value(value: object, annotation: ast.expr) -> None:
    text = ast.unparse(annotation)
    if text in ("int", "float", "bool", "str"):
        assert type(value).__name__ == text, (value, text)
    elif text == "dict[int, float]":
        assert isinstance(value, dict) and list(value) == [0]
        assert type(value[0]) is float
    elif text.startswith("Literal["):
        assert value in literal_values(annotation), (value, text)
    else:
        raise AssertionError(f"no check for annotation {text}")


def return_types() -> dict[str, str]:
    tree = ast.parse(stub_text())
    return {
        n.name: ast.unparse(n.returns)
        for n in tree.body
        if isinstance(n, ast.FunctionDef) and n.returns is not None
    }


class TestResultTypes:
    @pytest.mark.parametrize("name", list(CALLS))
    def test_result_matches_its_typed_dict(self, name):
        tree = ast.parse(stub_text())
        fields = typed_dicts(tree)[return_types()[name]]
        for call in CALLS[name]:
            result = call()
            assert type(result) is dict
            assert list(result) == [key for key, _ in fields]
            for key, annotation in fields:
                check_value(result[key], annotation)

    def test_every_method_literal_is_reached(self):
        """Each method_used value the stub names is produced by one of the calls above, except
        the PHS parallel road, which needs thousands of leaf pairs."""
        tree = ast.parse(stub_text())
        dicts = typed_dicts(tree)
        seen = set()
        for name, calls in CALLS.items():
            for call in calls:
                result = call()
                if "method_used" in result:
                    seen.add((return_types()[name], result["method_used"]))
        declared = set()
        for dict_name, fields in dicts.items():
            for key, annotation in fields:
                if key == "method_used":
                    declared.update((dict_name, value) for value in literal_values(annotation))
        assert seen <= declared
        assert declared - seen == {("PhsResult", "optimized_parallel")}
