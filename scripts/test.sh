#!/usr/bin/env bash
# Installs what the tests need, builds and installs veltrane, then runs every C++ and Python test.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}

# GoogleTest comes from Debian; install it only when it is missing.
if [ ! -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
        sudo apt-get update -qq
        sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    fi
fi

"$PYTHON" -m pip install --quiet --disable-pip-version-check -r requirements-test.txt
"$PYTHON" -m pip install --quiet --disable-pip-version-check .

# C++ unit tests: the core library only, with warnings as errors.
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DVELTRANE_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/tests -j"$JOBS"
ctest --test-dir build/tests --output-on-failure -j"$JOBS"

# Python tests against the installed module (run from a directory without a veltrane folder).
"$PYTHON" -m pytest tests/python "$@"
