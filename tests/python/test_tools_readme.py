"""The README's "Using veltrane on real data" runs on its own and shows every helper."""

import doctest
import re
from pathlib import Path

import pytest

import veltrane_tools as vt

README = Path(__file__).resolve().parent.parent.parent / "README.md"


def test_the_real_data_section_runs_in_a_fresh_namespace():
    for module in ("pandas", "distributed"):
        pytest.importorskip(module)
    text = README.read_text()
    section = text[text.index("## Using veltrane on real data\n") :].split("\n## ")[0]
    blocks = re.findall(r"^```python\n(.*?)^```", section, re.MULTILINE | re.DOTALL)
    # Every public name appears, but the metric table and the result's type.
    unused = [name for name in vt.__all__ if f"vt.{name}" not in "".join(blocks)]
    assert unused == ["TripletAgreement", "METRICS"]
    namespace: dict[str, object] = {"__name__": "readme_real_data"}
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for k, block in enumerate(blocks):
        if not block.lstrip().startswith(">>>"):
            exec(compile(block, f"real data block {k}", "exec"), namespace)
            continue
        test = doctest.DocTestParser().get_doctest(block, namespace, f"block {k}", str(README), 0)
        report: list[str] = []
        assert runner.run(test, out=report.append, clear_globs=False).failed == 0, report
        namespace.update(test.globs)
