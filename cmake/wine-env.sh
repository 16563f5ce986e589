# Sourced by the scripts that run Windows programs: the 64-bit Wine loader and server, called
# directly (Debian's /usr/bin/wine picks the 32-bit loader first, which not every kernel can run).
QUILL_WINE=/usr/lib/wine/wine64
QUILL_WINESERVER=/usr/lib/wine/wineserver64
# Put before "$QUILL_WINE": the program starts without address-space randomization. With it, Wine's
# start now and then finds a fixed address it needs already taken ("failed to map the shared user
# data") and exits with status 1 before the program has run; without it the layout is the same every time.
QUILL_FIXED_LAYOUT="setarch $(uname -m) -R"
export WINELOADER="$QUILL_WINE"
export WINESERVER="$QUILL_WINESERVER"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL="${QUILL_LOCALE:-ru_RU.UTF-8}"

# True when Wine's 32-bit loader runs here (natively or through the emulator scripts/enable-32bit.sh
# registers).
quill_runs_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# A prefix made while 32-bit programs could not run has no 32-bit system folder. Wine's update adds it
# in place, keeping the prefix's keys, stores and settings.
quill_add_32bit_system() {
    [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] && return 0
    quill_runs_32bit || return 0
    rm -f "$WINEPREFIX/.update-timestamp"
    timeout 300 $QUILL_FIXED_LAYOUT "$QUILL_WINE" wineboot -u >/dev/null 2>&1 || true
}

# Creates the prefix once (with the settings a test run needs) and starts its server and services.
quill_prepare_prefix() {
    export WINEPREFIX="$1"
    if [ ! -f "$WINEPREFIX/.quill-ready" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$(dirname "$WINEPREFIX")"
        timeout 300 $QUILL_FIXED_LAYOUT "$QUILL_WINE" wineboot -i >/dev/null 2>&1 || true
        # Without a window manager every hide/destroy of a top-level window waits about 2 s.
        timeout 60 $QUILL_FIXED_LAYOUT "$QUILL_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        # A crash exits with a backtrace instead of a dialog that would block the run.
        timeout 60 $QUILL_FIXED_LAYOUT "$QUILL_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        timeout 60 "$QUILL_WINESERVER" -w || true
        [ -f "$WINEPREFIX/system.reg" ] || { echo "cannot create the Wine prefix $WINEPREFIX" >&2; return 1; }
        touch "$WINEPREFIX/.quill-ready"
    fi
    quill_add_32bit_system
    quill_start_server
    # Start Wine's own services now, with no terminal or pipe attached: started later by a program
    # they would inherit its output and keep the reader of that output waiting forever.
    timeout 60 $QUILL_FIXED_LAYOUT "$QUILL_WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# True when an X display answers (without xdpyinfo installed, when one is named).
quill_display_works() {
    [ -n "${DISPLAY:-}" ] || return 1
    command -v xdpyinfo >/dev/null 2>&1 || return 0
    xdpyinfo >/dev/null 2>&1
}

# Starts the prefix's server unless one runs. Wine's services start with the server and keep the
# display they found for as long as it runs; services without one make every windowed program
# started later hang, even under a display. So only a server started under a display persists (a
# program then starts in milliseconds instead of half a second); one started without a display ends
# by itself a few seconds after its last program, and a later start under a display waits for that
# end rather than join it.
quill_start_server() {
    local no_display="$WINEPREFIX/.quill-server-without-display" status=0
    if ! quill_display_works; then
        "$QUILL_WINESERVER" >/dev/null 2>&1 || status=$?
        # Only the server started here is known to lack a display.
        [ "$status" -eq 0 ] && touch "$no_display"
        return 0
    fi
    "$QUILL_WINESERVER" -p >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 0 ] && [ -f "$no_display" ]; then
        # Bounded: a program without a display may still be at work in it, or the mark is left from
        # a server that has ended since and another one runs.
        timeout 60 "$QUILL_WINESERVER" -w >/dev/null 2>&1 || true
        "$QUILL_WINESERVER" -p >/dev/null 2>&1 || true
    fi
    rm -f "$no_display"
}
