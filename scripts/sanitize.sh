#!/usr/bin/env bash
# Builds veltrane and its C++ unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (the asan preset, into build/asan), then runs the C++ tests and the whole Python test suite
# under them. Any sanitizer report fails the run. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}

cmake --preset asan -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/asan -j"$JOBS"

# Leak reports are off: the interpreter keeps objects alive until exit on purpose (the test
# suite checks leaks itself). Huge requests return null, so bad_alloc reaches the code as in
# a normal build. Every undefined-behaviour finding aborts.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

ctest --test-dir build/asan --output-on-failure -j"$JOBS"

# The interpreter is not built with ASan, so the runtime comes first; libstdc++ too, or the
# first C++ throw trips ASan's __cxa_throw interceptor. PYTHONMALLOC=malloc lets ASan see
# every Python allocation. -s keeps sanitizer reports visible.
asan_preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$asan_preload" PYTHONMALLOC=malloc PYTHONPATH=build/asan "$PYTHON" -c '
import sys, veltrane
assert "build/asan" in veltrane.__file__, veltrane.__file__
print("sanitized module:", veltrane.__file__)'
LD_PRELOAD="$asan_preload" PYTHONMALLOC=malloc PYTHONPATH=build/asan \
    "$PYTHON" -m pytest tests/python -s -q "$@"
