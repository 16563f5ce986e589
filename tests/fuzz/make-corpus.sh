#!/bin/bash
# Seed inputs for the fuzz targets: envelopes, certificates and gzip files made by OpenSSL and
# gzip, the parts of them each parser reads, and small hand-made records. Writes OUTDIR/<target>/.
# Usage: make-corpus.sh OUTDIR
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:?usage: make-corpus.sh OUTDIR}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
out="$(cd "$out" && pwd)"
for t in der oid_element ber_stream rc2_params gzip sfx_directory certificate_record envelope_layout \
         signer_trailer envelope_rules command_line recipient_info rsa_padding_params auth_enveloped \
         ecdsa_signature gcm; do
    mkdir -p "$out/fuzz_$t"
done

# Hex text to a seed file: hex TARGET NAME HEX...
hex() {
    local target="$1" name="$2"
    shift 2
    echo "$*" | xxd -r -p > "$out/fuzz_$target/$name"
}

# The content bytes of the element described by an asn1parse line "OFFSET:d=D hl=H l=L ...".
element_content() {
    local file="$1" line="$2" offset hl length
    offset=$(sed -E 's/^ *([0-9]+):.*/\1/' <<<"$line")
    hl=$(sed -E 's/.*hl= *([0-9]+).*/\1/' <<<"$line")
    length=$(sed -E 's/.* l= *([0-9]+).*/\1/' <<<"$line")
    tail -c +$((offset + hl + 1)) "$file" | head -c "$length"
}

cd "$work"
for who in alice bob; do
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=$who/O=Fuzz" -days 2 -keyout "$who.key" -out "$who.pem" \
        2>/dev/null
    openssl x509 -in "$who.pem" -outform DER -out "$who.der"
done
printf 'hello\n' > small
head -c 3000 /dev/urandom > random

# Envelopes the readers take: enveloped to one and two recipients, signed with and without
# attributes and certificates, streamed (indefinite lengths), and PKCS#7 signedData.
envelopes=()
for cipher in aes256 aes128 des3; do
    openssl cms -encrypt -binary -outform DER "-$cipher" -in small -out "enc-$cipher.der" alice.pem bob.pem
    envelopes+=("enc-$cipher.der")
done
openssl cms -encrypt -binary -outform DER -aes256 -in random -out enc-one.der alice.pem
envelopes+=(enc-one.der)
sign=(-binary -outform DER -signer alice.pem -inkey alice.key)
openssl cms -sign -nodetach "${sign[@]}" -md sha256 -in small -out signed-attrs.der
openssl cms -sign -nodetach "${sign[@]}" -md sha1 -noattr -in small -out signed-noattr.der
openssl cms -sign -nodetach "${sign[@]}" -md sha256 -nocerts -in small -out signed-nocerts.der
openssl cms -sign -nodetach -stream "${sign[@]}" -md sha256 -in random -out signed-stream.der
openssl cms -sign -nodetach "${sign[@]}" -md sha256 -in small -out signed-two.der \
    -signer bob.pem -inkey bob.key
openssl smime -sign -nodetach "${sign[@]}" -md sha1 -in small -out smime-signed.der
signed=(signed-attrs.der signed-noattr.der signed-nocerts.der signed-stream.der signed-two.der smime-signed.der)
envelopes+=("${signed[@]}" alice.der)

for f in "${envelopes[@]}"; do cp "$f" "$out/fuzz_der/"; done

# The streaming parser's first byte picks the ContentInfo form (bit 0) and the piece size.
for f in "${signed[@]}"; do
    { printf '\x01'; cat "$f"; } > "$out/fuzz_ber_stream/whole-$f"
    { printf '\x0b'; cat "$f"; } > "$out/fuzz_ber_stream/pieces-$f"
    # The SignedData on its own, without the ContentInfo (definite lengths only).
    if line=$(openssl asn1parse -inform DER -in "$f" | grep -m1 'd=1 .*cont \[ 0 \]') && ! grep -q 'l=inf' <<<"$line"; then
        { printf '\x00'; element_content "$f" "$line"; } > "$out/fuzz_ber_stream/bare-$f"
    fi
done

# RecipientInfos SET content of the enveloped files.
for f in enc-*.der; do
    line=$(openssl asn1parse -inform DER -in "$f" | grep -m1 'd=3 .*SET')
    element_content "$f" "$line" > "$out/fuzz_recipient_info/$f"
done

# Certificates [0] and signerInfos SET content of the signed files.
for f in signed-attrs.der signed-noattr.der signed-two.der smime-signed.der; do
    parsed=$(openssl asn1parse -inform DER -in "$f")
    if line=$(grep -m1 'd=3 .*cont \[ 0 \]' <<<"$parsed"); then
        element_content "$f" "$line" > "$out/fuzz_signer_trailer/certificates-$f"
    fi
    line=$(grep 'd=3 .*SET' <<<"$parsed" | tail -1)
    element_content "$f" "$line" > "$out/fuzz_signer_trailer/signers-$f"
done

# Certificate records: certificate alone, with a friendly name, with a name and a key-provider block
# (container name at offset 48, provider name after it, no parameters).
cp alice.der "$out/fuzz_certificate_record/certificate"
name=$(printf 'A\0l\0i\0c\0e\0\0\0' | xxd -p | tr -d '\n')
block="3000000000000000 3800000000000000 01000000 00000000 00000000 00000000 0000000000000000 01000000 00000000"
block="$block 6b0065007900000041004200430000000000"
{ cat alice.der; printf '\x0c\0\0\0'; echo "$name" | xxd -r -p; } > "$out/fuzz_certificate_record/named"
{ cat alice.der; printf '\x0c\0\0\0'; echo "$name $block" | xxd -r -p; } > "$out/fuzz_certificate_record/with-block"
echo "$block" | xxd -r -p > "$out/fuzz_certificate_record/block-only"

