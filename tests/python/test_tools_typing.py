"""veltrane_tools is mypy --strict clean, as its py.typed marker promises."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent.parent / "src" / "veltrane_tools"


def test_the_package_is_strictly_typed():
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", "/dev/null", str(PACKAGE)],
        capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
