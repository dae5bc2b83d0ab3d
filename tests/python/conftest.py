"""Fixtures the whole suite uses."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import veltrane


@pytest.fixture(scope="session")
def panic_exception() -> type:
    # The PanicException type, which the module does not export, from a real failure.
    return pytest.raises(BaseException, veltrane.robinson_foulds_distance, "(A,);", "(A,B);").type


@pytest.fixture(scope="session")
def python_child():
    # Runs code in a fresh interpreter (so that its pool is made anew) with the pool-size
    # variables replaced by env, and returns the JSON value printed on its last output line.
    def run(code: str, stdin: str | None = None, **env: str):
        environ = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")} | env
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], input=stdin,
                              capture_output=True, text=True, env=environ, timeout=300)
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout.strip().splitlines()[-1])

    return run
