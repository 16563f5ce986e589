# Sourced: starts one Xvfb for the whole run (Wine's windows need a display) unless DISPLAY works.
quill_start_xvfb() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
    local n
    for n in $(seq 90 120); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        QUILL_XVFB_PID=$!
        export DISPLAY=":$n"
        # Until its socket is there, as long as it runs (a loaded machine can take seconds); a
        # server that ended (the display was taken meanwhile) sends us on to the next number.
        local deadline=$((SECONDS + 120))
        while kill -0 "$QUILL_XVFB_PID" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
            [ -e "/tmp/.X11-unix/X$n" ] && return 0
            sleep 0.1
        done
        kill "$QUILL_XVFB_PID" 2>/dev/null || true
    done
    echo "cannot start Xvfb" >&2
    return 1
}
quill_stop_xvfb() { [ -n "${QUILL_XVFB_PID:-}" ] && kill "$QUILL_XVFB_PID" 2>/dev/null; return 0; }
