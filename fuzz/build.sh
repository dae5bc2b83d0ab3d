#!/usr/bin/env bash
# Builds the libFuzzer target (CMake option VELTRANE_FUZZ: the core and fuzz/newick_fuzzer.cpp
# with AddressSanitizer and UndefinedBehaviorSanitizer) into build/fuzz/newick_fuzzer. Needs
# clang 14 and its runtime (Debian: clang-14 libclang-rt-14-dev), installed here when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${CXX:-clang++-14}
if ! command -v "$CXX" >/dev/null; then
    apt_get() { if [ "$(id -u)" -eq 0 ]; then apt-get "$@"; else sudo apt-get "$@"; fi; }
    apt_get update -qq
    DEBIAN_FRONTEND=noninteractive apt_get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER="$CXX" -DVELTRANE_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build build/fuzz --target newick_fuzzer -j"${JOBS:-2}"
echo "built build/fuzz/newick_fuzzer"
