#!/bin/bash
# quill import of keys whose private parts are a byte short of their full width, in OpenSSL's
# default (PBES2, AES-256) and -legacy (3DES key, RC2-40 certificates) encodings: each imported key
# signs what OpenSSL verifies and decrypts what OpenSSL encrypted for it. A wrong password, a
# damaged file and a key of a type the system cannot import (EC) fail clearly and leave neither
# certificate nor key container behind.
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

# The parts of a PEM key shorter than their full width (d: bits/8 bytes; the CRT parts: bits/16).
# The primes themselves always have their full bit length, so they never come out short.
short_parts() {  # key bits
    openssl rsa -in "$1" -noout -text 2>/dev/null | awk -v half=$(($2 / 16)) -v full=$(($2 / 8)) '
        /^[A-Za-z0-9]+:/ { finish(); field = $1; sub(/:.*/, "", field); n = 0; first = 1; next }
        /^ +[0-9a-f:]+$/ { gsub(/[ :]/, ""); for (i = 1; i <= length($0); i += 2) {
                               byte = substr($0, i, 2); if (first && byte == "00") { first = 0; continue }
                               first = 0; n++ } }
        function finish() {
            if (field == "privateExponent" && n < full) printf "%s ", field
            if (field ~ /^(prime1|prime2|exponent1|exponent2|coefficient)$/ && n < half) printf "%s ", field
        }
        END { finish() }'
}

