#!/bin/bash
# quill pack through the packer's run: compression, deletion, certificate checks, existing outputs,
# self-decoding programs and the exit status.
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

expect_status() {  # label expected command...
    local label=$1 expected=$2; shift 2
    local status=0
    "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$label: exit status $status, expected $expected ($(tail -2 "$work/err.txt"))"
}
alice=$(winpath "$data/alice.cer")
# The test CA is not trusted in the prefix, so every test certificate fails the chain check: runs
# that are not about the checks skip them.
pack() { quill pack --no-verify-certs "$@"; }
# Text compresses, so a stored (uncompressed) gzip member would be caught by the size check below.
text_file() { for i in $(seq 1 "$2"); do echo "line $i of a file that compresses well"; done > "$1"; }

# Default: NAME.gz.pkcs7 whose content is a gzip file of the source; quill unpack gives the bytes.
text_file "$work/doc.txt" 4000
cp "$work/doc.txt" "$work/doc.orig"
expect_status "default pack" 0 pack --to "$alice" "$(winpath "$work/doc.txt")"
[ -e "$work/doc.txt.pkcs7" ] && fail "default pack: an uncompressed envelope was written"
if [ -f "$work/doc.txt.gz.pkcs7" ]; then
    if decrypt "$work/doc.txt.gz.pkcs7" alice "$work/doc.gz"; then
        gunzip -t < "$work/doc.gz" 2>/dev/null || fail "default pack: the content is no gzip file"
        gunzip -c < "$work/doc.gz" 2>/dev/null | cmp -s - "$work/doc.orig" || fail "default pack: gunzip gives other bytes"
        [ "$(stat -c %s "$work/doc.gz")" -lt $(( $(stat -c %s "$work/doc.orig") / 4 )) ] ||
            fail "default pack: the content was not compressed"
    else
        fail "default pack: OpenSSL cannot decrypt ($(head -c 200 "$work/openssl.err"))"
    fi
    mkdir -p "$work/back"
    expect_status "unpack compressed" 0 quill unpack --out-dir "$(winpath "$work/back")" "$(winpath "$work/doc.txt.gz.pkcs7")"
    cmp -s "$work/back/doc.txt" "$work/doc.orig" || fail "unpack of the default envelope gives other bytes"
else
    fail "default pack: no doc.txt.gz.pkcs7"
fi

# --threads: a file of several compression blocks gives one gzip member whatever the threads, which
# OpenSSL with gunzip and quill unpack both read; more threads than 16 is bad usage.
text_file "$work/long.txt" 30000
mkdir -p "$work/long-back"
for threads in 1 3; do
    rm -f "$work/long.txt.gz.pkcs7" "$work/long-back/long.txt"
    expect_status "--threads $threads" 0 pack --threads "$threads" --to "$alice" "$(winpath "$work/long.txt")"
    decrypt "$work/long.txt.gz.pkcs7" alice "$work/long.gz" && gunzip -t < "$work/long.gz" 2>/dev/null &&
        gunzip -c < "$work/long.gz" | cmp -s - "$work/long.txt" || fail "--threads $threads: no gzip file of the source"
    expect_status "unpack of --threads $threads" 0 quill unpack --out-dir "$(winpath "$work/long-back")" \
        "$(winpath "$work/long.txt.gz.pkcs7")"
    cmp -s "$work/long-back/long.txt" "$work/long.txt" || fail "unpack of --threads $threads gives other bytes"
done
expect_status "--threads 17" 2 pack --threads 17 --to "$alice" "$(winpath "$work/long.txt")"

# An existing output stays as it is: the question is answered No, the run fails.
echo keep > "$work/doc.txt.gz.pkcs7"
expect_status "existing output" 1 pack --to "$alice" "$(winpath "$work/doc.txt")"
[ "$(cat "$work/doc.txt.gz.pkcs7")" = keep ] || fail "an existing output was overwritten"
grep -q "\[No\]" "$work/err.txt" || fail "existing output: the question was not answered No ($(cat "$work/err.txt"))"
[ -f "$work/doc.txt" ] || fail "existing output: the source is gone"

# A file of a compressed format is packed as it is, unless --compress-anyway.
make_file "$work/archive.zip" 30000
expect_status "zip as it is" 0 pack --to "$alice" "$(winpath "$work/archive.zip")"
grep -q "\[Yes\]" "$work/out.txt" || fail "zip: the compressed-format question was not answered Yes"
[ -e "$work/archive.zip.gz.pkcs7" ] && fail "zip: compressed without --compress-anyway"
decrypt "$work/archive.zip.pkcs7" alice "$work/zip.out" && cmp -s "$work/zip.out" "$work/archive.zip" ||
    fail "zip: the envelope does not hold the archive as it is"
