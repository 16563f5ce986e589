#!/bin/bash
# Builds the fuzz targets (clang, ASan and UBSan), makes the seed corpus when it is missing, and
# runs every target for SECONDS (default 20). Prints each target's executions and findings; fails
# when any target found a crash, a sanitizer report, a broken invariant or a hang.
# Usage: fuzz.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-20}"
build=build/fuzz
corpus=build/fuzz-corpus

echo "== fuzz build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_targets -j2 2>&1 | grep -E 'warning|error' || true
cmake --build "$build" --target fuzz_targets -j2 >/dev/null

[ -d "$corpus/seed" ] || bash tests/fuzz/make-corpus.sh "$corpus/seed"

failed=0
for source in tests/fuzz/fuzz_*.cpp; do
    target="$(basename "$source" .cpp)"
    work="$corpus/work/$target"
    findings="$corpus/findings/$target"
    mkdir -p "$work" "$findings" "$corpus/seed/$target"
    log="$corpus/$target.log"
    status=0
    # New inputs go to the working corpus (the first folder); the seeds are only read.
    "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
        -artifact_prefix="$findings/" "$work" "$corpus/seed/$target" >"$log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    found=$(find "$findings" -type f | wc -l)
    printf '%-26s %12s executions  %d findings  corpus %d\n' "$target" "${executions:-?}" "$found" \
        "$(find "$work" -type f | wc -l)"
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=1
        grep -E 'invariant failed|ERROR:|SUMMARY:|runtime error' "$log" | head -5 | sed 's/^/    /'
        echo "    inputs in $findings, log in $log"
    fi
done
exit "$failed"
