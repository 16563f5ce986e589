#!/bin/bash
# Signed files made by OpenSSL for the signature tests: several digests, with and without
# authenticated attributes, streamed (open lengths), two signers, an expired signer, and
# signedAndEnvelopedData written through OpenSSL's C API by make_type4.c; RSA-PSS, ECDSA (P-256,
# P-384) and DSA signers with fixed keys (keys/) and certificates made here.
# Runs in the test data folder (its argument) after the certificates exist; files already made are
# kept, so a second run is quick.
set -euo pipefail
out="${1:-.}"
here="$(cd "$(dirname "$0")" && pwd)"
cd "$out"

# Files signed with keys that were made again since are stale: start over when the certificates or
# this script changed.
stamp="$(cat carol.pem dave.pem expired.pem alice.pem "$here/fixtures-signatures.sh" "$here/make_type4.c" "$here"/keys/* |
    sha1sum | cut -c1-12)"
if [ "$(cat .signatures-made 2>/dev/null)" != "$stamp" ]; then
    rm -f sig-* signer-* make_type4 .signatures-made
fi

make_once() {  # target command...: runs the command only when the target is missing
    local target=$1
    shift
    [ -s "$target" ] || "$@"
}

# Content: 150,000 bytes, more than one read block of the signed-file path.
make_once sig-content.bin openssl rand -out sig-content.bin 150000
make_once sig-content.gz bash -c 'gzip -9 -n -c sig-content.bin > sig-content.gz'
# A gzip file whose deflate stream never ends (cut in the middle, no trailer).
make_once sig-content-cut.gz bash -c 'head -c 70000 sig-content.gz > sig-content-cut.gz'

sign() {  # output input signer-options...
    local output=$1 input=$2
    shift 2
    make_once "$output" openssl smime -sign -nodetach -binary -outform DER -in "$input" -out "$output" "$@"
}
carol=(-signer carol.pem -inkey carol.key.pem)
dave=(-signer dave.pem -inkey dave.key.pem)

for md in sha1 md5 sha256; do
    sign "sig-carol-$md.p7" sig-content.bin "${carol[@]}" -md "$md"
    sign "sig-carol-$md-noattr.p7" sig-content.bin "${carol[@]}" -md "$md" -noattr
done
sign sig-dave-sha1.p7 sig-content.bin "${dave[@]}" -md sha1
sign sig-expired.p7 sig-content.bin -signer expired.pem -inkey expired.key.pem -md sha256
# Two signers: Carol's certificate travels in the file, Dave's is only in the user's store.
sign sig-two.p7 sig-content.bin "${carol[@]}" "${dave[@]}" -md sha1 -nocerts -certfile carol.pem
# No certificate in the file at all.
sign sig-nocerts.p7 sig-content.bin "${carol[@]}" -md sha1 -nocerts
sign sig-content-gz.p7 sig-content.gz "${carol[@]}" -md sha1
sign sig-content-cut-gz.p7 sig-content-cut.gz "${carol[@]}" -md sha1
# Streamed: open lengths and the content cut into chunks.
make_once sig-stream.p7 openssl cms -sign -stream -binary -outform DER -nodetach -md sha256 \
    -in sig-content.bin -out sig-stream.p7 "${carol[@]}"
# The empty content.
[ -f sig-empty.bin ] || : > sig-empty.bin
sign sig-empty.p7 sig-empty.bin "${carol[@]}" -md sha1

# Signed inside enveloped: a whole signed file (definite, and streamed) encrypted for Alice.
make_once sig-nested.p7 openssl smime -encrypt -binary -outform DER -aes128 -in sig-carol-sha256.p7 \
    -out sig-nested.p7 alice.pem
make_once sig-nested-stream.p7 openssl smime -encrypt -binary -outform DER -aes256 -in sig-stream.p7 \
    -out sig-nested-stream.p7 alice.pem

# signedAndEnvelopedData for Alice, signed by Carol.
make_once make_type4 gcc -O1 -o make_type4 "$here/make_type4.c" -lcrypto
for md in sha1 sha256; do
    make_once "sig-type4-$md.p7" ./make_type4 carol.pem carol.key.pem alice.pem "$md" sig-content.bin \
        "sig-type4-$md.p7"
done

# Today's signature algorithms: certificates for the fixed keys, then files signed with them.
for key in pss-rsa ec-p256 ec-p384 dsa; do
    make_once "signer-$key.pem" openssl req -x509 -new -key "$here/keys/$key.key.pem" -subj "/CN=Signer $key" \
        -days 3650 -out "signer-$key.pem"
done
cms_sign() {  # output key digest options...
    local output=$1 key=$2 digest=$3
    shift 3
    make_once "$output" openssl cms -sign -nodetach -binary -outform DER -in sig-content.bin -out "$output" -md "$digest" \
        -signer "signer-$key.pem" -inkey "$here/keys/$key.key.pem" "$@"
}
cms_sign sig-pss-sha256.p7 pss-rsa sha256 -keyopt rsa_padding_mode:pss
cms_sign sig-pss-sha256-noattr.p7 pss-rsa sha256 -keyopt rsa_padding_mode:pss -noattr
cms_sign sig-ec256-sha256.p7 ec-p256 sha256
cms_sign sig-ec384-sha384.p7 ec-p384 sha384
cms_sign sig-ec384-sha384-noattr.p7 ec-p384 sha384 -noattr
cms_sign sig-dsa-sha256.p7 dsa sha256
for kind in pss-sha256 dsa-sha256; do
    make_once "sig-nested-$kind.p7" openssl cms -encrypt -binary -outform DER -aes256 -in "sig-$kind.p7" \
        -out "sig-nested-$kind.p7" alice.pem
done
for key in ec-p256 dsa; do
    make_once "sig-type4-$key.p7" ./make_type4 "signer-$key.pem" "$here/keys/$key.key.pem" alice.pem sha256 \
        sig-content.bin "sig-type4-$key.p7"
done
echo "$stamp" > .signatures-made
