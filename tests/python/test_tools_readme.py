"""The README's "Using veltrane on real data" runs on its own and shows every helper."""

from __future__ import annotations

import doctest
import re
from pathlib import Path

import pytest

import veltrane_tools as vt

README = Path(__file__).resolve().parent.parent.parent / "README.md"
TITLE = "## Using veltrane on real data\n"


def test_the_real_data_section_runs_in_a_fresh_namespace():
    pytest.importorskip("pandas")
    pytest.importorskip("distributed")
    text = README.read_text()
    start = text.index(TITLE)
    section = text[start : text.index("\n## ", start + len(TITLE))]
    fence = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
    blocks = [m.group(1) for m in fence.finditer(section)]
    code = "".join(blocks)
    # Every public name appears, but the metric table and the result's type.
    assert [name for name in vt.__all__ if f"vt.{name}" not in code] == [
        "TripletAgreement",
        "METRICS",
    ]
    namespace: dict[str, object] = {"__name__": "readme_real_data"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for k, block in enumerate(blocks):
        if block.lstrip().startswith(">>>"):
            test = parser.get_doctest(block, namespace, f"real data block {k}", str(README), 0)
            report: list[str] = []
            assert runner.run(test, out=report.append, clear_globs=False).failed == 0, report
            namespace.update(test.globs)
        else:
            exec(compile(block, f"real data block {k}", "exec"), namespace)
