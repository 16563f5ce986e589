#!/bin/bash
# Makes the suite's certificates and keys with OpenSSL and imports those with keys into the test
# prefix's "MY" store with quill import.
# Usage: make-test-certs.sh OUTDIR QUILL_EXE WINE_RUN
#   ca            CN=Quill Test CA (self-signed root, not trusted by the prefix)
#   alice         CN=Alice Recipient, RSA 2048, key in the RSA/AES provider (type 24)
#   bob           CN=Bob Recipient, RSA 1024, key in the RSA full provider (type 1)
#   carol         CN=Carol Signer, RSA 2048, type 24 provider
#   dave          CN=Dave Signer, RSA 1024, type 1 provider
#   expired       CN=Expired Signer, RSA 2048, validity ended in 2020, type 24 provider
#   stranger      CN=Stranger Recipient, RSA 2048, key NOT imported (a foreign recipient)
#   selfsigned    CN=Self Signed Recipient, self-signed, type 24 provider
# Each NAME has NAME.key.pem, NAME.pem, NAME.cer (DER) and NAME.p12 (password "test").
# Afterwards every tests/*/fixtures-*.sh runs with OUTDIR as its argument (files made by OpenSSL that
# the tests read).
set -euo pipefail
out="$1"; quill_exe="$2"; wine_run="$3"
script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
source_dir="$(dirname "$(dirname "$script")")"
run_fixture_scripts() {
    local script
    for script in "$source_dir"/tests/*/fixtures-*.sh; do
        [ -f "$script" ] && (cd "$out" && bash "$script" "$out")
    done
    return 0
}
mkdir -p "$out"
cd "$out"
stamp="$(sha1sum "$script" | cut -c1-12)"
if [ -f .made ] && [ "$(cat .made)" = "$stamp" ] && [ -f .imported ]; then
    # Certificates already made and imported into this prefix.
    if "$wine_run" "$quill_exe" certs | grep -q "Alice Recipient"; then
        run_fixture_scripts
        exit 0
    fi
fi
rm -rf ca-db ./*.pem ./*.cer ./*.p12 .made .imported

cat > ca.cnf <<'CNF'
[ca]
default_ca = test_ca
[test_ca]
database = ca-db/index.txt
new_certs_dir = ca-db
serial = ca-db/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
organizationName = optional
[leaf]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment, dataEncipherment
[root]
basicConstraints = critical, CA:TRUE
keyUsage = keyCertSign, cRLSign
CNF
mkdir -p ca-db; : > ca-db/index.txt; echo 1000 > ca-db/serial

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key.pem -out ca.pem -days 3650 \
    -subj "/CN=Quill Test CA/O=Quillarent Tests" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=keyCertSign,cRLSign" 2>/dev/null

issue() {  # name bits subject [startdate enddate]
    local name=$1 bits=$2 subject=$3 start=${4:-} end=${5:-}
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:"$bits" -out "$name.key.pem" 2>/dev/null
    openssl req -new -key "$name.key.pem" -out "$name.csr" -subj "$subject" 2>/dev/null
    local dates=(-days 3650)
    [ -n "$start" ] && dates=(-startdate "$start" -enddate "$end")
    openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key.pem -extensions leaf \
        "${dates[@]}" -in "$name.csr" -out "$name.pem" -notext 2>/dev/null
    rm -f "$name.csr"
}
issue alice 2048 "/CN=Alice Recipient/O=Quillarent Tests"
issue bob 1024 "/CN=Bob Recipient/O=Quillarent Tests"
issue carol 2048 "/CN=Carol Signer/O=Quillarent Tests"
issue dave 1024 "/CN=Dave Signer/O=Quillarent Tests"
issue expired 2048 "/CN=Expired Signer/O=Quillarent Tests" 20180101000000Z 20200101000000Z
issue stranger 2048 "/CN=Stranger Recipient/O=Quillarent Tests"
openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned.key.pem -out selfsigned.pem -days 3650 \
    -subj "/CN=Self Signed Recipient/O=Quillarent Tests" -addext "keyUsage=digitalSignature,keyEncipherment,dataEncipherment" 2>/dev/null

for name in ca alice bob carol dave expired stranger selfsigned; do
    openssl x509 -in "$name.pem" -outform DER -out "$name.cer"
    openssl pkcs12 -export -in "$name.pem" -inkey "$name.key.pem" -out "$name.p12" -passout pass:test \
        -name "$name" -certpbe PBE-SHA1-3DES -keypbe PBE-SHA1-3DES -macalg sha1 2>/dev/null
done
echo "$stamp" > .made

# Freshly made certificates replace whatever an earlier run left in the prefix's "MY" store, so a
# lookup by subject never finds a certificate of an older run.
"$wine_run" reg delete 'HKCU\Software\Microsoft\SystemCertificates\My\Certificates' /f >/dev/null 2>&1 || true

for name in alice carol expired selfsigned; do
    "$wine_run" "$quill_exe" import "$name.p12" --password test --provider-type 24
done
for name in bob dave; do
    "$wine_run" "$quill_exe" import "$name.p12" --password test --provider-type 1
done
touch .imported
run_fixture_scripts
