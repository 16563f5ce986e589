#!/bin/bash
# quill.exe as a user meets it: import, certs and pack behaviours, exit statuses and messages.
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

expect_status() {  # label expected command...
    local label=$1 expected=$2; shift 2
    local status=0
    "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$label: exit status $status, expected $expected ($(tail -1 "$work/err.txt"))"
}
count_subject() { quill certs | grep -c "^Subject: .*$1" || true; }

# Importing again replaces the store entry; every imported key stays usable.
expect_status "re-import alice" 0 quill import "$(winpath "$data/alice.p12")" --password test --provider-type 24
expect_status "re-import bob" 0 quill import "$(winpath "$data/bob.p12")" --password=test --provider-type=1
[ "$(count_subject 'Alice Recipient')" -eq 1 ] || fail "Alice is listed $(count_subject 'Alice Recipient') times"
[ "$(count_subject 'Bob Recipient')" -eq 1 ] || fail "Bob is listed $(count_subject 'Bob Recipient') times"
quill certs > "$work/certs.txt"
# The suite's own certificates, which the imports above replaced, each keep a usable key.
lost=$(grep -A4 '^Subject: *CN=\(Alice Recipient\|Bob Recipient\|Carol Signer\|Dave Signer\)' "$work/certs.txt" |
       grep -B4 '^Private key: no' | grep '^Subject:' || true)
