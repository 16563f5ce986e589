# Sourced by the shell tests (not a test itself): runs quill.exe in the build tree's prefix and gives
# each test a temporary folder of its own, removed at exit.
set -euo pipefail
: "${QUILL_EXE:?}" "${QUILL_WINE_RUN:?}" "${QUILL_TESTDATA_UNIX:?}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
data="$QUILL_TESTDATA_UNIX"
failures=0

# Unix path to the Windows path Wine sees (Z: is the root).
winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }
quill() { "$QUILL_WINE_RUN" "$QUILL_EXE" "$@"; }
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
finish() {
    if [ "$failures" -ne 0 ]; then echo "$failures failure(s)" >&2; exit 1; fi
    echo "all passed"
}
# A file of the given size with bytes that differ along the file.
make_file() { head -c "$2" /dev/urandom > "$1"; }
legacy=(-provider legacy -provider default)
decrypt() {  # envelope recipient output
    openssl cms -decrypt -inform DER -in "$1" -recip "$data/$2.pem" -inkey "$data/$2.key.pem" -binary \
        -out "$3" "${legacy[@]}" 2>"$work/openssl.err"
}
