#!/bin/bash
# Builds the fuzz targets (clang, ASan and UBSan), makes the seed corpus when it is missing, and
# runs every target for SECONDS (default 20). Prints each target's executions and findings; fails
# when any target found a crash, a sanitizer report, a broken invariant or a hang.
# Usage: fuzz.sh [SECONDS [JOBS]]  (JOBS targets run at the same time, default 1)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-20}"
jobs="${2:-1}"
build=build/fuzz
corpus=build/fuzz-corpus

echo "== fuzz build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_targets -j2 2>&1 | grep -E 'warning|error' || true
cmake --build "$build" --target fuzz_targets -j2 >/dev/null

[ -d "$corpus/seed" ] || bash tests/fuzz/make-corpus.sh "$corpus/seed"

run_target() {  # target
    local target=$1 work="$corpus/grown/$1" findings="$corpus/findings/$1" status=0
    mkdir -p "$work" "$findings" "$corpus/seed/$target"
    # New inputs go to the working corpus (the first folder); the seeds are only read.
    "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
        -artifact_prefix="$findings/" "$work" "$corpus/seed/$target" >"$corpus/$target.log" 2>&1 || status=$?
    echo "$status" >"$corpus/$target.status"
}

targets=()
for source in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
running=0
for target in "${targets[@]}"; do
    run_target "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
done
wait

failed=0
for target in "${targets[@]}"; do
    log="$corpus/$target.log" findings="$corpus/findings/$target"
    status=$(cat "$corpus/$target.status")
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    found=$(find "$findings" -type f | wc -l)
    printf '%-26s %12s executions  %d findings  corpus %d\n' "$target" "${executions:-?}" "$found" \
        "$(find "$corpus/grown/$target" -type f | wc -l)"
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=1
        grep -E 'invariant failed|ERROR:|SUMMARY:|runtime error' "$log" | head -5 | sed 's/^/    /'
        echo "    inputs in $findings, log in $log"
    fi
done
exit "$failed"
