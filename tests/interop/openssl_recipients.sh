#!/bin/bash
# Envelopes OpenSSL 3 writes for today's recipients: named by subject key identifier, RSA-OAEP key
# transport, key agreement (EC) beside RSA. What can be opened opens; what cannot is refused in
# words with no output left; quill info lists every recipient with its key transport.
. "$(dirname "$0")/common.bash"

expect_status() {  # label expected command...
    local label=$1 expected=$2; shift 2
    local status=0
    # A dialog would wait forever: a run that does not end in time counts as a failure.
    timeout 300 "$QUILL_WINE_RUN" "$QUILL_EXE" "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$label: exit status $status, expected $expected ($(tail -qn 3 "$work/out.txt" "$work/err.txt"))"
}
expect_text() {  # label file pattern
    grep -q -- "$3" "$2" || fail "$1: no \"$3\" in: $(cat "$2")"
}
seal() {  # name cms-recipient-options... (the source file "$work/src"; AES-256 unless $cipher says otherwise)
    local name=$1; shift
    if ! openssl cms -encrypt -binary -outform DER "${cipher:--aes256}" -in "$work/src" -out "$work/$name.pkcs7" "$@" \
        2>"$work/openssl.err"; then
        fail "$name: OpenSSL could not make it: $(head -c 300 "$work/openssl.err")"
        return 1
    fi
}
opens() {  # label name: quill unpack writes the source bytes back
    rm -f "$work/$2"
    expect_status "$1" 0 unpack "$(winpath "$work/$2.pkcs7")"
    cmp -s "$work/src" "$work/$2" || fail "$1: the output differs from the source or is missing"
}
refused() {  # label name reason: quill unpack fails, names the reason, leaves no output
    rm -f "$work/$2"
    expect_status "$1" 1 unpack "$(winpath "$work/$2.pkcs7")"
    expect_text "$1" "$work/err.txt" "$3"
    expect_text "$1 (code)" "$work/err.txt" "0x80090029"
    [ -e "$work/$2" ] && fail "$1: an output was left behind"
    return 0
}
described() {  # label name pattern...: quill info succeeds and prints every pattern
    local label=$1 name=$2; shift 2
    rm -f "$work/$name"
    expect_status "$label info" 0 info "$(winpath "$work/$name.pkcs7")"
    for pattern in "$@"; do expect_text "$label info" "$work/out.txt" "$pattern"; done
    [ -e "$work/$name" ] && fail "$label info: an output was written"
    return 0
}
key_id() {  # certificate: its subject key identifier as upper-case hex without separators
    openssl x509 -in "$1" -noout -ext subjectKeyIdentifier | tail -1 | tr -d ' :\n' | tr a-f A-F
}

make_file "$work/src" 100003
self="$data/selfsigned.pem"  # made by req -x509, which adds a subject key identifier; key in the store
[ -n "$(key_id "$self")" ] || fail "the self-signed test certificate has no subject key identifier"
# A certificate with a key identifier that is nobody's in the store, and an EC (P-256) one.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/nobody.key" -out "$work/nobody.pem" -days 30 \
    -subj "/CN=Nobody Recipient" 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/ec.key" -out "$work/ec.pem" \
    -days 30 -subj "/CN=EC Recipient" 2>/dev/null

# Version 2 envelopes: recipients named by key identifier; the store's certificate is found by it,
# the unknown one is listed by its identifier.
if seal keyid -keyid -recip "$work/nobody.pem" -recip "$self"; then
    opens "key identifier" keyid
    described "key identifier" keyid "Recipient: Self Signed Recipient.*key transport RSA (PKCS #1 v1.5); key: available" \
        "Recipient: (not in the store); key identifier $(key_id "$work/nobody.pem"); key transport RSA (PKCS #1 v1.5); key: none"
fi

# RSA-OAEP with SHA-1 through the provider of each key: RSA and AES for Alice, RSA full for Bob
# (with a cipher that provider has, so that no other provider is asked for).
if seal oaep-alice -recip "$data/alice.pem" -keyopt rsa_padding_mode:oaep; then
    opens "OAEP SHA-1 for alice" oaep-alice
fi
if cipher=-des3 seal oaep-bob -recip "$data/bob.pem" -keyopt rsa_padding_mode:oaep; then
    opens "OAEP SHA-1 for bob" oaep-bob
fi
described "OAEP SHA-1" oaep-alice "Recipient: Alice Recipient.*key transport RSA-OAEP (SHA-1)"
if seal oaep-keyid -keyid -recip "$self" -keyopt rsa_padding_mode:oaep; then
    opens "OAEP SHA-1 by key identifier" oaep-keyid
fi

# RSA-OAEP with SHA-256: the key's provider has no such padding: a clear refusal, nothing written.
if seal oaep256 -recip "$data/alice.pem" -keyopt rsa_padding_mode:oaep -keyopt rsa_oaep_md:sha256; then
    refused "OAEP SHA-256" oaep256 "key transport RSA-OAEP with SHA-256 is not supported by the key's provider"
    described "OAEP SHA-256" oaep256 "Recipient: Alice Recipient.*key transport RSA-OAEP (SHA-256)" \
        "not supported: key transport RSA-OAEP with SHA-256"
fi

# Key agreement (EC) beside RSA: opened through the RSA entry; both are listed.
if seal ec-and-rsa -recip "$work/ec.pem" -recip "$data/alice.pem"; then
    opens "EC beside RSA" ec-and-rsa
    described "EC beside RSA" ec-and-rsa "Recipient: Alice Recipient.*key transport RSA (PKCS #1 v1.5)" \
        "Recipient: (not in the store); issuer EC Recipient.*key agreement ECDH.*not supported: key agreement (EC)"
fi
# Only key agreement: "not supported", not a missing key, and no output.
if seal ec-only -recip "$work/ec.pem"; then
    refused "EC only" ec-only "key agreement (EC) recipients are not supported"
fi
finish
