#!/bin/bash
# quill unpack, info and settings as a user meets them: outputs, refusals, exit statuses and reports.
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

expect_status() {  # label expected command...
    local label=$1 expected=$2; shift 2
    local status=0
    [ "$1" = quill ] && { shift; set -- "$QUILL_WINE_RUN" "$QUILL_EXE" "$@"; }
    # A dialog would wait forever: a run that does not end in time counts as a failure.
    timeout 300 "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$label: exit status $status, expected $expected ($(tail -qn 2 "$work/out.txt" "$work/err.txt"))"
}
seal() {  # input output recipient... (OpenSSL, AES-256)
    local input=$1 output=$2; shift 2
    local certs=()
    for who in "$@"; do certs+=("$data/$who.pem"); done
    openssl smime -encrypt -binary -outform DER -aes256 -in "$input" -out "$output" "${certs[@]}" 2>/dev/null
}

# quill pack, then quill unpack beside the envelope: the same bytes.
make_file "$work/doc" 70000
cp "$work/doc" "$work/doc.orig"
expect_status "pack" 0 quill pack --no-compress --no-verify-certs --to "$(winpath "$data/alice.cer")" "$(winpath "$work/doc")"
rm "$work/doc"
expect_status "unpack beside" 0 quill unpack "$(winpath "$work/doc.pkcs7")"
cmp -s "$work/doc" "$work/doc.orig" || fail "unpack beside: the bytes differ"
grep -q "Written: .*doc$" "$work/out.txt" || fail "unpack beside: no report of the output ($(cat "$work/out.txt"))"

# An existing output is an error and stays untouched; nothing waits for a save dialog.
echo keep > "$work/doc"
expect_status "existing output" 1 quill unpack "$(winpath "$work/doc.pkcs7")"
[ "$(cat "$work/doc")" = keep ] || fail "an existing output was changed"
grep -q "failed" "$work/err.txt" || fail "existing output: no failure reported ($(cat "$work/err.txt"))"
grep -q "\[No\]" "$work/out.txt" || fail "existing output: the question was not answered No ($(cat "$work/out.txt"))"

# --out-dir with compressed content: ".gz.pkcs7" gives the inflated file under the bare name.
mkdir -p "$work/outdir"
gzip -c "$work/doc.orig" > "$work/zipped.gz"
seal "$work/zipped.gz" "$work/zipped.gz.pkcs7" alice
expect_status "out-dir" 0 quill unpack --out-dir "$(winpath "$work/outdir")" "$(winpath "$work/zipped.gz.pkcs7")"
cmp -s "$work/outdir/zipped" "$work/doc.orig" || fail "out-dir: the inflated output differs or is missing"
[ -e "$work/zipped" ] && fail "out-dir: an output beside the envelope"

# --here: the working directory.
mkdir -p "$work/here"
(cd "$work/here" && expect_status "here" 0 quill unpack --here "$(winpath "$work/zipped.gz.pkcs7")"; exit $failures) ||
    failures=$((failures + 1))
cmp -s "$work/here/zipped" "$work/doc.orig" || fail "--here: no output in the working directory"

# A damaged compressed stream fails and leaves nothing behind.
head -c 20000 "$work/zipped.gz" > "$work/cut.gz"
seal "$work/cut.gz" "$work/cut.gz.pkcs7" alice
expect_status "cut gzip" 1 quill unpack "$(winpath "$work/cut.gz.pkcs7")"
[ -e "$work/cut" ] && fail "a file that did not inflate was left behind"

# A foreign recipient: no key, exit 1, no output.
make_file "$work/secret" 3000
seal "$work/secret" "$work/secret.pkcs7" stranger
rm "$work/secret"
expect_status "foreign key" 1 quill unpack "$(winpath "$work/secret.pkcs7")"
[ -e "$work/secret" ] && fail "a foreign envelope left an output"

# --check decrypts and writes nothing.
seal "$work/doc.orig" "$work/checked.pkcs7" alice
expect_status "check" 0 quill unpack --check "$(winpath "$work/checked.pkcs7")"
[ -e "$work/checked" ] && fail "--check wrote an output"