if [ -n "$lost" ]; then fail "a certificate lost its key: $lost"; fi
thumb=$(openssl x509 -in "$data/alice.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
grep -q "^SHA-1: *$thumb$" "$work/certs.txt" || fail "certs does not show Alice's thumbprint $thumb"
grep -q "^Serial: *1000$" "$work/certs.txt" || fail "certs does not show Alice's serial 1000"
# Each key signs: Alice (type 24), Bob (type 1), Carol and Dave, all imported one after another.
make_file "$work/doc" 5000
for who in "Alice Recipient" "Bob Recipient" "Carol Signer" "Dave Signer"; do
    rm -f "$work/doc.pkcs7"
    expect_status "sign with $who" 0 quill pack --no-compress --no-verify-certs --sign "$who" "$(winpath "$work/doc")"
    openssl smime -verify -inform DER -noverify -binary -in "$work/doc.pkcs7" -out "$work/doc.out" 2>/dev/null &&
        cmp -s "$work/doc" "$work/doc.out" || fail "the signature of $who does not verify"
done

# Import failures.
expect_status "wrong password" 1 quill import "$(winpath "$data/carol.p12")" --password nope
grep -q "wrong password" "$work/err.txt" || fail "wrong password: message was '$(cat "$work/err.txt")'"
expect_status "not a PKCS#12 file" 1 quill import "$(winpath "$data/alice.cer")"
expect_status "missing file" 1 quill import "$(winpath "$work/none.p12")"
expect_status "bad provider type" 2 quill import "$(winpath "$data/alice.p12")" --provider-type 5
[ "$(count_subject 'Carol Signer')" -eq 1 ] || fail "a failed import changed the store"

# An existing output is an error and stays untouched; the other files are still packed.
make_file "$work/a" 100
make_file "$work/b" 200
echo keep > "$work/a.pkcs7"
expect_status "existing output" 1 quill pack --no-compress --no-verify-certs --to "$(winpath "$data/alice.cer")" "$(winpath "$work/a")" "$(winpath "$work/b")"
[ "$(cat "$work/a.pkcs7")" = keep ] || fail "an existing output was overwritten"
grep -q "\[No\]" "$work/err.txt" || fail "existing output: the question was not answered No: '$(cat "$work/err.txt")'"
[ -s "$work/b.pkcs7" ] || fail "the file after a failed one was not packed"

# --out-dir puts the envelope there and nothing next to the source.
mkdir -p "$work/outdir"
rm -f "$work/a.pkcs7"
expect_status "out-dir" 0 quill pack --no-compress --no-verify-certs --alg aes256 --to-store "$thumb" --out-dir "$(winpath "$work/outdir")" "$(winpath "$work/a")"
[ -f "$work/outdir/a.pkcs7" ] || fail "--out-dir: no envelope in the folder"
[ -e "$work/a.pkcs7" ] && fail "--out-dir: an envelope next to the source"
decrypt "$work/outdir/a.pkcs7" alice "$work/a.out" && cmp -s "$work/a" "$work/a.out" ||
    fail "--to-store by thumbprint: Alice cannot open the envelope"

# A recipient whose key the provider cannot use: the call fails and leaves no output.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/ec.key" \
    -out "$work/ec.pem" -days 30 -subj "/CN=Curve Holder" 2>/dev/null
expect_status "EC recipient" 1 quill pack --no-compress --no-verify-certs --to "$(winpath "$work/ec.pem")" "$(winpath "$work/b")" --out-dir "$(winpath "$work/outdir")"
[ -e "$work/outdir/b.pkcs7" ] && fail "a failed envelope was left behind"

# Texts beyond ASCII reach a pipe as UTF-8 (the subject comes from the certificate, not from the
# command line, whose conversion depends on the host's locale).
openssl req -x509 -newkey rsa:1024 -nodes -utf8 -keyout "$work/ivan.key" -out "$work/ivan.pem" -days 30 \
    -subj "/CN=Иван Тестов" 2>/dev/null
openssl pkcs12 -export -in "$work/ivan.pem" -inkey "$work/ivan.key" -out "$work/ivan.p12" -passout pass:x \
    -certpbe PBE-SHA1-3DES -keypbe PBE-SHA1-3DES -macalg sha1 2>/dev/null
expect_status "cyrillic subject" 0 quill import "$(winpath "$work/ivan.p12")" --password x
grep -q "CN=Иван Тестов" "$work/out.txt" || fail "the subject is not UTF-8: $(cat "$work/out.txt")"
quill certs | grep -q "^Subject: *CN=Иван Тестов" || fail "certs does not list the Cyrillic subject as UTF-8"

# Bad usage gives status 2 and writes nothing.
expect_status "no arguments" 2 quill
expect_status "unknown command" 2 quill frobnicate
expect_status "unknown option" 2 quill pack --no-compress --no-verify-certs --to "$(winpath "$data/alice.cer")" --frob "$(winpath "$work/b")"
expect_status "bad algorithm" 2 quill pack --no-compress --no-verify-certs --alg idea --to "$(winpath "$data/alice.cer")" "$(winpath "$work/b")"
expect_status "bad key length" 2 quill pack --no-compress --no-verify-certs --alg aes128 --key-bits 256 --to "$(winpath "$data/alice.cer")" "$(winpath "$work/b")"
expect_status "rc2 key too long" 2 quill pack --no-compress --no-verify-certs --alg rc2 --key-bits 200 --to "$(winpath "$data/alice.cer")" "$(winpath "$work/b")"
expect_status "bad key transport" 2 quill pack --no-compress --no-verify-certs --key-transport rsa --to "$(winpath "$data/alice.cer")" "$(winpath "$work/b")"
expect_status "sfx with oaep" 2 quill pack --no-compress --no-verify-certs --key-transport oaep --sfx "$(winpath "$work/b.exe")" --to "$(winpath "$data/alice.cer")" "$(winpath "$work/b")"
expect_status "no recipient" 2 quill pack --no-compress --no-verify-certs "$(winpath "$work/b")"
expect_status "no file" 2 quill pack --no-compress --no-verify-certs --to "$(winpath "$data/alice.cer")"
expect_status "flag with value" 2 quill pack --no-compress --no-verify-certs --no-iv=1 --to "$(winpath "$data/alice.cer")" "$(winpath "$work/b")"
expect_status "certs with argument" 2 quill certs extra
expect_status "unknown store text" 1 quill pack --no-compress --no-verify-certs --to-store "Nobody Here" "$(winpath "$work/b")"
[ -e "$work/outdir/b.pkcs7" ] && fail "a refused command wrote an envelope"
# Every command answers --help, -h and "help CMD" on standard output; the usage it prints names
# options the command really takes (each is tried: none may be unknown to the parser).
for command in import certs pack unpack info settings recovery window register unregister help; do
    for form in "$command --help" "$command -h" "help $command"; do
        expect_status "$form" 0 quill $form
        head -1 "$work/out.txt" | grep -q "^usage: quill $command" || fail "$form: stdout is '$(head -1 "$work/out.txt")'"
        if [ -s "$work/err.txt" ]; then fail "$form: wrote to stderr: $(cat "$work/err.txt")"; fi
    done
    cp "$work/out.txt" "$work/usage-$command.txt"
    while read -r option value; do
        expect_status "$command $option" 2 quill $command $option ${value:+1}
        if grep -q "unknown option" "$work/err.txt"; then fail "help of $command lists $option, which the parser refuses"; fi
    done < <(grep -oE '^  --[a-z-]+( [A-Z.0-9|]+)?' "$work/usage-$command.txt")
done
grep -c '^  --' "$work/usage-pack.txt" | grep -qx 23 || fail "pack's help lists $(grep -c '^  --' "$work/usage-pack.txt") options"
expect_status "help of an unknown command" 2 quill help frobnicate
# register and unregister call the shell extension's own registration.
registered() { "$QUILL_WINE_RUN" reg query 'HKCR\.pkcs7' /reg:64 >"$work/reg.txt" 2>&1 && grep -q Orbelin.Quillarent "$work/reg.txt"; }
expect_status "register" 0 quill register
registered || fail "quill register left no .pkcs7 key: $(cat "$work/reg.txt")"
expect_status "unregister" 0 quill unregister
if registered; then fail "quill unregister left the .pkcs7 key"; fi
expect_status "register again" 0 quill register
expect_status "register with an argument" 2 quill register extra
# An unknown option: the error, then the command's usage, on stderr only.
expect_status "unknown unpack option" 2 quill unpack --frob x.pkcs7
[ "$(head -1 "$work/err.txt")" = "quill: unknown option --frob" ] || fail "unknown option: '$(head -1 "$work/err.txt")'"
sed -n 2p "$work/err.txt" | grep -q "^usage: quill unpack" || fail "unknown option: no usage after the error"
if [ -s "$work/out.txt" ]; then fail "unknown option: wrote to stdout"; fi
finish
