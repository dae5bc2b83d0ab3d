"""The README's Python examples and examples/lineage_demo.py run and show what they claim.

Every ```python block of the README runs, in file order, in one shared namespace. A block whose
first line starts with ">>>" is a doctest: its printed values are checked."""

import doctest
import re
import subprocess
import sys
from pathlib import Path

import veltrane

ROOT = Path(__file__).resolve().parent.parent.parent
README = ROOT / "README.md"


def test_readme_blocks_run_in_order_and_use_every_function():
    text = README.read_text()
    fence = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
    blocks = [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in fence.finditer(text)]
    assert [n for n in veltrane.__all__ if all(f"veltrane.{n}(" not in b for _, b in blocks)] == []
    namespace: dict[str, object] = {"__name__": "readme"}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for line, block in blocks:
        if block.lstrip().startswith(">>>"):
            test = doctest.DocTestParser().get_doctest(block, namespace, f"README.md:{line}",
                                                       str(README), line)
            report: list[str] = []
            result = runner.run(test, out=report.append, clear_globs=False)
            assert result.failed == 0, "".join(report)
            namespace.update(test.globs)
        else:
            exec(compile(block, f"README.md:{line}", "exec"), namespace)


def test_demo_reports_every_function_and_is_reproducible():
    demo, small = [sys.executable, ROOT / "examples" / "lineage_demo.py"], [
        "--generations", "5", "--sites", "12", "--rotations", "4", "--seed"]
    runs = [subprocess.run(demo + args, capture_output=True, text=True, timeout=300).stdout
            for args in ([], small + ["3"], small + ["3"], small + ["4"])]
    assert "256 cells" in runs[0] and "32 cells" in runs[1] and runs[1] == runs[2] != runs[3]
    assert [name for name in veltrane.__all__ if f"\n{name} " not in runs[0]] == []