expect_status "zip compressed anyway" 0 pack --compress-anyway --to "$alice" "$(winpath "$work/archive.zip")"
grep -q "\[No\]" "$work/out.txt" || fail "--compress-anyway: the question was not answered No"
decrypt "$work/archive.zip.gz.pkcs7" alice "$work/zip.gz" && gunzip -c < "$work/zip.gz" | cmp -s - "$work/archive.zip" ||
    fail "--compress-anyway: the envelope does not hold the gzipped archive"

# --no-compress: plain .pkcs7 with the bytes themselves.
expect_status "no-compress" 0 pack --no-compress --to "$alice" "$(winpath "$work/doc.txt")"
decrypt "$work/doc.txt.pkcs7" alice "$work/plain.out" && cmp -s "$work/plain.out" "$work/doc.orig" ||
    fail "--no-compress: the envelope does not hold the file itself"

# --delete and --wipe remove the source only after its envelope is written.
for mode in "--delete" "--wipe --passes 2"; do
    make_file "$work/gone" 20000
    cp "$work/gone" "$work/gone.orig"
    rm -f "$work/gone.gz.pkcs7"
    # shellcheck disable=SC2086
    expect_status "$mode" 0 pack $mode --to "$alice" "$(winpath "$work/gone")"
    [ -e "$work/gone" ] && fail "$mode: the source is still there"
    decrypt "$work/gone.gz.pkcs7" alice "$work/gone.gz" && gunzip -c < "$work/gone.gz" | cmp -s - "$work/gone.orig" ||
        fail "$mode: the envelope does not hold the deleted file"
done
# A run that fails deletes nothing.
make_file "$work/kept" 100
echo keep > "$work/kept.gz.pkcs7"
expect_status "delete after failure" 1 pack --delete --to "$alice" "$(winpath "$work/kept")"
[ -f "$work/kept" ] || fail "--delete removed a source that was not packed"

# --out-dir: the envelope goes there, nothing beside the source.
mkdir -p "$work/outdir"
expect_status "out-dir" 0 pack --no-compress --out-dir "$(winpath "$work/outdir")" --to "$alice" "$(winpath "$work/kept")"
[ -f "$work/outdir/kept.pkcs7" ] || fail "--out-dir: no envelope in the folder"
[ -e "$work/kept.pkcs7" ] && fail "--out-dir: an envelope beside the source"

# Certificates that fail the checks stop the run with the reason; --no-verify-certs packs anyway.
for who in expired selfsigned alice; do
    make_file "$work/for-$who" 500
    expect_status "$who recipient" 1 quill pack --to "$(winpath "$data/$who.cer")" "$(winpath "$work/for-$who")"
    ls "$work"/for-"$who".*pkcs7 >/dev/null 2>&1 && fail "$who recipient: an envelope was written"
    name=$(openssl x509 -in "$data/$who.pem" -noout -subject -nameopt multiline | sed -n 's/^ *commonName *= *//p')
    grep -q "$name" "$work/err.txt" || fail "$who recipient: the message does not name '$name' ($(cat "$work/err.txt"))"
    grep -q "\[No\]" "$work/err.txt" || fail "$who recipient: the question was not answered No"
    expect_status "$who with --no-verify-certs" 0 quill pack --no-verify-certs --no-compress \
        --to "$(winpath "$data/$who.cer")" "$(winpath "$work/for-$who")"
    decrypt "$work/for-$who.pkcs7" "$who" "$work/who.out" && cmp -s "$work/who.out" "$work/for-$who" ||
        fail "$who with --no-verify-certs: the envelope does not open"
done
# The two refusals differ: an expired certificate and an unknown chain are told apart.
make_file "$work/r" 10
quill pack --to "$(winpath "$data/expired.cer")" "$(winpath "$work/r")" 2>"$work/why1" >/dev/null || true
quill pack --to "$(winpath "$data/selfsigned.cer")" "$(winpath "$work/r")" 2>"$work/why2" >/dev/null || true
sed 's/Expired Signer//; s/Self Signed Recipient//' "$work/why1" > "$work/why1.bare"
sed 's/Expired Signer//; s/Self Signed Recipient//' "$work/why2" > "$work/why2.bare"
cmp -s "$work/why1.bare" "$work/why2.bare" && fail "expired and self-signed refusals give the same reason"

