"""Inputs that need more memory than the process may have raise MemoryError, not a crash, and
the process stays usable. The limit is an address-space cap set in a child process."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import json, resource, veltrane

    def caterpillar(n, inner=False):
        names = ["t%d" % i for i in range(n)]
        out = "(" * (n - 1) + names[0]
        for i in range(1, n):
            out += "," + names[i] + ")" + ("n%d" % i if inner else "")
        return out + ";"

    SMALL = "((A,B)X,(C,D)Y)R;"
    def usable():
        out = (veltrane.triplets_correct_parallel(SMALL, SMALL, 20000, seed=1),
               veltrane.parsimony_score(SMALL, [[1], [1], [2], [0]]),
               veltrane.phs_optimized(SMALL, [[1], [1], [2], [0]], {"X": [0]}, 0.1))
        for result in out:
            result.pop("computation_time_ms", None)
        return out

    expected = repr(usable())           # also starts the worker pool before the cap
    star = "(" + ",".join("t%d" % i for i in range(40000)) + ")R;"
    deep = caterpillar(3000, inner=True)
    nested = "(" * 30_000_000 + ";"
    cases = {
        # Every row padded to the longest: 40000 x 100000 codes.
        "phs_padded_rows": lambda: veltrane.phs_optimized(
            star, [[1] * 100000] + [[1]] * 39999, {"R": [0]}),
        # One inferred vector of row 0's length per labelled internal node: 3000 x 10**6.
        "inferred_states": lambda: veltrane.parsimony_score(deep, [[1] * 1_000_000]),
        # A row that never ends.
        "endless_row": lambda: veltrane.likelihood_score("(A,B);", [range(2**40), [1]]),
        # Thirty million nested nodes.
        "huge_tree": lambda: veltrane.triplets_correct_ultra(nested, "(A,B,C);"),
    }

    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + 1536 * 2**20, resource.RLIM_INFINITY))
    outcomes = {}
    for name, call in cases.items():
        try:
            call()
            outcomes[name] = "returned"
        except MemoryError:
            outcomes[name] = "MemoryError"
        except BaseException as exc:
            outcomes[name] = type(exc).__name__ + ": " + str(exc)
        outcomes[name + "_then_usable"] = repr(usable()) == expected
    print(json.dumps(outcomes))
    """
)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves more address space than the cap allows",
)
def test_inputs_too_large_for_memory_raise_memory_error():
    proc = subprocess.run(
        [sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    outcomes = json.loads(proc.stdout.strip().splitlines()[-1])
    names = ["phs_padded_rows", "inferred_states", "endless_row", "huge_tree"]
    assert outcomes == {
        key: value
        for name in names
        for key, value in ((name, "MemoryError"), (name + "_then_usable", True))
    }
