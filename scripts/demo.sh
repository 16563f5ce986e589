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

echo "== packing a sample file with ./quill (AES-256)"
printf 'Quarterly report\nThe figures stay between us.\n' > "$demo/report.txt"
for i in $(seq 2000); do echo "line $i of the sample"; done >> "$demo/report.txt"
./quill pack --alg aes256 --to "$demo/recipient.pem" "$demo/report.txt"
ls -l "$demo/report.txt" "$demo/report.txt.pkcs7"
openssl cms -cmsout -print -inform DER -in "$demo/report.txt.pkcs7" | grep -E 'contentType|algorithm:' | head -4

echo "== OpenSSL opens the envelope with the recipient's key"
openssl cms -decrypt -inform DER -in "$demo/report.txt.pkcs7" -recip "$demo/recipient.pem" \
    -inkey "$demo/recipient.key" -binary -out "$demo/report.out"
if cmp -s "$demo/report.txt" "$demo/report.out"; then
    echo "the decrypted file equals the original:"
    head -2 "$demo/report.out"
else
    echo "the decrypted file differs from the original" >&2
    exit 1
fi
