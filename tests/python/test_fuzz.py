"""Short fuzzing runs (the long ones: fuzz/run.sh) and the hostile inputs they stand for: no
argument reachable from Python crashes, hangs or corrupts the process, and inputs too large
for memory raise MemoryError and leave the process usable."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import veltrane

API_FUZZ = Path(__file__).resolve().parents[2] / "fuzz" / "api_fuzz.py"

@pytest.mark.parametrize("seed", [11, 12, 13])
def test_random_hostile_calls_of_every_function(seed):
    # A subprocess, so that a crash is reported with its seed instead of ending the test run.
    proc = subprocess.run(
        [sys.executable, str(API_FUZZ), "--calls", "700", "--seed", str(seed)],
        capture_output=True,
        text=True,
        timeout=600,
        env=dict(os.environ),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "calls=700 " in proc.stdout


class BadLen(list):
    def __len__(self):
        raise ZeroDivisionError("__len__")


class TestHostileArguments:
    def test_a_failing_len_is_only_a_missing_hint(self):
        good = veltrane.phs_optimized("((A,B)X,C)R;", [[1], [1], [0]], {"X": [0]})
        got = veltrane.phs_optimized(
            "((A,B)X,C)R;", BadLen([BadLen([1]), [1], [0]]), {"X": BadLen([0])}
        )
        assert got["phs_score"] == good["phs_score"]

    def test_an_interrupt_inside_len_is_not_swallowed(self):
        # Found by the API fuzzer: a Ctrl-C that landed in a Python __len__ was dropped with
        # the failing length, and a conversion that never ends kept running.
        class InterruptedLen(list):
            def __len__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            veltrane.parsimony_score("(A,B);", [InterruptedLen([1]), [1]])
        with pytest.raises(KeyboardInterrupt):
            veltrane.parsimony_score("(A,B);", InterruptedLen([[1], [1]]))
        assert veltrane.parsimony_score("(A,B);", [[1], [1]])["parsimony_score"] == 0

    def test_a_row_that_grows_the_matrix_while_it_is_read(self):
        matrix = [[1], [1], [0]]

        class Grow:
            def __index__(self):
                matrix.append([5])
                return 1

        matrix[0] = [Grow()]
        # The list iterator sees the appended row; nothing reads freed memory.
        result = veltrane.phs_optimized("((A,B)X,C)R;", matrix, {"X": [0]})
        assert result["total_pairs"] == 3
        assert len(matrix) == 4


OVERSIZED = textwrap.dedent(
    """
    import json, resource, veltrane

    SMALL, ROWS = "((A,B)X,(C,D)Y)R;", [[1], [1], [2], [0]]
    def usable():
        out = (veltrane.triplets_correct_parallel(SMALL, SMALL, 20000, seed=1),
               veltrane.phs_optimized(SMALL, ROWS, {"X": [0]}, 0.1))
        return repr([{k: v for k, v in r.items() if k != "computation_time_ms"} for r in out])

    expected = usable()  # also starts the worker pool before the cap
    star = "(" + ",".join("t%d" % i for i in range(40000)) + ")R;"
    deep = "(" * 2999 + "t0" + "".join(",t%d)n%d" % (i, i) for i in range(1, 3000)) + ";"
    cases = {
        # Every row padded to the longest: 40000 x 100000 codes.
        "phs_padded_rows": lambda: veltrane.phs_optimized(
            star, [[1] * 100000] + [[1]] * 39999, {"R": [0]}),
        # One inferred vector of row 0's length per labelled internal node: 3000 x 10**6.
        "inferred_states": lambda: veltrane.parsimony_score(deep, [[1] * 1_000_000]),
        "endless_row": lambda: veltrane.likelihood_score("(A,B);", [range(2**40), [1]]),
        "huge_tree": lambda: veltrane.triplets_correct_ultra("(" * 30_000_000 + ";", "(A,B,C);"),
    }
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + 1536 * 2**20, resource.RLIM_INFINITY))
    outcomes = {}
    for name, call in cases.items():
        try:
            call()
            outcomes[name] = "returned"
        except BaseException as exc:
            outcomes[name] = type(exc).__name__
        outcomes[name + "_then_usable"] = usable() == expected
    print(json.dumps(outcomes))
    """
)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves more address space than the cap allows",
)
def test_inputs_too_large_for_memory_raise_memory_error(python_child):
    outcomes = python_child(OVERSIZED)
    names = ["phs_padded_rows", "inferred_states", "endless_row", "huge_tree"]
    assert outcomes == {
        k: v for n in names for k, v in [(n, "MemoryError"), (n + "_then_usable", True)]
    }
