#!/bin/bash
# Writes tests/format/modern_fixtures.h: bytes of envelopes and signatures as OpenSSL 3 makes them
# for today's peers (RSA-OAEP key transport, subject key identifiers, key agreement and KEK
# recipients, AES-GCM authenticated envelopes, RSA-PSS and ECDSA signatures). Run once by hand;
# the output is kept in the tree because signatures and keys differ on every run.
# Usage: make-modern-fixtures.sh [OUTPUT]
set -euo pipefail
out="$(realpath "${1:-$(dirname "$0")/modern_fixtures.h}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=rsa -days 3650 -keyout rsa.key -out rsa.pem 2>/dev/null
for curve in P-256 P-384; do
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:$curve -nodes -subj /CN=$curve -days 3650 \
        -keyout $curve.key -out $curve.pem 2>/dev/null
done
printf 'GCM content from a peer, 41 bytes long..\n' > msg
encrypt=(openssl cms -encrypt -binary -outform DER -in msg)
"${encrypt[@]}" -aes-256-cbc -out oaep.der -recip rsa.pem -keyopt rsa_padding_mode:oaep -recip rsa.pem
"${encrypt[@]}" -aes-256-cbc -out kinds.der -keyid -recip rsa.pem -keyopt rsa_padding_mode:oaep \
    -recip rsa.pem -keyopt rsa_padding_mode:oaep -keyopt rsa_oaep_md:sha256 -recip P-256.pem \
    -secretkey 000102030405060708090a0b0c0d0e0f -secretkeyid 0a0b
"${encrypt[@]}" -aes-128-gcm -out gcm.der -recip rsa.pem
sign=(openssl cms -sign -nodetach -binary -outform DER -in msg)
"${sign[@]}" -signer rsa.pem -inkey rsa.key -keyopt rsa_padding_mode:pss -md sha256 -out pss256.der
"${sign[@]}" -signer rsa.pem -inkey rsa.key -keyopt rsa_padding_mode:pss -keyopt rsa_pss_saltlen:32 -md sha384 \
    -out pss384.der
"${sign[@]}" -signer P-256.pem -inkey P-256.key -md sha256 -out p256.der
"${sign[@]}" -signer P-384.pem -inkey P-384.key -md sha384 -out p384.der

# Bytes of the last element whose asn1parse line matches PATTERN: whole (tag, length, content)
# or content only.
element() {  # FILE PATTERN whole|content
    local line offset hl length
    line=$(openssl asn1parse -inform DER -in "$1" | grep -E "$2" | tail -1)
    offset=$(sed -E 's/^ *([0-9]+):.*/\1/' <<<"$line")
    hl=$(sed -E 's/.*hl= *([0-9]+).*/\1/' <<<"$line")
    length=$(sed -E 's/.* l= *([0-9]+).*/\1/' <<<"$line")
    if [ "$3" = whole ]; then tail -c +$((offset + 1)) "$1" | head -c $((hl + length))
    else tail -c +$((offset + hl + 1)) "$1" | head -c "$length"; fi
}
hexof() { xxd -p | tr -d '\n'; }
constant() {  # NAME COMMENT (bytes on stdin)
    printf '// %s\ninline constexpr char %s[] =\n' "$2" "$1"
    hexof | fold -w 96 | sed 's/.*/    "&"/'
    printf ';\n\n'
}

# The content-encryption key of the GCM file, unwrapped with the recipient's key.
element gcm.der 'd=5 .*OCTET STRING' content > wrapped
openssl pkeyutl -decrypt -inkey rsa.key -in wrapped -out cek

{
    echo "// Made by tests/format/make-modern-fixtures.sh with $(openssl version | cut -d' ' -f1-2); do not edit."
    echo '#pragma once'
    echo
    echo 'namespace modern_fixtures {'
    echo
    element oaep.der 'd=3 .*SET' content | constant kRecipientsOaep \
        "RecipientInfos content: issuerAndSerialNumber with rsaEncryption, then with RSA-OAEP (default SHA-1)"
    element kinds.der 'd=3 .*SET' content | constant kRecipientsAllKinds \
        "RecipientInfos content: SKI with OAEP SHA-1, SKI with OAEP SHA-256, key agreement (P-256), KEK id 0a0b"
    constant kGcmEnvelope "AuthEnvelopedData, AES-128-GCM, one rsaEncryption recipient, plaintext kGcmPlaintext" < gcm.der
    constant kGcmKey "The content-encryption key of kGcmEnvelope" < cek
    # H = E(K, 0^128) and E(K, J0) of that envelope, so that GHASH can be checked without AES.
    nonce=$(element gcm.der 'd=6 .*OCTET STRING' content | hexof)
    printf '%032x%s00000001' 0 "$nonce" | xxd -r -p | openssl enc -aes-128-ecb -K "$(hexof < cek)" -nopad |
        constant kGcmHashKeyAndEncryptedJ0 "H then E(K, J0) of kGcmEnvelope"
    printf '// The plaintext of kGcmEnvelope\ninline constexpr char kGcmPlaintext[] = "%s\\n";\n\n' "$(cat msg)"
    for f in pss256 pss384; do
        line=$(openssl asn1parse -inform DER -in $f.der | grep -A1 rsassaPss | tail -1)
        offset=$(sed -E 's/^ *([0-9]+):.*/\1/' <<<"$line"); hl=$(sed -E 's/.*hl= *([0-9]+).*/\1/' <<<"$line")
        length=$(sed -E 's/.* l= *([0-9]+).*/\1/' <<<"$line")
        tail -c +$((offset + 1)) $f.der | head -c $((hl + length)) > $f.params
    done
    constant kPssParamsSha256 "RSASSA-PSS-params of a SHA-256 signature with OpenSSL's default salt (maximum)" < pss256.params
    constant kPssParamsSha384Salt32 "RSASSA-PSS-params of a SHA-384 signature with a 32-byte salt" < pss384.params
    for curve in p256 p384; do
        element $curve.der 'd=5 .*OCTET STRING' content > $curve.sig
        upper=$(tr a-z A-Z <<<"$curve")
        constant kEcdsa${upper}Signature "ECDSA-Sig-Value of a SignerInfo signed with a ${upper} key" < $curve.sig
        openssl asn1parse -inform DER -in $curve.sig | sed -n 's/.*INTEGER *://p' | tr -d '\n' | xxd -r -p |
            constant kEcdsa${upper}Integers "r then s of that signature, as asn1parse prints them (no padding)"
    done
    echo '}  // namespace modern_fixtures'
} > "$out"
echo "wrote $out"
