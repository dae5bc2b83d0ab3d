#!/usr/bin/env bash
# Builds the libFuzzer Newick target with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/fuzz/newick_fuzzer. Needs clang 14 and its runtime (Debian: clang-14 libclang-rt-14-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${CXX:-clang++-14}
if ! command -v "$CXX" >/dev/null; then
    apt_get() { if [ "$(id -u)" -eq 0 ]; then apt-get "$@"; else sudo apt-get "$@"; fi; }
    apt_get update -qq
    DEBIAN_FRONTEND=noninteractive apt_get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

mkdir -p build/fuzz
# The core only: the target never touches Python.
mapfile -t sources < <(ls src/*.cpp src/tree/*.cpp src/random/*.cpp src/pool/*.cpp)
"$CXX" -std=c++20 -O1 -g -pthread -Isrc \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
    "${sources[@]}" fuzz/newick_fuzzer.cpp -o build/fuzz/newick_fuzzer
echo "built build/fuzz/newick_fuzzer"
