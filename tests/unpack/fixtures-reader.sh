#!/bin/bash
# Envelopes made by OpenSSL for the reader tests, and the recipients' private keys as PVK files
# (a PRIVATEKEYBLOB behind a 24-byte header) so that the tests can load them into a provider.
# Runs in the test data folder (its argument) after the certificates exist; files already made are
# kept, so a second run is quick.
set -euo pipefail
script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
out="${1:-.}"
cd "$out"
legacy=(-provider legacy -provider default)

# Files made for other certificates (the certificates were made anew) or by an older version of
# this script are made again.
stamp="$(cat alice.cer bob.cer carol.cer dave.cer stranger.cer "$script" | sha1sum | cut -c1-16)"
if [ "$(cat .reader-fixtures 2>/dev/null)" != "$stamp" ]; then
    rm -f reader-* alice.pvk bob.pvk carol.pvk dave.pvk stranger.pvk
    echo "$stamp" > .reader-fixtures
fi

make_once() {  # target command...: runs the command only when the target is missing
    local target=$1
    shift
    [ -s "$target" ] || "$@"
}

for name in alice bob carol dave stranger; do
    make_once "$name.pvk" openssl rsa -in "$name.key.pem" -outform PVK -pvk-none -out "$name.pvk" 2>/dev/null
done

# Plaintexts: empty, one byte, and 100,000 bytes (several read blocks for every cipher).
[ -f reader-plain-0.bin ] || : > reader-plain-0.bin
make_once reader-plain-1.bin bash -c 'printf "Q" > reader-plain-1.bin'
make_once reader-plain-100k.bin openssl rand -out reader-plain-100k.bin 100000
# 3,000,000 bytes: more than two of the reader's 1 MiB content batches.
make_once reader-plain-3m.bin openssl rand -out reader-plain-3m.bin 3000000
# Compressed plaintexts: a bare gzip header, and one that carries the original file name (FNAME).
make_once reader-plain-100k.gz bash -c 'gzip -9 -n -c reader-plain-100k.bin > reader-plain-100k.gz'
make_once reader-text.bin bash -c 'for i in $(seq 1 4000); do echo "line $i of a compressible text"; done > reader-text.bin'
make_once reader-text-named.gz bash -c 'gzip -c reader-text.bin > reader-text-named.gz'

encrypt() {  # output cipher input certificates...
    local output=$1 cipher=$2 input=$3
    shift 3
    make_once "$output" openssl smime -encrypt -binary -outform DER "-$cipher" "${legacy[@]}" \
        -in "$input" -out "$output" "$@"
}

for cipher in des3 aes128 aes192 aes256 des rc2-40 rc2-64 rc2-128 rc4; do
    encrypt "reader-alice-$cipher.pkcs7" "$cipher" reader-plain-100k.bin alice.pem
done
encrypt reader-alice-des3-0.pkcs7 des3 reader-plain-0.bin alice.pem
encrypt reader-alice-des3-3m.pkcs7 des3 reader-plain-3m.bin alice.pem
encrypt reader-alice-aes256-1.pkcs7 aes256 reader-plain-1.bin alice.pem
encrypt reader-alice-rc4-0.pkcs7 rc4 reader-plain-0.bin alice.pem
# Several recipients: the first one's key is not held, the second's is.
encrypt reader-stranger-alice-aes128.pkcs7 aes128 reader-plain-100k.bin stranger.pem alice.pem
encrypt reader-stranger-des3.pkcs7 des3 reader-plain-1.bin stranger.pem
# Bob's key lives in a provider without AES.
encrypt reader-bob-aes256.pkcs7 aes256 reader-plain-100k.bin bob.pem
encrypt reader-bob-des3.pkcs7 des3 reader-plain-100k.bin bob.pem
# Compressed content (".gz.pkcs7").
encrypt reader-alice-aes128.gz.pkcs7 aes128 reader-plain-100k.gz alice.pem
encrypt reader-alice-des3-named.gz.pkcs7 des3 reader-text-named.gz alice.pem
# A signed message inside an envelope.
make_once reader-signed-inner.p7 openssl smime -sign -nodetach -binary -outform DER -md sha1 -noattr \
    -signer carol.pem -inkey carol.key.pem -in reader-text.bin -out reader-signed-inner.p7
encrypt reader-alice-signed-des3.pkcs7 des3 reader-signed-inner.p7 alice.pem
# Damaged gzip files: wrong CRC-32, wrong size, and bytes that are not gzip at all.
damage() {  # output offset-from-end byte
    cp reader-text-named.gz "$1.tmp"
    local size
    size=$(stat -c %s "$1.tmp")
    printf "\\x$3" | dd of="$1.tmp" bs=1 seek=$((size - $2)) conv=notrunc status=none
    mv "$1.tmp" "$1"
}
make_once reader-bad-crc.gz damage reader-bad-crc.gz 8 00
make_once reader-bad-size.gz damage reader-bad-size.gz 4 00
encrypt reader-alice-bad-crc.gz.pkcs7 aes128 reader-bad-crc.gz alice.pem
encrypt reader-alice-bad-size.gz.pkcs7 aes128 reader-bad-size.gz alice.pem
encrypt reader-alice-not-gzip.gz.pkcs7 aes128 reader-text.bin alice.pem
exit 0