# Self-decoding program: the template, then the directory and the envelope.
template="$QUILL_BUILD_DIR/Quendrix.exe"
if [ -f "$template" ]; then
    mkdir -p "$work/sfx"
    # one.txt spans several compression blocks, deflated on three threads.
    text_file "$work/sfx/one.txt" 10000
    make_file "$work/sfx/two.bin" 5000
    expect_status "sfx" 0 pack --threads 3 --sfx "$(winpath "$work/prog.exe")" --sfx-template "$(winpath "$template")" \
        --open one.txt --to-store "Alice Recipient" "$(winpath "$work/sfx/one.txt")" "$(winpath "$work/sfx/two.bin")"
    size=$(stat -c %s "$template")
    if [ -f "$work/prog.exe" ]; then
        cmp -s -n "$size" "$template" "$work/prog.exe" || fail "sfx: the program does not start with the template"
        [ "$(stat -c %s "$work/prog.exe")" -gt $((size + 100)) ] || fail "sfx: nothing after the template"
        # The directory holds the names in UTF-16.
        # Through a file: grep -q stopping early would fail the pipe under pipefail.
        tail -c +$((size + 1)) "$work/prog.exe" | tr -d '\0' > "$work/payload.txt"
        grep -qa "one.txt" "$work/payload.txt" || fail "sfx: the directory does not name one.txt"
        [ -e "$work/sfx/one.txt.pkcs7" ] || [ -e "$work/sfx/one.txt.gz.pkcs7" ] && fail "sfx: envelopes beside the files"
        mkdir -p "$work/sfx-out"
        # The program ends on a report box that nobody closes here (the program tests read it): the
        # files are what counts, and the program is ended once they are complete.
        timeout 600 "$QUILL_WINE_RUN" "$work/prog.exe" /x /f "$(winpath "$work/sfx-out")" >"$work/sfx.log" 2>&1 &
        sfx_pid=$!
        # Until both files are complete or the program has gone; the deadline only guards a hang.
        deadline=$((SECONDS + 600))
        until cmp -s "$work/sfx-out/two.bin" "$work/sfx/two.bin" && cmp -s "$work/sfx-out/one.txt" "$work/sfx/one.txt"; do
            kill -0 "$sfx_pid" 2>/dev/null && [ $SECONDS -lt $deadline ] || break
            sleep 0.2
        done
        kill "$sfx_pid" 2>/dev/null || true
        wait "$sfx_pid" 2>/dev/null || true
        cmp -s "$work/sfx-out/one.txt" "$work/sfx/one.txt" || fail "sfx: one.txt differs after unpacking"
        cmp -s "$work/sfx-out/two.bin" "$work/sfx/two.bin" || fail "sfx: two.bin differs after unpacking"
    else
        fail "sfx: no program written"
    fi
    expect_status "sfx over existing" 1 pack --sfx "$(winpath "$work/prog.exe")" \
        --sfx-template "$(winpath "$template")" --to "$alice" "$(winpath "$work/sfx/one.txt")"
    expect_status "sfx bad template" 1 pack --sfx "$(winpath "$work/prog2.exe")" \
        --sfx-template "$(winpath "$work/none.exe")" --to "$alice" "$(winpath "$work/sfx/one.txt")"
    [ -e "$work/prog2.exe" ] && fail "sfx: a program without its template was left"
else
    fail "the self-decoding program $template was not built"
fi

# The recent lists are saved as the packer window saves them: the packed file and its recipient.
make_file "$work/recent-probe" 50
expect_status "recent lists" 0 pack --to "$alice" "$(winpath "$work/recent-probe")"
"$QUILL_WINE_RUN" reg query 'HKCU\Software\Orbelin\Quillarent\RecentFiles' 2>/dev/null | tr -d '\r' > "$work/recent.txt" || true
grep -q "recent-probe$" "$work/recent.txt" || fail "the packed file is not among the recent files ($(cat "$work/recent.txt"))"
alice_hex=$(openssl x509 -in "$data/alice.pem" -outform DER | xxd -p | tr -d '\n' | tr a-f A-F)
"$QUILL_WINE_RUN" reg query 'HKCU\Software\Orbelin\Quillarent\RecentCerts' 2>/dev/null | grep -q "$alice_hex" ||
    fail "the recipient is not among the recent certificates"

# Bad usage: status 2, nothing written.
make_file "$work/u" 10
expect_status "passes without wipe" 2 pack --passes 3 --to "$alice" "$(winpath "$work/u")"
expect_status "open without sfx" 2 pack --open u --to "$alice" "$(winpath "$work/u")"
expect_status "open names no file" 2 pack --sfx "$(winpath "$work/p3.exe")" --open other --to "$alice" "$(winpath "$work/u")"
expect_status "both compress options" 2 pack --no-compress --compress-anyway --to "$alice" "$(winpath "$work/u")"
ls "$work"/u.* "$work/p3.exe" >/dev/null 2>&1 && fail "bad usage wrote something"
finish
