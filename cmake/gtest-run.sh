#!/bin/bash
# Runs one GoogleTest program under Wine through the build tree's wrapper (the first argument).
# Every GoogleTest run writes its filter line before anything else, so a run that ends with a failure
# and not a single byte of output never reached the program's main: Wine's loader did not start it.
# That launch, and only that one, is made once more.
wrapper=$1
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$wrapper" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ] && [ ! -s "$log" ]; then
    echo "gtest-run: the program ended with status $status before writing anything; starting it again" >&2
    "$wrapper" "$@"
    status=$?
fi
exit "$status"
