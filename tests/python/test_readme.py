"""The README's Python examples run and show what they claim.

Every ```python block runs, in file order, in one shared namespace. A block whose first line
starts with ">>>" is a doctest: its printed values are checked. Other blocks are plain scripts.
"""

from __future__ import annotations

import doctest
import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent.parent / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def python_blocks() -> list[tuple[int, str]]:
    text = README.read_text()
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in FENCE.finditer(text)]


def test_readme_has_examples_of_every_function():
    import veltrane

    code = "".join(block for _, block in python_blocks())
    missing = [name for name in veltrane.__all__ if f"veltrane.{name}(" not in code]
    assert missing == []


def test_readme_blocks_run_in_order():
    namespace: dict[str, object] = {"__name__": "readme"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    blocks = python_blocks()
    assert blocks, "the README has no python blocks"
    for line, block in blocks:
        if block.lstrip().startswith(">>>"):
            test = parser.get_doctest(block, namespace, f"README.md:{line}", str(README), line)
            report: list[str] = []
            result = runner.run(test, out=report.append, clear_globs=False)
            assert result.failed == 0, "".join(report)
            namespace.update(test.globs)
        else:
            exec(compile(block, f"README.md:{line}", "exec"), namespace)
