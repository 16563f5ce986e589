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
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win64 -j"$jobs" 2>&1 | grep -E 'warning|error' || true
cmake --build build/win64 -j"$jobs" >/dev/null

. scripts/xvfb.sh
export QUILL_LOCALE="${QUILL_LOCALE:-ru_RU.UTF-8}"
. cmake/wine-env.sh 2>/dev/null
prefix="$root/build/win64/wineprefix"
cleanup() {
    WINEPREFIX="$prefix" "$QUILL_WINESERVER" -k 2>/dev/null || true
    quill_stop_xvfb
}
trap cleanup EXIT
quill_start_xvfb
quill_prepare_prefix "$prefix"
# Keep Wine's desktop process up for the whole run instead of restarting it for every test program.
"$QUILL_WINE" build/win64/desktop_keepalive.exe </dev/null >/dev/null 2>&1 &
(cd build/win64 && ctest --output-on-failure -j1 --timeout 900)