# info: the algorithm and every recipient with whether the user holds its key.
seal "$work/doc.orig" "$work/both.pkcs7" stranger alice
expect_status "info" 0 quill info "$(winpath "$work/both.pkcs7")"
grep -q "Algorithm: .*256" "$work/out.txt" || fail "info: no algorithm ($(cat "$work/out.txt"))"
grep -q "Recipient: Alice Recipient.*key: available" "$work/out.txt" || fail "info: Alice's key not reported ($(cat "$work/out.txt"))"
grep "Recipient:" "$work/out.txt" | grep -v "Alice" | grep -q "key: \(none\|not available\)" ||
    fail "info: the stranger is not reported without key ($(cat "$work/out.txt"))"
[ "$(grep -c "Recipient:" "$work/out.txt")" -eq 2 ] || fail "info: not two recipients"
[ -e "$work/both" ] && fail "info wrote an output"

# A signed file reports its signer; a changed one fails and leaves nothing.
printf 'signed words\n%.0s' {1..400} > "$work/words.txt"
openssl smime -sign -nodetach -binary -outform DER -signer "$data/carol.pem" -inkey "$data/carol.key.pem" \
    -in "$work/words.txt" -out "$work/words.txt.pkcs7" 2>/dev/null
mv "$work/words.txt" "$work/words.orig"
expect_status "signed" 0 quill unpack "$(winpath "$work/words.txt.pkcs7")"
cmp -s "$work/words.txt" "$work/words.orig" || fail "signed: the content differs"
grep -q "Signer: Carol Signer.*signature valid" "$work/out.txt" || fail "signed: no signer line ($(cat "$work/out.txt"))"
python3 - "$work/words.txt.pkcs7" "$work/bent.txt.pkcs7" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'signed words\nsigned words')
data[at + 2] ^= 0x20
open(sys.argv[2], 'wb').write(data)
PY
expect_status "bent signature" 1 quill unpack "$(winpath "$work/bent.txt.pkcs7")"
grep -q "Signer: Carol Signer.*signature invalid" "$work/out.txt" || fail "bent: not reported invalid ($(cat "$work/out.txt"))"
[ -e "$work/bent.txt" ] && fail "a file with a bad signature was left behind"

# Several files: one failure makes the status 1, the others are still written.
rm -f "$work/checked"
expect_status "mixed" 1 quill unpack "$(winpath "$work/secret.pkcs7")" "$(winpath "$work/checked.pkcs7")"
cmp -s "$work/checked" "$work/doc.orig" || fail "mixed: the good file was not unpacked"

# Usage errors.
expect_status "no files" 2 quill unpack
expect_status "here and out-dir" 2 quill unpack --here --out-dir "$(winpath "$work")" "$(winpath "$work/checked.pkcs7")"

# settings: all, one, change, refuse, back to the default.
expect_status "settings" 0 quill settings
grep -q "^EncryptAlgorithmID = .*\[default 26128 (0x6610)\]" "$work/out.txt" || fail "settings: no EncryptAlgorithmID line"
grep -q "^CertSystemStoreName = " "$work/out.txt" || fail "settings: the unpack values are missing"
expect_status "settings set" 0 quill settings RecentItemsCount 0x0c
expect_status "settings get" 0 quill settings recentitemscount
grep -q "^RecentItemsCount = 12 (0xC)" "$work/out.txt" || fail "settings: the new value is not shown ($(cat "$work/out.txt"))"
expect_status "settings string" 0 quill settings CompressedFiles "ZIP.GZ"
grep -q '^CompressedFiles = "ZIP.GZ"' "$work/out.txt" || fail "settings: string value ($(cat "$work/out.txt"))"
expect_status "settings reset string" 0 quill settings CompressedFiles ""
expect_status "settings unknown" 2 quill settings Frobnicate 1
expect_status "settings bad number" 2 quill settings RecentItemsCount twelve
expect_status "settings reset" 0 quill settings RecentItemsCount ""
grep -q "^RecentItemsCount = (not set)" "$work/out.txt" || fail "settings: the value was not removed"

finish
