#!/bin/bash
# OpenSSL's AES-GCM envelopes (AuthEnvelopedData) open here byte for byte, written with and without
# -stream, for two recipients and with signed data inside; a changed or cut file is refused as
# damaged or changed, with no output left behind.
. "$(dirname "$0")/common.bash"

# Larger than one content read (64 KiB) and than one batch, with a tail that is no whole AES block.
make_file "$work/doc" $((1048576 + 13))
make_file "$work/small" 100
doc_size=$((1048576 + 13))

run() {  # quill arguments...; output in out.txt, status in $status
    status=0
    timeout 300 "$QUILL_WINE_RUN" "$QUILL_EXE" "$@" >"$work/out.txt" 2>&1 || status=$?
}
seal() {  # label cipher stream(yes|no) input output recipient...
    local label=$1 cipher=$2 stream=$3 input=$4 output=$5; shift 5
    local opts=() certs=() who
    [ "$stream" = yes ] && opts+=(-stream)
    for who in "$@"; do
        if [ "${OAEP:-}" = yes ]; then certs+=(-recip "$data/$who.pem" -keyopt rsa_padding_mode:oaep)
        else certs+=("$data/$who.pem"); fi
    done
    openssl cms -encrypt -binary -outform DER "-$cipher" "${opts[@]}" -in "$input" -out "$output" "${certs[@]}" \
        2>"$work/openssl.err" || fail "$label: OpenSSL cannot seal: $(head -c 200 "$work/openssl.err")"
}
opens() {  # label envelope source
    local output="${2%.pkcs7}"
    rm -f "$output"
    run unpack "$(winpath "$2")"
    if [ "$status" -ne 0 ]; then
        fail "$1: quill unpack failed ($status): $(tail -n 3 "$work/out.txt")"
    elif ! cmp -s "$3" "$output"; then
        fail "$1: the unpacked bytes differ from the source"
    fi
}
refused() {  # label envelope
    local output="${2%.pkcs7}"
    rm -f "$output"
    run unpack "$(winpath "$2")"
    [ "$status" -eq 1 ] || fail "$1: exit status $status, expected 1"
    grep -q "поврежден или изменен" "$work/out.txt" || fail "$1: not reported as damaged or changed ($(cat "$work/out.txt"))"
    [ -e "$output" ] && fail "$1: an output was left behind"
    return 0
}
flip() {  # input output offset
    cp "$1" "$2"
    local byte
    byte=$(xxd -s "$3" -l 1 -p "$1")
    printf "%02x" $((0x$byte ^ 0x01)) | xxd -r -p | dd of="$2" bs=1 seek="$3" conv=notrunc status=none
}

# Both key lengths, definite and open (-stream) lengths, one recipient and two (one without a key here).
for cipher in aes-128-gcm aes-256-gcm; do
    for stream in no yes; do
        label="$cipher stream=$stream"
        seal "$label" "$cipher" "$stream" "$work/doc" "$work/g.pkcs7" alice
        opens "$label" "$work/g.pkcs7" "$work/doc"
        seal "$label, two recipients" "$cipher" "$stream" "$work/doc" "$work/g2.pkcs7" stranger alice
        opens "$label, two recipients" "$work/g2.pkcs7" "$work/doc"
    done
done
seal "small" aes-256-gcm no "$work/small" "$work/small.pkcs7" alice
opens "small" "$work/small.pkcs7" "$work/small"
# The key wrapped with RSA-OAEP: the content key must still come out exportable for the GCM stream.
OAEP=yes seal "oaep" aes-256-gcm yes "$work/doc" "$work/o.pkcs7" alice
opens "oaep" "$work/o.pkcs7" "$work/doc"

# Signed data inside: the content comes out and the signer is checked.
openssl cms -sign -binary -outform DER -nodetach -signer "$data/carol.pem" -inkey "$data/carol.key.pem" \
    -in "$work/doc" -out "$work/signed.der" 2>"$work/openssl.err" || fail "OpenSSL cannot sign: $(cat "$work/openssl.err")"
for stream in no yes; do
    seal "signed inside, stream=$stream" aes-256-gcm "$stream" "$work/signed.der" "$work/s.pkcs7" alice
    opens "signed inside, stream=$stream" "$work/s.pkcs7" "$work/doc"
    grep -q "Signer: Carol Signer.*signature valid" "$work/out.txt" ||
        fail "signed inside, stream=$stream: no valid signer ($(cat "$work/out.txt"))"
done

# info describes without decrypting; --check checks the tag and writes nothing.
seal "info" aes-256-gcm no "$work/doc" "$work/i.pkcs7" stranger alice
run info "$(winpath "$work/i.pkcs7")"
grep -q "Algorithm: AES-256 GCM" "$work/out.txt" || fail "info: no AES-256 GCM ($(cat "$work/out.txt"))"
[ "$(grep -c "Recipient:" "$work/out.txt")" -eq 2 ] || fail "info: not two recipients ($(cat "$work/out.txt"))"
grep -q "Recipient: Alice Recipient.*key: available" "$work/out.txt" || fail "info: Alice's key not reported"
rm -f "$work/i"
run unpack --check "$(winpath "$work/i.pkcs7")"
[ "$status" -eq 0 ] || fail "check: exit status $status ($(cat "$work/out.txt"))"
[ -e "$work/i" ] && fail "check wrote an output"
seal "info 128" aes-128-gcm yes "$work/small" "$work/i128.pkcs7" alice
run info "$(winpath "$work/i128.pkcs7")"
grep -q "Algorithm: AES-128 GCM" "$work/out.txt" || fail "info: no AES-128 GCM ($(cat "$work/out.txt"))"

# A changed ciphertext byte, a changed tag byte (the last byte of a file with definite lengths), a
# file cut in its content and one cut in its tag: all refused as damaged, nothing left.
seal "tamper" aes-256-gcm no "$work/doc" "$work/t.pkcs7" alice
size=$(stat -c %s "$work/t.pkcs7")
[ "$size" -gt "$doc_size" ] || fail "the sealed file is smaller than its content"
flip "$work/t.pkcs7" "$work/content.pkcs7" $((size / 2))
refused "changed ciphertext" "$work/content.pkcs7"
flip "$work/t.pkcs7" "$work/tag.pkcs7" $((size - 1))
refused "changed tag" "$work/tag.pkcs7"
head -c $((size / 2)) "$work/t.pkcs7" > "$work/cut.pkcs7"
refused "cut in the content" "$work/cut.pkcs7"
head -c $((size - 5)) "$work/t.pkcs7" > "$work/cuttag.pkcs7"
refused "cut in the tag" "$work/cuttag.pkcs7"
run unpack --check "$(winpath "$work/content.pkcs7")"
[ "$status" -eq 1 ] || fail "check of a changed file: exit status $status"
seal "tamper stream" aes-128-gcm yes "$work/doc" "$work/ts.pkcs7" alice
size=$(stat -c %s "$work/ts.pkcs7")
flip "$work/ts.pkcs7" "$work/content-s.pkcs7" $((size / 2))
refused "changed ciphertext, stream" "$work/content-s.pkcs7"
head -c $((size / 2)) "$work/ts.pkcs7" > "$work/cut-s.pkcs7"
refused "cut in the content, stream" "$work/cut-s.pkcs7"

finish
