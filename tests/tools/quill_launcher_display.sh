#!/bin/bash
# ./quill called without a display (over SSH, from a script or cron) in a prefix of its own, then a
# windowed program in the same prefix under the suite's display: the first calls leave no server
# behind, so the program meets services that have the display, shows its window and writes its files.
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"
QUILL_LOCALE=C.UTF-8 . "$QUILL_SOURCE_DIR/cmake/wine-env.sh"

if [ -z "${DISPLAY:-}" ] || ! command -v xwininfo >/dev/null; then
    echo "SKIP: needs the suite's display and xwininfo (Debian package x11-utils)"
    exit 77
fi
# The launcher as shipped, in a tree whose build folder is this build: it finds no sources there, so
# it runs the programs as built instead of building.
root="$work/root"
mkdir -p "$root/build"
cp "$QUILL_SOURCE_DIR/quill" "$root/quill"
ln -s "$QUILL_SOURCE_DIR/cmake" "$root/cmake"
ln -s "$QUILL_BUILD_DIR" "$root/build/win64"
export WINEPREFIX="$work/prefix"
stop_server() { "$QUILL_WINESERVER" -k >/dev/null 2>&1 || true; rm -rf "$work"; }
trap stop_server EXIT
trap 'exit 143' TERM INT
without_display() { timeout 600 env -u DISPLAY "$root/quill" "$@"; }

# A new user's first calls: the prefix is made, a key imported and a self-decoding program packed.
make_file "$work/one.bin" 70000
make_file "$work/two.bin" 3000
without_display import "$data/alice.p12" --password test >"$work/out.txt" 2>&1 || fail "import: $(tail -2 "$work/out.txt")"
without_display pack --no-verify-certs --sfx "$work/prog.exe" --to "$data/alice.cer" "$work/one.bin" "$work/two.bin" \
    >"$work/out.txt" 2>&1 || fail "pack --sfx: $(tail -2 "$work/out.txt")"
# A pipe reading the launcher sees its end when quill.exe ends, not when Wine's services do.
timeout 60 bash -c 'env -u DISPLAY "$1" certs | cat' _ "$root/quill" >"$work/certs.txt" 2>&1 ||
    fail "./quill certs | cat did not end"
grep -q "Alice Recipient" "$work/certs.txt" || fail "certs does not list the imported key: $(head -2 "$work/certs.txt")"
# The server and the services it started without a display end by themselves.
timeout 120 "$QUILL_WINESERVER" -w || fail "the server of the calls without a display is still running"

# The program under the display: a window of its own and both files complete, until the deadline.
mkdir -p "$work/out"
timeout -k 5 300 $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$work/prog.exe" /x /f "$(winpath "$work/out")" >/dev/null 2>&1 &
program=$!
window() { LC_ALL=C xwininfo -root -tree 2>/dev/null | grep -q '("prog.exe" '; }
complete() { cmp -s "$work/out/one.bin" "$work/one.bin" && cmp -s "$work/out/two.bin" "$work/two.bin"; }
# The window may come and go between two looks once the files are written, so a window seen once
# counts, and so does a program that ended well; a hung one does neither.
seen=0 status=running
deadline=$((SECONDS + 300))
while :; do
    window && seen=1
    [ "$seen" -eq 1 ] && complete && break
    if ! kill -0 "$program" 2>/dev/null; then
        wait "$program" && status=0 || status=$?
        break
    fi
    [ $SECONDS -lt $deadline ] || break
    sleep 0.2
done
complete || fail "the self-decoding program did not write its files ($(ls -l "$work/out" | tail -n +2 | tr '\n' ' '))"
[ "$seen" -eq 1 ] || [ "$status" = 0 ] || fail "the self-decoding program showed no window and ended with $status"
kill "$program" 2>/dev/null || true
wait "$program" 2>/dev/null || true
finish
