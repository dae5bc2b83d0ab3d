"""Short fuzzing runs (the long ones: fuzz/run.sh), and inputs too large for memory: MemoryError,
and the process stays usable."""

import os
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.mark.parametrize("seed", [11, 12, 13])
def test_random_hostile_calls_of_every_function(seed):
    # A subprocess, so that a crash is reported with its seed instead of ending the test run.
    fuzzer = Path(__file__).resolve().parents[2] / "fuzz" / "api_fuzz.py"
    proc = subprocess.run([sys.executable, str(fuzzer), "--calls", "700", "--seed", str(seed)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and "calls=700 " in proc.stdout, proc.stdout + proc.stderr


OVERSIZED = """
import json, resource, veltrane

def usable():
    return repr([veltrane.triplets_correct_parallel("((A,B),(C,D));", "((A,C),(B,D));", 20000,
                                                    seed=1),
                 veltrane.phs_optimized("((A,B)X,C)R;", [[1], [1], [2]], {"X": [0]})["phs_score"]])

expected = usable()  # also starts the worker pool before the cap
star = "(" + ",".join("t%d" % i for i in range(40000)) + ")R;"
deep = "(" * 2999 + "t0" + "".join(",t%d)n%d" % (i, i) for i in range(1, 3000)) + ";"
cases = [  # rows padded to the longest, 40000 x 100000; 3000 inferred vectors of 10**6
    lambda: veltrane.phs_optimized(star, [[1] * 100000] + [[1]] * 39999, {"R": [0]}),
    lambda: veltrane.parsimony_score(deep, [[1] * 1_000_000]),
    lambda: veltrane.likelihood_score("(A,B);", [range(2**40), [1]]),
    lambda: veltrane.triplets_correct_ultra("(" * 30_000_000 + ";", "(A,B,C);")]
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (vm + 1536 * 2**20, resource.RLIM_INFINITY))
outcomes = []
for call in cases:
    try:
        outcomes.append(repr(call()))
    except BaseException as exc:
        outcomes.append(type(exc).__name__)
    outcomes.append(usable() == expected)
print(json.dumps(outcomes))
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the cap allows")
def test_inputs_too_large_for_memory_raise_memory_error(python_child):
    assert python_child(OVERSIZED) == ["MemoryError", True] * 4