# gzip members: plain, with the stored name, and hand-made headers with every optional field.
gzip -c -n random > "$out/fuzz_gzip/plain.gz"
gzip -c small > "$out/fuzz_gzip/stdin.gz"
cp small named && gzip -k -N named && mv named.gz "$out/fuzz_gzip/named.gz"
hex gzip all-fields 1f8b 08 1e 00000000 00 03 0400 41420102 6e616d6500 636f6d6d656e7400 abcd 0300
hex gzip extra-only 1f8b 08 04 00000000 00 ff 0000

# Hand-made DER: length forms and small elements.
hex der lengths 30 81 03 02 01 05 04 82 00 02 aa bb 31 00 a0 84 00 00 00 00
hex der open 30 80 04 01 00 00 00
hex der integers 02 01 00 02 04 7f ff ff ff 02 05 00 ff ff ff ff 02 01 80

# OID elements (also read as bare value bytes by the same target).
hex oid_element signed-data 06 09 2a 86 48 86 f7 0d 01 07 02
hex oid_element aes256 06 09 60 86 48 01 65 03 04 01 2a
hex oid_element sha1 06 05 2b 0e 03 02 1a
hex oid_element sha256-value 60 86 48 01 65 03 04 02 01
hex oid_element long-arc 2a 86 48 86 f7 0d ff ff ff ff 7f

# RC2 parameters: version 58 (128 bits) and 160 (40 bits) with an IV, version only.
hex rc2_params v58 30 0d 02 01 3a 04 08 01 02 03 04 05 06 07 08
hex rc2_params v160 30 0e 02 02 00 a0 04 08 08 07 06 05 04 03 02 01
hex rc2_params bare 30 03 02 01 78
# GHASH: H, piece size less one, data length, data, text (the published cases 3 and 2).
hex gcm case3 b83b533708bf535d0aa6e52980d53b78 10 00 \
    42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985
hex gcm case2 66e94bd4ef8a2c3b884cfa59ca342b2e 00 00 0388dace60b6a392f328c2b971b2fe78
# a "b c" -dw 'd' in UTF-16
hex command_line quoted 61 00 20 00 22 00 62 00 20 00 63 00 22 00 20 00 2d 00 64 00 77 00 20 00 27 00 64 00 27 00

# Self-decoding directory (from after its length): two files, the first opened after unpacking;
# and a template-size record between other bytes.
hex sfx_directory two-files 02000000 01 000000 01000000 05000000 61002e00740078007400 0000 \
    00000000 10000000 62000000
hex sfx_directory template 4d5a9000 51 6e 64 78 54 a7 5e 01 00100000 00000000

# Envelope layout: a control byte (kind, open form, certificates, wide length) and part sizes.
hex envelope_layout enveloped 00 01 04 01020304 02 0a0b 00000100
hex envelope_layout signed-certs 23 03 616263 02 6162 03 616263 00001000
hex envelope_layout open-sae 11 02 0102 01 05 01 06 02 0708 01 09 00 ffff
hex envelope_layout wide 43 00 00 00 00 00 7fffffff
# Envelope reading rules: a control byte (rule, algorithm, content length), then a length, RC2
# parameters or an IV, and the start of a plaintext that is a signed ContentInfo.
hex envelope_rules length 02 82 01 00
hex envelope_rules open 05 80 00 00
hex envelope_rules rc2 00 30 0d 02 01 3a 04 08 01 02 03 04 05 06 07 08
hex envelope_rules iv 01 04 10 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f
hex envelope_rules nested 40 30 81 90 06 09 2a 86 48 86 f7 0d 01 07 02 a0 81 82
hex envelope_rules nested-open 41 30 80 06 09 2a 86 48 86 f7 0d 01 07 02 a0 80
# Today's peers (the fixtures OpenSSL made for the format tests): every recipient kind, an AES-GCM
# file, OAEP and PSS parameters (first byte 0 OAEP, 1 PSS), ECDSA signatures (first byte 31: P-256,
# 47: P-384).
fixture() { sed -n "/ $1\[\] =/,/;/p" "$root/tests/format/modern_fixtures.h" | grep -o '"[0-9a-f]*"' | tr -d '"\n'; }
fixture kRecipientsOaep | xxd -r -p > "$out/fuzz_recipient_info/oaep"
fixture kRecipientsAllKinds | xxd -r -p > "$out/fuzz_recipient_info/all-kinds"
fixture kGcmEnvelope | xxd -r -p > "$out/fuzz_auth_enveloped/gcm"
{ printf '\x01'; fixture kPssParamsSha256 | xxd -r -p; } > "$out/fuzz_rsa_padding_params/pss-sha256"
{ printf '\x01'; fixture kPssParamsSha384Salt32 | xxd -r -p; } > "$out/fuzz_rsa_padding_params/pss-sha384"
hex rsa_padding_params oaep-sha256 00 302b a00d 300b 0609608648016503040201 a11a 3018 06092a864886f70d010108 300b 0609608648016503040201
hex rsa_padding_params oaep-default 00 3000
{ printf '\x1f'; fixture kEcdsaP256Signature | xxd -r -p; } > "$out/fuzz_ecdsa_signature/p256"
{ printf '\x2f'; fixture kEcdsaP384Signature | xxd -r -p; } > "$out/fuzz_ecdsa_signature/p384"
echo "seed corpus in $out: $(find "$out" -type f | wc -l) files"
