"""Fixtures shared by the whole suite."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

import veltrane


@pytest.fixture(scope="session")
def panic_exception() -> type[BaseException]:
    """The PanicException type, which the module does not export: caught from a real failure."""
    try:
        veltrane.robinson_foulds_distance("(A,);", "(A,B);")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("an unlabelled leaf should have raised PanicException")


@pytest.fixture
def caterpillar5_newick() -> str:
    return "(A,(B,(C,(D,E))));"


@pytest.fixture
def balanced4_newick() -> str:
    return "((A,B),(C,D));"


def run_python(code: str, stdin: str | None = None, **env: str):
    """Runs code in a fresh interpreter (so that its pool is made anew) with the pool-size
    variables replaced by env, and returns the JSON value printed on its last output line."""
    environ = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")} | env
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        input=stdin, capture_output=True, text=True, env=environ, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="session")
def python_child():
    """run_python, for tests that need a fresh interpreter."""
    return run_python