# Draws 1024-bit keys until each part has come out short once (about one key in 256 each); a key
# with every part at full width is the control.
wanted=(privateExponent exponent1 exponent2 coefficient full)
declare -A found=()
for ((draw = 0; draw < 4000 && ${#found[@]} < ${#wanted[@]}; draw++)); do
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$work/draw.pem" 2>/dev/null
    parts=$(short_parts "$work/draw.pem" 1024)
    [ -z "$parts" ] && parts=full
    for part in $parts; do
        [ -z "${found[$part]:-}" ] && cp "$work/draw.pem" "$work/$part.key.pem" && found[$part]=1
    done
done
for part in "${wanted[@]}"; do
    [ -n "${found[$part]:-}" ] || fail "no key with a short $part in $draw draws"
done
echo "$draw keys drawn"

expect_status() {  # label expected command...
    local label=$1 expected=$2 status=0; shift 2
    timeout 300 "$QUILL_WINE_RUN" "$QUILL_EXE" "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$label: exit status $status, expected $expected ($(tail -qn 2 "$work/out.txt" "$work/err.txt"))"
    [ "$status" -eq "$expected" ]
}
thumbprint() { openssl x509 -in "$1" -outform DER | sha1sum | cut -c1-40 | tr a-f A-F; }
# The registry keys where Wine keeps a certificate of "MY" and a key container.
store_entry() { echo "HKCU\\Software\\Microsoft\\SystemCertificates\\My\\Certificates\\$1"; }
container_entry() { echo "HKCU\\Software\\Wine\\Crypto\\RSA\\Quillarent-$1"; }
# What this script imported leaves the prefix's store again at exit.
imported=()
forget_listed() {
    local thumb
    for thumb in "${imported[@]}"; do
        "$QUILL_WINE_RUN" reg delete "$(store_entry "$thumb")" /f >/dev/null 2>&1 || true
        "$QUILL_WINE_RUN" reg delete "$(container_entry "$thumb")" /f >/dev/null 2>&1 || true
    done
    imported=()
}
forget_imported() {
    forget_listed
    rm -rf "$work"
}
trap forget_imported EXIT
# A run that was cut short in this prefix may have left certificates of these names; they would be
# found before this run's own by their subject.
leftovers() {
    quill certs | awk '/^Subject: *CN=(Import |Refused Import)/ { mine = 1 } /^SHA-1:/ { if (mine) print $2; mine = 0 }'
}
for thumb in $(leftovers); do imported+=("$thumb"); done
forget_listed
# Neither the certificate in "MY" nor its key container is left.
expect_nothing_stored() {  # label cert.pem
    local thumb
    thumb=$(thumbprint "$2")
    quill certs > "$work/certs.txt"
    grep -q "SHA-1: *$thumb" "$work/certs.txt" && fail "$1: the certificate is in the store"
    "$QUILL_WINE_RUN" reg query "$(container_entry "$thumb")" >/dev/null 2>&1 &&
        fail "$1: the key container Quillarent-$thumb is left"
    return 0
}
make_pfx() {  # name encoding
    local legacy_option=()
    [ "$2" = legacy ] && legacy_option=(-legacy)
    openssl pkcs12 -export "${legacy_option[@]}" -in "$work/$1.pem" -inkey "$work/$1.key.pem" -out "$work/$1.p12" \
        -passout pass:test -name "$1"
}

make_file "$work/doc" 5000
# Subjects of this run only: --sign finds a certificate by a part of its subject.
run_id="run$$-$RANDOM"
repaired=0
for part in "${wanted[@]}"; do
    for encoding in default legacy; do
        name="$part-$encoding" subject="Import $part $encoding $run_id"
        label="$part short, $encoding encoding"
        [ "$part" = full ] && label="full width, $encoding encoding"
        [ -f "$work/$part.key.pem" ] || continue
        cp "$work/$part.key.pem" "$work/$name.key.pem"
        openssl req -x509 -key "$work/$name.key.pem" -out "$work/$name.pem" -days 30 -subj "/CN=$subject/O=Quillarent Tests" \
            -addext "keyUsage=digitalSignature,keyEncipherment,dataEncipherment" 2>/dev/null
        openssl x509 -in "$work/$name.pem" -outform DER -out "$work/$name.cer"
        make_pfx "$name" "$encoding"
        imported+=("$(thumbprint "$work/$name.pem")")
        expect_status "$label: import" 0 import "$(winpath "$work/$name.p12")" --password test || continue
        if grep -q "read from the file" "$work/out.txt"; then
            repaired=$((repaired + 1))
            echo "$label: the system's import damaged the key; read from the file"
        fi

        # Signed inside enveloped data for the same certificate: OpenSSL decrypts with the key and
        # verifies the signature the imported key made.
        rm -f "$work/doc.pkcs7"
        if expect_status "$label: pack" 0 pack --no-compress --no-verify-certs --signed-type 3 --alg aes256 \
            --sign "$subject" --to "$(winpath "$work/$name.cer")" "$(winpath "$work/doc")"; then
            if ! openssl cms -decrypt -inform DER -binary -in "$work/doc.pkcs7" -recip "$work/$name.pem" \
                -inkey "$work/$name.key.pem" -out "$work/inner" 2>"$work/openssl.err"; then
                fail "$label: OpenSSL cannot decrypt: $(head -c 200 "$work/openssl.err")"
            elif ! openssl smime -verify -inform DER -noverify -binary -in "$work/inner" -out "$work/verified" \
                2>"$work/openssl.err" || ! cmp -s "$work/doc" "$work/verified"; then
                fail "$label: the signature does not verify: $(head -c 200 "$work/openssl.err")"
            fi
        fi

        # An OpenSSL envelope for the certificate: quill decrypts it with the imported key.
        openssl smime -encrypt -binary -outform DER -aes256 -in "$work/doc" -out "$work/sealed.pkcs7" "$work/$name.pem"
        rm -f "$work/sealed"
        expect_status "$label: unpack" 0 unpack "$(winpath "$work/sealed.pkcs7")" && ! cmp -s "$work/doc" "$work/sealed" &&
            fail "$label: unpack gave other bytes"
    done
done
echo "keys read from the file after a damaged system import: $repaired of $(( ${#wanted[@]} * 2 ))"
# Whether the system's import damages a key varies from run to run; every key above had to work
# either way. How many needed the importer's own reading is told, not required.

# A wrong password and a damaged file: a clear error, nothing stored.
cp "$work/full.key.pem" "$work/refused.key.pem"
openssl req -x509 -key "$work/refused.key.pem" -out "$work/refused.pem" -days 30 \
    -subj "/CN=Refused Import/O=Quillarent Tests" 2>/dev/null
imported+=("$(thumbprint "$work/refused.pem")")
for encoding in default legacy; do
    make_pfx refused "$encoding"
    if expect_status "wrong password ($encoding)" 1 import "$(winpath "$work/refused.p12")" --password wrong; then
        grep -q "wrong password or damaged file" "$work/err.txt" ||
            fail "wrong password ($encoding): unclear error ($(cat "$work/err.txt"))"
    fi
    expect_nothing_stored "wrong password ($encoding)" "$work/refused.pem"
    size=$(stat -c %s "$work/refused.p12")
    for offset in $((size / 3)) $((size * 2 / 3)) $((size - 30)); do
        cp "$work/refused.p12" "$work/damaged.p12"
        # The byte's complement: a fixed value would now and then equal the byte of this run's file.
        byte=$(od -An -tu1 -j "$offset" -N1 "$work/refused.p12" | tr -d ' ')
        printf "\\x$(printf '%02x' $((byte ^ 0xFF)))" | dd of="$work/damaged.p12" bs=1 seek="$offset" conv=notrunc 2>/dev/null
        expect_status "damaged at $offset ($encoding)" 1 import "$(winpath "$work/damaged.p12")" --password test
        grep -qE "wrong password or damaged file|not a PKCS#12 file|does not match its certificate" "$work/err.txt" ||
            fail "damaged at $offset ($encoding): unclear error ($(cat "$work/err.txt"))"
        expect_nothing_stored "damaged at $offset ($encoding)" "$work/refused.pem"
    done
done

# An EC key, which the system cannot import: the user hears that it is the key's type, with the
# right password, not a wrong password or a damaged file.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/ec.key.pem" 2>/dev/null
openssl req -x509 -key "$work/ec.key.pem" -out "$work/ec.pem" -days 30 -subj "/CN=Refused Import EC/O=Quillarent Tests" \
    2>/dev/null
imported+=("$(thumbprint "$work/ec.pem")")
for encoding in default legacy; do
    make_pfx ec "$encoding"
    if expect_status "EC key ($encoding)" 1 import "$(winpath "$work/ec.p12")" --password test; then
        grep -q "the key type is not supported" "$work/err.txt" ||
            fail "EC key ($encoding): unclear error ($(cat "$work/err.txt"))"
    fi
    expect_nothing_stored "EC key ($encoding)" "$work/ec.pem"
done
finish
