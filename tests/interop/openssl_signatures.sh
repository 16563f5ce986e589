#!/bin/bash
# We open what OpenSSL signs with today's algorithms: RSA-PSS and ECDSA (P-256, P-384) verify, as
# signed files and signed inside an envelope for our recipient; a changed one is invalid; a signer
# whose algorithm we cannot check (DSA) is reported not checked, never invalid, and its content kept.
# The signer keys are fixed (tests/unpack/keys); the test data holds their certificates.
. "$(dirname "$0")/common.bash"
keys="$QUILL_SOURCE_DIR/tests/unpack/keys"

run() {  # label expected command... (quill's output in $work/out.txt)
    local label=$1 expected=$2; shift 2
    local status=0
    timeout 300 "$QUILL_WINE_RUN" "$QUILL_EXE" "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$label: exit status $status, expected $expected ($(tail -qn 3 "$work/out.txt" "$work/err.txt"))"
}
expect_line() {  # label pattern
    grep -q "$2" "$work/out.txt" || fail "$1: no line matching '$2' ($(cat "$work/out.txt"))"
}
sign() {  # output key digest extra-options...
    local output=$1 key=$2 digest=$3; shift 3
    openssl cms -sign -binary -nodetach -outform DER -md "$digest" -in "$work/words.orig" -out "$output" \
        -signer "$data/signer-$key.pem" -inkey "$keys/$key.key.pem" "$@" 2>"$work/openssl.err" ||
        fail "OpenSSL could not sign with $key: $(head -c 200 "$work/openssl.err")"
}
seal() {  # input output: for Alice, whose key the user holds
    openssl cms -encrypt -binary -outform DER -aes256 -in "$1" -out "$2" "$data/alice.pem" 2>"$work/openssl.err" ||
        fail "OpenSSL could not encrypt $1: $(head -c 200 "$work/openssl.err")"
}
bend() {  # input output: one content byte changed
    python3 - "$1" "$2" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'signed words\nsigned words')
assert at >= 0
data[at + 2] ^= 0x20
open(sys.argv[2], 'wb').write(data)
PY
}

printf 'signed words\n%.0s' {1..3000} > "$work/words.orig"

pss=(-keyopt rsa_padding_mode:pss)
sign "$work/pss.txt.pkcs7" pss-rsa sha256 "${pss[@]}"
sign "$work/pss-noattr.txt.pkcs7" pss-rsa sha256 "${pss[@]}" -noattr
sign "$work/ec256.txt.pkcs7" ec-p256 sha256
sign "$work/ec384.txt.pkcs7" ec-p384 sha384
sign "$work/ec384-noattr.txt.pkcs7" ec-p384 sha384 -noattr
sign "$work/dsa.txt.pkcs7" dsa sha256

# Signed files and the same signed inside an envelope: valid, the algorithm named, the content whole.
check_valid() {  # file signer algorithm
    local file=$1 signer=$2 algorithm=$3 name
    name=$(basename "$file" .pkcs7)
    rm -f "$work/$name"
    run "$name" 0 unpack "$(winpath "$file")"
    expect_line "$name" "Signer: $signer; .*; algorithm $algorithm; signature valid"
    cmp -s "$work/$name" "$work/words.orig" || fail "$name: the content differs"
}
check_valid "$work/pss.txt.pkcs7" "Signer pss-rsa" "RSA-PSS SHA-256"
check_valid "$work/pss-noattr.txt.pkcs7" "Signer pss-rsa" "RSA-PSS SHA-256"
check_valid "$work/ec256.txt.pkcs7" "Signer ec-p256" "ECDSA P-256 SHA-256"
check_valid "$work/ec384.txt.pkcs7" "Signer ec-p384" "ECDSA P-384 SHA-384"
check_valid "$work/ec384-noattr.txt.pkcs7" "Signer ec-p384" "ECDSA P-384 SHA-384"
seal "$work/pss.txt.pkcs7" "$work/sealed-pss.txt.pkcs7"
check_valid "$work/sealed-pss.txt.pkcs7" "Signer pss-rsa" "RSA-PSS SHA-256"
seal "$work/ec256.txt.pkcs7" "$work/sealed-ec256.txt.pkcs7"
check_valid "$work/sealed-ec256.txt.pkcs7" "Signer ec-p256" "ECDSA P-256 SHA-256"

# --check and info say the same without writing.
run "check" 0 unpack --check "$(winpath "$work/ec384.txt.pkcs7")"
expect_line "check" "algorithm ECDSA P-384 SHA-384; signature valid"
run "info" 0 info "$(winpath "$work/pss.txt.pkcs7")"
expect_line "info" "algorithm RSA-PSS SHA-256; signature valid"

# One content byte changed: invalid, nothing left behind. With attributes the digest differs;
# without, the signature itself fails in CNG.
for kind in ec256 ec384-noattr pss-noattr sealed-ec256; do
    source="$work/$kind.txt.pkcs7"
    if [ "$kind" = sealed-ec256 ]; then
        bend "$work/ec256.txt.pkcs7" "$work/bent-inner"
        seal "$work/bent-inner" "$work/bent-$kind.txt.pkcs7"
    else
        bend "$source" "$work/bent-$kind.txt.pkcs7"
    fi
    run "bent $kind" 1 unpack "$(winpath "$work/bent-$kind.txt.pkcs7")"
    expect_line "bent $kind" "signature invalid"
    [ -e "$work/bent-$kind.txt" ] && fail "bent $kind: the output of a bad signature was left"
done

# DSA: not supported here. The signature is not checked, not called invalid; the content is kept,
# and the exit status is the "not checked" one.
for kind in dsa sealed-dsa; do
    [ "$kind" = sealed-dsa ] && seal "$work/dsa.txt.pkcs7" "$work/sealed-dsa.txt.pkcs7"
    rm -f "$work/$kind.txt"
    run "$kind" 3 unpack "$(winpath "$work/$kind.txt.pkcs7")"
    expect_line "$kind" "Signer: Signer dsa; .*; algorithm DSA SHA-256; signature cannot be verified: algorithm not supported"
    expect_line "$kind" "Signature: cannot be verified: algorithm not supported; not checked"
    grep -q "invalid" "$work/out.txt" "$work/err.txt" && fail "$kind: reported invalid ($(cat "$work/out.txt"))"
    cmp -s "$work/$kind.txt" "$work/words.orig" || fail "$kind: the content was not kept"
done
run "dsa check" 3 unpack --check "$(winpath "$work/dsa.txt.pkcs7")"
expect_line "dsa check" "signature cannot be verified: algorithm not supported"
finish
