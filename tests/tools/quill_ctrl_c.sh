#!/bin/bash
# Ctrl+C during quill pack and quill unpack: the run stops with the cancel message and a failure
# status, leaves no partial output, and never deletes the source.
# Two ways a Ctrl+C reaches the program:
#  - SIGINT to the Wine process, as a terminal sends it when the user presses Ctrl+C while
#    ./quill runs (Wine turns it into CTRL_C_EVENT for the console handlers);
#  - GenerateConsoleCtrlEvent in the program's own console, as Windows delivers a Ctrl+C typed
#    there (tests/tools/helpers/console_ctrl_c.cpp starts quill in its console and sends it).
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

helper="$QUILL_BUILD_DIR/console_ctrl_c.exe"
[ -f "$helper" ] || { echo "FAIL: $helper is not built" >&2; exit 1; }
alice=$(winpath "$data/alice.cer")
# 3DES is the slowest cipher: 200 MB take several seconds, long enough to stop a run midway.
pack_options=(--no-verify-certs --alg 3des --to "$alice")
big="$work/src/big"
mkdir -p "$work/src" "$work/back"
make_file "$big" 200000000
big_sum=$(md5sum < "$big")

# Waits until the file matching the glob reaches the size, while the process runs. False when the
# process ended first (the deadline only guards against a hang).
wait_for_growth() {  # pid glob bytes
    local pid=$1 glob=$2 bytes=$3 size file deadline=$((SECONDS + 600))
    while [ $SECONDS -lt $deadline ]; do
        kill -0 "$pid" 2>/dev/null || return 1
        for file in $glob; do
            size=$(stat -c %s "$file" 2>/dev/null || echo 0)
            [ "$size" -ge "$bytes" ] && return 0
        done
        sleep 0.05
    done
    return 1
}
# Runs quill in the background, sends SIGINT to its Wine process once the glob has grown, and
# leaves the exit status in $status.
run_with_sigint() {  # glob bytes quill-arguments...
    local glob=$1 bytes=$2; shift 2
    "$QUILL_WINE_RUN" "$QUILL_EXE" "$@" >"$work/out.txt" 2>"$work/err.txt" &
    local runner=$!  # timeout(1) in the launcher; its one child is the Wine process of quill.exe
    if wait_for_growth "$runner" "$glob" "$bytes"; then
        kill -INT "$(pgrep -P "$runner")" 2>/dev/null || true
    else
        fail "$label: the run ended or stalled before it could be interrupted"
    fi
    status=0
    wait "$runner" || status=$?
}
# The same through the console helper: it sends Ctrl+C when the go file appears.
run_with_console_event() {  # glob bytes quill-arguments...
    local glob=$1 bytes=$2; shift 2
    rm -f "$work/go"
    "$QUILL_WINE_RUN" "$helper" "$(winpath "$work/go")" "$(winpath "$QUILL_EXE")" "$@" >"$work/out.txt" 2>"$work/err.txt" &
    local runner=$!
    if wait_for_growth "$runner" "$glob" "$bytes"; then
        touch "$work/go"
    else
        fail "$label: the run ended or stalled before it could be interrupted"
    fi
    status=0
    wait "$runner" || status=$?
    if [ "$status" -eq 125 ]; then fail "$label: the helper could not send Ctrl+C ($(cat "$work/err.txt"))"; fi
}
# The same typed in a terminal: quill.exe runs under Wine on a pseudo-terminal of its own (as
# ./quill does in the user's terminal) and the byte Ctrl+C makes (0x03) is written to it. The
# terminal's output (stdout and stderr together) goes to err.txt.
run_with_terminal_ctrl_c() {  # glob bytes quill-arguments...
    local glob=$1 bytes=$2; shift 2
    status=0
    (
        . "$QUILL_SOURCE_DIR/cmake/wine-env.sh"
        export WINEPREFIX="${QUILL_WINEPREFIX:-$QUILL_BUILD_DIR/wineprefix}"
        python3 - "$glob" "$bytes" $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$QUILL_EXE" "$@" <<'PY'
import glob, os, pty, select, signal, sys, time
pattern, size, command = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
def grown():
    for name in glob.glob(pattern):
        try:
            if os.path.getsize(name) >= size:
                return True
        except OSError:  # a temporary file removed meanwhile
            pass
    return False
pid, terminal = pty.fork()
if pid == 0:
    os.execvp(command[0], command)
sent, deadline, status = False, time.time() + 120, None
with open(sys.stdout.fileno(), "wb", closefd=False) as out:
    while status is None:
        if time.time() > deadline:
            os.kill(pid, signal.SIGKILL)
        if select.select([terminal], [], [], 0.05)[0]:
            try:
                out.write(os.read(terminal, 65536))
            except OSError:
                pass
        if not sent and grown():
            os.write(terminal, b"\x03")
            sent = True
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(code)
if not sent:
    print("\nthe program ended (status %d) before Ctrl+C was typed" % status)
    sys.exit(125)
sys.exit(status if status >= 0 else 128 - status)
PY
    ) >"$work/err.txt" 2>&1 || status=$?
    : >"$work/out.txt"
    if [ "$status" -eq 125 ]; then fail "$label: Ctrl+C could not be typed ($(tail -2 "$work/err.txt"))"; fi
}
expect_cancelled() {
    [ "$status" -ne 0 ] || fail "$label: exit status 0 after Ctrl+C"
    grep -q "quill: cancelled by Ctrl+C" "$work/err.txt" || fail "$label: no cancel message ($(tail -3 "$work/err.txt"))"
}
source_kept() {
    [ -f "$big" ] && [ "$(md5sum < "$big")" = "$big_sum" ] || fail "$label: the source is gone or changed"
}
only_source_left() {
    local left
    left=$(cd "$work/src" && ls -A)
    [ "$left" = big ] || fail "$label: the folder holds more than the source: $(echo $left)"
}

