#!/bin/bash
# GnuPG's gpgsm as a second peer: it opens our 3DES and AES envelopes and verifies our signatures, and
# we open its envelopes and verify its signed files. gpgsm runs in a GnuPG home of this test's own.
. "$(dirname "$0")/common.bash"

if ! command -v gpgsm >/dev/null; then
    echo "SKIP: gpgsm is not installed (Debian package gpgsm)"
    exit 77
fi

# A home of this test's own, so nothing touches ~/.gnupg. It lies directly under /tmp, not in the
# build tree or $TMPDIR: without /run/user/<uid> the agent puts its sockets in the home, and a Unix
# socket path may not pass 107 bytes, however deep the checkout.
export GNUPGHOME
GNUPGHOME="$(mktemp -d /tmp/quill-gnupg.XXXXXX)"
stop_agent() { gpgconf --kill all >/dev/null 2>&1 || true; rm -rf "$GNUPGHOME"; }
trap 'stop_agent; rm -rf "$work"' EXIT
# A test stopped by its timeout still stops its agent.
trap 'exit 143' TERM INT
chmod 700 "$GNUPGHOME"
echo allow-loopback-pinentry > "$GNUPGHOME/gpg-agent.conf"
# The test CA publishes no revocation lists.
echo disable-crl-checks > "$GNUPGHOME/gpgsm.conf"
echo test > "$work/passphrase"
# The p12 files' password becomes the imported keys' passphrase.
gpgsm_run() { gpgsm --batch --yes --pinentry-mode loopback --passphrase-fd 3 "$@" 3<"$work/passphrase"; }

gpgsm_run --import "$data/ca.pem" 2>"$work/gpgsm.err" || { cat "$work/gpgsm.err" >&2; exit 1; }
# gpgsm 2.2 cannot decrypt a PKCS#12 bag for about one random salt in sixty: the same file always fails,
# a fresh export of the same key passes. So each key is exported with a new salt until gpgsm takes it,
# and the certificate goes in unencrypted, which leaves one encrypted bag per file.
import_key() {  # who
    local _
    for _ in 1 2 3 4 5 6; do
        openssl pkcs12 -export -in "$data/$1.pem" -inkey "$data/$1.key.pem" -out "$work/$1.p12" -passout pass:test \
            -certpbe NONE -keypbe PBE-SHA1-3DES -macalg sha1 2>"$work/gpgsm.err" || break
        gpgsm_run --import "$work/$1.p12" 2>"$work/gpgsm.err" && return 0
    done
    cat "$work/gpgsm.err" >&2
    return 1
}
for who in alice bob carol dave; do
    import_key "$who" || exit 1
done
# The CA is trusted as a root for S/MIME ("relax": no further checks of the root's extensions).
echo "$(openssl x509 -in "$data/ca.pem" -noout -fingerprint -sha1 | sed 's/.*=//') S relax" > "$GNUPGHOME/trustlist.txt"

sizes=(0 1 16 17 65537)
for size in "${sizes[@]}"; do make_file "$work/s$size" "$size"; done

unpack_check() {  # label envelope source [signer]
    local label=$1 env=$2 source=$3 signer=${4:-}
    rm -f "${env%.pkcs7}"
    if ! quill unpack "$(winpath "$env")" >"$work/unpack.log" 2>&1; then
        fail "$label: quill unpack failed: $(tail -3 "$work/unpack.log")"
    elif ! cmp -s "$source" "${env%.pkcs7}"; then
        fail "$label: unpacked bytes differ from the source"
    elif [ -n "$signer" ] && ! grep -q "Signer: $signer.*signature valid" "$work/unpack.log"; then
        fail "$label: no valid signature of $signer reported: $(cat "$work/unpack.log")"
    fi
}

# Our files, opened by gpgsm: packed with the options given, then decrypted or verified.
ours_to_gpgsm() {  # label gpgsm-operation file quill-pack-options...
    local label=$1 operation=$2 f=$3
    shift 3
    rm -f "$f.pkcs7" "$work/out"
    if ! quill pack --no-compress --no-verify-certs "$@" "$(winpath "$f")" >"$work/pack.log" 2>&1; then
        fail "$label: quill pack failed: $(tail -3 "$work/pack.log")"
    elif ! gpgsm_run --output "$work/out" "$operation" "$f.pkcs7" 2>"$work/gpgsm.err"; then
        fail "$label: gpgsm $operation failed: $(tail -3 "$work/gpgsm.err")"
    elif ! cmp -s "$f" "$work/out"; then
        fail "$label: gpgsm's output differs from the source"
    fi
}
for alg in 3des aes128 aes192 aes256; do
    for size in "${sizes[@]}"; do
        ours_to_gpgsm "$alg, $size bytes" --decrypt "$work/s$size" --alg "$alg" --to "$(winpath "$data/alice.cer")"
    done
done
for signer in "Carol Signer" "Dave Signer"; do
    for hash in sha1 sha256 sha512; do
        ours_to_gpgsm "signed by $signer, $hash" --verify "$work/s65537" --sign "$signer" --hash "$hash"
    done
done

# gpgsm's envelopes (indefinite lengths, its own recipient entries), opened by us.
for algo in 3DES AES AES192 AES256; do
    for size in 0 17 65537; do
        env="$work/g$algo-$size.pkcs7"
        gpgsm_run --cipher-algo "$algo" -r "CN=Alice Recipient" -r "CN=Bob Recipient" --output "$env" \
            --encrypt "$work/s$size" 2>"$work/gpgsm.err" || { fail "gpgsm --encrypt $algo: $(tail -2 "$work/gpgsm.err")"; continue; }
        unpack_check "gpgsm $algo, $size bytes" "$env" "$work/s$size"
    done
done

# gpgsm's signed files, with its default digest (SHA-256) and SHA-1, with and without its certificate.
for signer in "Carol Signer" "Dave Signer"; do
    for digest in SHA256 SHA1; do
        for certs in -2 0; do
            env="$work/signed-${signer%% *}-$digest$certs.pkcs7"
            gpgsm_run --digest-algo "$digest" --include-certs "$certs" -u "CN=$signer" --output "$env" \
                --sign "$work/s65537" 2>"$work/gpgsm.err" || { fail "gpgsm --sign $digest: $(tail -2 "$work/gpgsm.err")"; continue; }
            unpack_check "gpgsm signed by $signer, $digest, include-certs $certs" "$env" "$work/s65537" "$signer"
        done
    done
done
finish
