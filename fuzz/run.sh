#!/usr/bin/env bash
# The longer fuzzing runs (not part of the test suite):
#   bash fuzz/run.sh newick [seconds]   libFuzzer on the Newick reader, the label checks and the
#                                       tree metrics, in the foreground; then merge and report
#   bash fuzz/run.sh campaign [seconds] the same in the background (nohup); follow it in
#                                       build/fuzz/campaign.log, stop it with `bash fuzz/run.sh stop`
#   bash fuzz/run.sh merge              keep the inputs of build/fuzz/corpus that add coverage
#                                       to fuzz/corpus/newick (libFuzzer -merge=1)
#   bash fuzz/run.sh report             executions of the last run and the coverage of the
#                                       merged corpus
#   bash fuzz/run.sh api [seconds]      random hostile arguments to every Python function
# Settings (environment): JOBS parallel fuzzing processes (default 2; libFuzzer -jobs and
# -workers), RUNS executions in total, shared out between the jobs (default: no limit, the
# time decides), SEED for the api run. A run with RUNS stops at whichever limit comes first.
# Crashes land in build/fuzz/crashes; turn each one into a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-newick}
seconds=${2:-600}
jobs=${JOBS:-2}
out=build/fuzz
fuzzer=$out/newick_fuzzer
mkdir -p "$out/crashes" "$out/corpus" "$out/logs"

build() { [ -x "$fuzzer" ] || bash fuzz/build.sh; }

fuzz() {
    build
    cp -n fuzz/corpus/newick/* "$out/corpus/" 2>/dev/null || true
    rm -f "$out"/logs/fuzz-*.log
    local runs=()
    if [ -n "${RUNS:-}" ]; then runs=(-runs=$(((RUNS + jobs - 1) / jobs))); fi
    # With -jobs each process writes fuzz-<n>.log in the working directory: the logs folder.
    # Every job fuzzes until its time (or its share of RUNS) is up.
    (cd "$out/logs" && ASAN_OPTIONS=allocator_may_return_null=1 ../newick_fuzzer \
        -jobs="$jobs" -workers="$jobs" -max_total_time="$seconds" "${runs[@]}" \
        -max_len=4096 -rss_limit_mb=4096 -timeout=30 -dict=../../../fuzz/newick.dict \
        -artifact_prefix=../crashes/ -print_final_stats=1 ../corpus) || true
    merge
    report
}

merge() {
    build
    local before
    before=$(find fuzz/corpus/newick -type f | wc -l)
    ASAN_OPTIONS=allocator_may_return_null=1 "$fuzzer" -merge=1 -max_len=4096 \
        -rss_limit_mb=4096 -timeout=30 fuzz/corpus/newick "$out/corpus" 2>"$out/merge.log" || true
    grep -E "MERGE-OUTER: [0-9]+ new files" "$out/merge.log" || tail -3 "$out/merge.log"
    echo "fuzz/corpus/newick: $before -> $(find fuzz/corpus/newick -type f | wc -l) inputs"
}

report() {
    build
    local executions=0 n
    for log in "$out"/logs/fuzz-*.log; do
        [ -f "$log" ] || continue
        n=$(grep -h "stat::number_of_executed_units" "$log" | tail -1 | awk '{print $2}')
        executions=$((executions + ${n:-0}))
    done
    local crashes
    crashes=$(find "$out/crashes" -type f | wc -l)
    echo "executions in the last run: $executions (over $(ls "$out"/logs/fuzz-*.log 2>/dev/null |
        wc -l) job logs); crash, leak and timeout inputs: $crashes in $out/crashes"
    # Coverage of the merged corpus: the fuzzer reads every input once and stops.
    ASAN_OPTIONS=allocator_may_return_null=1 "$fuzzer" -runs=0 -max_len=4096 fuzz/corpus/newick \
        2>&1 | grep -E "INITED|DONE" | tail -1 | sed 's/^/merged corpus: /'
}

case "$target" in
    newick)
        fuzz
        ;;
    campaign)
        build
        # Its own process group, so that stop ends exactly the campaign and its fuzzers.
        setsid nohup env JOBS="$jobs" RUNS="${RUNS:-}" bash "$0" newick "$seconds" \
            >"$out/campaign.log" 2>&1 &
        echo $! >"$out/campaign.pid"
        echo "campaign started (pid $(cat "$out/campaign.pid"), $jobs jobs, ${seconds} s${RUNS:+" or $RUNS executions"});" \
            "log: $out/campaign.log"
        ;;
    stop)
        # Only the campaign this script started: its process group.
        [ -f "$out/campaign.pid" ] && kill -- "-$(cat "$out/campaign.pid")" 2>/dev/null || true
        ;;
    merge)
        merge
        ;;
    report)
        report
        ;;
    api)
        # The module from build/dev (or PYTHONPATH); each run keeps its seed for replay.
        PYTHONPATH=${PYTHONPATH:-build/dev} "${PYTHON:-python3}" fuzz/api_fuzz.py \
            --seconds "$seconds" --seed "${SEED:-$RANDOM}"
        ;;
    *)
        echo "usage: $0 newick|campaign|stop|merge|report|api [seconds]" >&2
        exit 2
        ;;
esac
