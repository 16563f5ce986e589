#!/bin/bash
# OpenSSL verifies our signed envelopes and the signed data inside enveloped data.
. "$(dirname "$0")/common.bash"

make_file "$work/small" 1000
make_file "$work/chunk" 65536
make_file "$work/empty" 0
make_file "$work/big" 300001

verify_signed() {  # label envelope source
    rm -f "$work/verified"
    if ! openssl smime -verify -inform DER -noverify -binary -in "$2" -out "$work/verified" 2>"$work/openssl.err"; then
        fail "$1: OpenSSL does not verify: $(head -c 200 "$work/openssl.err")"
    elif ! cmp -s "$3" "$work/verified"; then
        fail "$1: the signed content differs from the source"
    fi
}

for signer in "Carol Signer" "Dave Signer"; do
    for hash in sha1 md5; do
        for f in small chunk empty big; do
            rm -f "$work/$f.pkcs7"
            if ! quill pack --no-compress --no-verify-certs --sign "$signer" --hash "$hash" "$(winpath "$work/$f")" >"$work/log" 2>&1; then
                fail "signed by $signer ($hash): quill pack failed: $(tail -2 "$work/log")"
                continue
            fi
            verify_signed "signed by $signer ($hash), $f" "$work/$f.pkcs7" "$work/$f"
        done
    done
done

# Without the signer's certificate in the envelope OpenSSL needs it from outside.
rm -f "$work/small.pkcs7"
quill pack --no-compress --no-verify-certs --sign "Carol Signer" --no-signer-certs "$(winpath "$work/small")" >/dev/null
if openssl smime -verify -inform DER -noverify -binary -in "$work/small.pkcs7" -out /dev/null 2>/dev/null; then
    fail "an envelope without signer certificates verified without the certificate"
fi
if ! openssl smime -verify -inform DER -noverify -binary -certfile "$data/carol.pem" -in "$work/small.pkcs7" \
        -out "$work/verified" 2>"$work/openssl.err" || ! cmp -s "$work/small" "$work/verified"; then
    fail "--no-signer-certs: not verified with Carol's certificate given: $(head -c 200 "$work/openssl.err")"
fi

# Signed data inside enveloped data: decrypt, then verify the inner signedData.
for alg in aes256 3des rc2; do
    for f in small chunk big; do
        rm -f "$work/$f.pkcs7"
        if ! quill pack --no-compress --no-verify-certs --signed-type 3 --alg "$alg" --sign "Carol Signer" --to "$(winpath "$data/alice.cer")" \
                "$(winpath "$work/$f")" >"$work/log" 2>&1; then
            fail "signed inside enveloped ($alg): quill pack failed: $(tail -2 "$work/log")"
            continue
        fi
        if ! decrypt "$work/$f.pkcs7" alice "$work/inner"; then
            fail "signed inside enveloped ($alg, $f): no decryption: $(head -c 200 "$work/openssl.err")"
            continue
        fi
        verify_signed "signed inside enveloped ($alg, $f)" "$work/inner" "$work/$f"
    done
done

# A tampered signed envelope must not verify.
rm -f "$work/chunk.pkcs7"
quill pack --no-compress --no-verify-certs --sign "Carol Signer" "$(winpath "$work/chunk")" >/dev/null
printf '\x55' | dd of="$work/chunk.pkcs7" bs=1 seek=40000 conv=notrunc status=none
if openssl smime -verify -inform DER -noverify -binary -in "$work/chunk.pkcs7" -out /dev/null 2>/dev/null; then
    fail "a tampered signed envelope verified"
fi
finish
