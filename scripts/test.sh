#!/bin/bash
# Builds everything and runs the whole suite: the native byte-level tests (also under ASan and
# UBSan), a short fuzz run of every parser, then the Windows programs and the interop scripts under
# Wine in the build tree's own prefix.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== native build"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/native -j"$jobs" 2>&1 | grep -E 'warning|error' || true
(cd build/native && ctest --output-on-failure -j"$jobs")

echo "== native build under ASan and UBSan"
CC=clang CXX=clang++ cmake -S . -B build/native-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_SANITIZE=ON >/dev/null
cmake --build build/native-asan -j"$jobs" 2>&1 | grep -E 'warning|error' || true
(cd build/native-asan && ctest --output-on-failure -j"$jobs")

echo "== fuzz"
bash scripts/fuzz.sh 20

echo "== windows build"
. scripts/windows-suite.sh
quill_build_windows
trap quill_windows_suite_stop EXIT
quill_windows_suite_start
(cd build/win64 && ctest --output-on-failure -j1 --timeout 900)