# Pack, no compression, with --delete: the envelope is being written when Ctrl+C comes.
label="pack, SIGINT"
run_with_sigint "$big.pkcs7" 20000000 pack "${pack_options[@]}" --no-compress --delete "$(winpath "$big")"
expect_cancelled; source_kept; only_source_left

label="pack, console Ctrl+C"
run_with_console_event "$big.pkcs7" 20000000 pack "${pack_options[@]}" --no-compress --delete "$(winpath "$big")"
expect_cancelled; source_kept; only_source_left

label="pack, Ctrl+C typed in a terminal"
run_with_terminal_ctrl_c "$big.pkcs7" 20000000 pack "${pack_options[@]}" --no-compress --delete "$(winpath "$big")"
expect_cancelled; source_kept; only_source_left

# Pack with compression and --wipe: Ctrl+C while the envelope grows as the source is deflated on
# several threads, and on one thread while the temporary gzip file grows; the temporary goes too.
for threads in 2 1; do
    label="compressing pack on $threads threads, SIGINT"
    glob="$big.gz.pkcs7"
    [ "$threads" = 1 ] && glob="$work/src/gz*.tmp"
    run_with_sigint "$glob" 5000000 pack "${pack_options[@]}" --threads "$threads" --wipe "$(winpath "$big")"
    expect_cancelled; source_kept; only_source_left
done

# Unpack: a whole envelope first, then Ctrl+C while the output grows; no partial output remains.
"$QUILL_WINE_RUN" "$QUILL_EXE" pack "${pack_options[@]}" --no-compress --out-dir "$(winpath "$work")" "$(winpath "$big")" \
    >/dev/null 2>"$work/err.txt" || fail "the envelope to unpack was not made ($(tail -2 "$work/err.txt"))"
envelope_sum=$(md5sum < "$work/big.pkcs7")
for way in sigint console_event terminal_ctrl_c; do
    label="unpack, $way"
    "run_with_$way" "$work/back/big" 20000000 unpack --out-dir "$(winpath "$work/back")" "$(winpath "$work/big.pkcs7")"
    expect_cancelled
    if [ -e "$work/back/big" ]; then fail "$label: a partial output was left"; fi
    [ "$(md5sum < "$work/big.pkcs7")" = "$envelope_sum" ] || fail "$label: the envelope changed"
done

finish
