#!/bin/bash
# The main job end to end: install what is needed, make a demo recipient with OpenSSL, pack a
# sample file for it with ./quill and let OpenSSL open the envelope again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh

demo="$(mktemp -d)"
trap 'rm -rf "$demo"' EXIT
echo "== a demo recipient made by OpenSSL"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$demo/recipient.key" -out "$demo/recipient.pem" -days 30 \
    -subj "/CN=Demo Recipient/O=Quillarent Demo" \
    -addext "keyUsage=digitalSignature,keyEncipherment,dataEncipherment" 2>/dev/null
openssl x509 -in "$demo/recipient.pem" -noout -subject

echo "== packing a sample file with ./quill (AES-256, compressed as the default settings say)"
printf 'Quarterly report\nThe figures stay between us.\n' > "$demo/report.txt"
for i in $(seq 2000); do echo "line $i of the sample"; done >> "$demo/report.txt"
# The demo recipient is self-signed, so its chain cannot be trusted: pack for it anyway.
./quill pack --no-verify-certs --to "$demo/recipient.pem" "$demo/report.txt"
ls -l "$demo/report.txt" "$demo/report.txt.gz.pkcs7"
openssl cms -cmsout -print -inform DER -in "$demo/report.txt.gz.pkcs7" | grep -E 'contentType|algorithm:' | head -4

echo "== OpenSSL opens the envelope with the recipient's key; the content is a gzip file of the original"
openssl cms -decrypt -inform DER -in "$demo/report.txt.gz.pkcs7" -recip "$demo/recipient.pem" \
    -inkey "$demo/recipient.key" -binary -out "$demo/report.out.gz"
gunzip -c "$demo/report.out.gz" > "$demo/report.out"
if cmp -s "$demo/report.txt" "$demo/report.out"; then
    echo "the decrypted and decompressed file equals the original:"
    head -2 "$demo/report.out"
else
    echo "the decrypted file differs from the original" >&2
    exit 1
fi

echo "== the recipient imports the key into its store, and ./quill unpacks the envelope again"
openssl pkcs12 -export -in "$demo/recipient.pem" -inkey "$demo/recipient.key" -out "$demo/recipient.p12" \
    -passout pass:demo -certpbe PBE-SHA1-3DES -keypbe PBE-SHA1-3DES -macalg sha1
./quill import "$demo/recipient.p12" --password demo
mkdir "$demo/out"
./quill unpack --out-dir "$demo/out" "$demo/report.txt.gz.pkcs7"
cmp "$demo/report.txt" "$demo/out/report.txt" && echo "quill unpack gave the original bytes back"
