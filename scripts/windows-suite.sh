# Sourced by test.sh and soak.sh: builds the Windows programs and brings up what their tests run in
# (Xvfb, the build tree's own Wine prefix, Wine's desktop held open). quill_windows_suite_stop undoes it.
quill_build_windows() {
    local jobs
    jobs=$(nproc)
    cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/win64 -j"$jobs" 2>&1 | grep -E 'warning|error' || true
    cmake --build build/win64 -j"$jobs" >/dev/null
}

quill_windows_suite_start() {
    . scripts/xvfb.sh
    export QUILL_LOCALE="${QUILL_LOCALE:-ru_RU.UTF-8}"
    . cmake/wine-env.sh 2>/dev/null
    QUILL_SUITE_PREFIX="$PWD/build/win64/wineprefix"
    quill_start_xvfb
    quill_prepare_prefix "$QUILL_SUITE_PREFIX"
    # Keep Wine's desktop process up for the whole run instead of restarting it for every test program.
    $QUILL_FIXED_LAYOUT "$QUILL_WINE" build/win64/desktop_keepalive.exe </dev/null >/dev/null 2>&1 &
}

quill_windows_suite_stop() {
    [ -n "${QUILL_SUITE_PREFIX:-}" ] && WINEPREFIX="$QUILL_SUITE_PREFIX" "$QUILL_WINESERVER" -k 2>/dev/null
    quill_stop_xvfb
    return 0
}
