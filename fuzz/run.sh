#!/usr/bin/env bash
# The longer fuzzing runs (not part of the test suite):
#   bash fuzz/run.sh newick [seconds]   libFuzzer on the Newick reader and the tree metrics
#   bash fuzz/run.sh api [seconds]      random hostile arguments to every Python function
# Crashes land in build/fuzz/crashes; turn each one into a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-newick}
seconds=${2:-600}
mkdir -p build/fuzz/crashes build/fuzz/corpus
case "$target" in
    newick)
        [ -x build/fuzz/newick_fuzzer ] || bash fuzz/build.sh
        cp -n fuzz/corpus/newick/* build/fuzz/corpus/ 2>/dev/null || true
        ASAN_OPTIONS=allocator_may_return_null=1 build/fuzz/newick_fuzzer \
            -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=4096 -timeout=30 \
            -dict=fuzz/newick.dict -artifact_prefix=build/fuzz/crashes/ -print_final_stats=1 \
            build/fuzz/corpus
        ;;
    api)
        # The module from build/dev (or PYTHONPATH); each run keeps its seed for replay.
        PYTHONPATH=${PYTHONPATH:-build/dev} "${PYTHON:-python3}" fuzz/api_fuzz.py \
            --seconds "$seconds" --seed "${SEED:-$RANDOM}"
        ;;
    *)
        echo "usage: $0 newick|api [seconds]" >&2
        exit 2
        ;;
esac
