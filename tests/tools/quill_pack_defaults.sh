#!/bin/bash
# What a pack writes when the command line names no cipher or hash: a settings record without
# crypto values packs AES-256 and signs with SHA-256; a record an earlier set-up stored with RC2-40
# and SHA-1 keeps writing exactly that.
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

key='HKCU\Software\Orbelin\Quillarent'
values=(CryptCSPtype CryptCSPname EncryptAlgorithmID EncryptKeyLength HashAlgorithmID)
reg() { "$QUILL_WINE_RUN" reg "$@" >/dev/null 2>&1; }
# The tests share one prefix: the crypto values found there come back at the end.
saved="$work/saved.reg"
reg export "$key" "$(winpath "$saved")" /y || saved=""
restore() {
    for name in "${values[@]}"; do reg delete "$key" /v "$name" /f || true; done
    [ -n "$saved" ] && { reg import "$(winpath "$saved")" || echo "FAIL: the settings were not restored" >&2; }
    rm -rf "$work"
}
trap restore EXIT

pack_signed() {  # label file
    rm -f "$2.pkcs7"
    quill pack --no-compress --no-verify-certs --signed-type 3 --sign "Carol Signer" --to "$(winpath "$data/alice.cer")" \
        "$(winpath "$2")" >"$work/pack.log" 2>&1 || { fail "$1: quill pack failed: $(tail -3 "$work/pack.log")"; return 1; }
    decrypt "$2.pkcs7" alice "$work/inner" || { fail "$1: OpenSSL cannot decrypt: $(head -c 200 "$work/openssl.err")"; return 1; }
    openssl asn1parse -inform DER -in "$2.pkcs7" > "$work/outer.txt"
    openssl asn1parse -inform DER -in "$work/inner" > "$work/inner.txt"
}

make_file "$work/fresh" 1000
for name in "${values[@]}"; do reg delete "$key" /v "$name" /f || true; done
if pack_signed "fresh record" "$work/fresh"; then
    grep -q ':aes-256-cbc$' "$work/outer.txt" || fail "fresh record: the content is not AES-256-CBC"
    grep -q ':sha256$' "$work/inner.txt" || fail "fresh record: the signature does not use SHA-256"
fi

make_file "$work/earlier" 1000
reg add "$key" /v EncryptAlgorithmID /t REG_DWORD /d 26114 /f || fail "cannot store the cipher"
reg add "$key" /v EncryptKeyLength /t REG_DWORD /d 40 /f || fail "cannot store the key length"
if pack_signed "RC2-40 record" "$work/earlier"; then
    # RC2-CBC-Parameter version 160 stands for 40 effective bits.
    grep -A2 ':rc2-cbc$' "$work/outer.txt" | grep -q 'INTEGER *:A0$' || fail "RC2-40 record: the content is not RC2-40"
    grep -q ':sha1$' "$work/inner.txt" || fail "RC2-40 record: the signature does not use SHA-1"
fi
finish
