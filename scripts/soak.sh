#!/bin/bash
# Runs the Windows suite N times in a row (default 5) and prints, for every test that failed at
# least once, how many runs it failed in. Exits non-zero when any run had a failure.
set -uo pipefail
runs="${1:-5}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh || exit 1
. scripts/windows-suite.sh
quill_build_windows || exit 1
trap quill_windows_suite_stop EXIT
quill_windows_suite_start
declare -A failures=()
failed_runs=0
for run in $(seq 1 "$runs"); do
    log="build/win64/soak-$run.log"
    started=$SECONDS
    (cd build/win64 && ctest --output-on-failure -j1 --timeout 900) >"$log" 2>&1
    status=$?
    summary=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no summary")
    echo "run $run of $runs: $summary ($((SECONDS - started)) s, log $log)"
    [ "$status" -eq 0 ] && continue
    failed_runs=$((failed_runs + 1))
    # ctest lists each failed test as "NNN:name" in this file.
    while IFS=: read -r _ name; do
        failures[$name]=$(( ${failures[$name]:-0} + 1 ))
    done < build/win64/Testing/Temporary/LastTestsFailed.log
done
echo "== soak: $runs runs, $failed_runs with failures"
for name in "${!failures[@]}"; do
    printf '%3d of %d  %s\n' "${failures[$name]}" "$runs" "$name"
done | sort -rn
[ "$failed_runs" -eq 0 ]
