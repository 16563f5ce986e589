#!/bin/bash
# OpenSSL opens our envelopes for every algorithm and key length it knows, at sizes around the
# cipher block and the writer's chunk, and for each of several recipients.
. "$(dirname "$0")/common.bash"

sizes=(0 1 7 8 9 15 16 17 32767 32768 32769 65535 65536 65537)
for size in "${sizes[@]}"; do make_file "$work/s$size" "$size"; done
make_file "$work/big" 1048583

# OpenSSL's envelope code rejects RC4 with NULL or salt parameters (it writes none), so RC4
# envelopes are opened step by step: OpenSSL unwraps the key and runs the bare RC4 stream. A salt,
# when the parameters carry one, follows the key bytes.
decrypt_rc4() {  # envelope recipient output
    local env=$1 who=$2 out=$3 parsed="$work/parsed"
    openssl asn1parse -inform DER -in "$env" > "$parsed" 2>"$work/openssl.err" || return 1
    local keyhex salthex="" content
    keyhex=$(grep -m1 -A1 ':rsaEncryption' -A2 "$parsed" | grep -m1 'OCTET STRING' | sed 's/.*HEX DUMP\]://')
    if grep -A1 ':rc4$' "$parsed" | grep -q 'OCTET STRING'; then
        salthex=$(grep -A1 ':rc4$' "$parsed" | grep 'OCTET STRING' | sed 's/.*HEX DUMP\]://')
    fi
    echo "$keyhex" | xxd -r -p > "$work/ek"
    openssl pkeyutl -decrypt -inkey "$data/$who.key.pem" -in "$work/ek" -out "$work/key" 2>>"$work/openssl.err" || return 1
    content=$(grep 'prim: cont \[ 0 \]' "$parsed" | tail -1)
    local offset header length
    offset=$(echo "$content" | sed 's/^ *\([0-9]*\):.*/\1/')
    header=$(echo "$content" | sed 's/.*hl=\([0-9]*\).*/\1/')
    length=$(echo "$content" | sed 's/.*l= *\([0-9]*\) prim.*/\1/')
    # Through a file: with pipefail, head ending first would fail the pipe.
    tail -c +"$((offset + header + 1))" "$env" > "$work/rest"
    head -c "$length" "$work/rest" > "$work/content"
    local key="$(xxd -p "$work/key" | tr -d '\n')$salthex" cipher=-rc4
    [ "${#key}" -eq 10 ] && cipher=-rc4-40
    openssl enc -d "$cipher" -K "$key" -nosalt "${legacy[@]}" -in "$work/content" -out "$out" 2>>"$work/openssl.err"
}

check() {  # label file recipient...
    local label=$1 file=$2; shift 2
    local who
    for who in "$@"; do
        rm -f "$work/out"
        local open=decrypt
        [[ "$label" == rc4* ]] && open=decrypt_rc4
        if ! "$open" "$file.pkcs7" "$who" "$work/out"; then
            fail "$label: OpenSSL cannot open $(basename "$file").pkcs7 for $who: $(head -c 200 "$work/openssl.err")"
        elif ! cmp -s "$file" "$work/out"; then
            fail "$label: $(basename "$file") decrypted for $who differs from the source"
        fi
    done
}

# Our own reader opens what we wrote: the unpacked file beside the envelope gives the source back.
check_own() {  # label file [envelope]
    local out="$work/own/$(basename "$2")" envelope="${3:-$2.pkcs7}"
    rm -rf "$work/own" && mkdir "$work/own"
    if ! quill unpack --out-dir "$(winpath "$work/own")" "$(winpath "$envelope")" >"$work/unpack.log" 2>&1; then
        fail "$1: quill unpack failed: $(tail -3 "$work/unpack.log")"
    elif ! cmp -s "$2" "$out"; then
        fail "$1: $(basename "$2") unpacked by quill differs from the source"
    fi
}

pack_all() {  # label options... -- files
    local label=$1; shift
    local opts=() files=()
    while [ "$1" != "--" ]; do opts+=("$1"); shift; done
    shift
    for f in "$@"; do rm -f "$f.pkcs7"; files+=("$(winpath "$f")"); done
    if ! quill pack --no-compress --no-verify-certs "${opts[@]}" "${files[@]}" >"$work/pack.log" 2>&1; then
        fail "$label: quill pack failed: $(tail -3 "$work/pack.log")"
        return 1
    fi
}

alice="$(winpath "$data/alice.cer")"
bob="$(winpath "$data/bob.cer")"

# Every algorithm and length over the boundary sizes, for one recipient.
for combo in "rc2 40" "rc2 64" "rc2 128" "rc4 40" "rc4 128" "des 56" "3des 168" "aes128 128" "aes192 192" \
             "aes256 256"; do
    set -- $combo
    label="$1-$2"
    files=()
    for size in "${sizes[@]}"; do files+=("$work/s$size"); done
    pack_all "$label" --alg "$1" --key-bits "$2" --to "$alice" -- "${files[@]}" || continue
    for f in "${files[@]}"; do check "$label" "$f" alice; done
done

# A large file and two recipients (Bob's key lives in the other provider type): each key opens it.
for alg in 3des aes256 rc2; do
    pack_all "$alg two recipients" --alg "$alg" --to "$alice" --to "$bob" -- "$work/big" "$work/s32768" || continue
    check "$alg two recipients" "$work/big" alice bob
    check "$alg two recipients" "$work/s32768" alice bob
done

# RSA-OAEP key transport: every recipient entry names id-RSAES-OAEP with the default (SHA-1)
# parameters, each recipient's key opens it, and signed content inside stays verifiable.
oaep_entries() { openssl asn1parse -inform DER -in "$1" | grep -A1 ':rsaesOaep$' | grep -c 'SEQUENCE' || true; }
if pack_all "oaep two recipients" --alg aes256 --key-transport oaep --to "$alice" --to "$bob" -- "$work/big"; then
    [ "$(oaep_entries "$work/big.pkcs7")" = 2 ] || fail "oaep: the envelope does not name RSA-OAEP for both recipients"
    check "oaep two recipients" "$work/big" alice bob
    check_own "oaep two recipients" "$work/big"
fi
if pack_all "oaep signed" --alg aes128 --key-transport oaep --signed-type 3 --sign "Carol Signer" --to "$alice" \
        -- "$work/s65537"; then
    if ! decrypt "$work/s65537.pkcs7" alice "$work/inner"; then
        fail "oaep signed: OpenSSL cannot decrypt: $(head -c 200 "$work/openssl.err")"
    elif ! openssl smime -verify -inform DER -noverify -binary -in "$work/inner" -out "$work/out" 2>"$work/openssl.err" ||
            ! cmp -s "$work/s65537" "$work/out"; then
        fail "oaep signed: OpenSSL does not verify the signed content: $(head -c 200 "$work/openssl.err")"
    fi
    check_own "oaep signed" "$work/s65537"
fi

# AES-GCM: AuthEnvelopedData with a 12-byte nonce and a 16-byte tag, at the boundary sizes, for two
# recipients (one through OAEP), with the signed message inside, and compressed (its length known
# only at the end).
gcm_files=("$work/s0" "$work/s1" "$work/s16" "$work/s17" "$work/s65537" "$work/big")
if pack_all "aes256gcm" --alg aes256gcm --to "$alice" -- "${gcm_files[@]}"; then
    openssl asn1parse -inform DER -in "$work/big.pkcs7" > "$work/gcm.txt"
    grep -q ':id-smime-ct-authEnvelopedData$' "$work/gcm.txt" && grep -q ':aes-256-gcm$' "$work/gcm.txt" ||
        fail "aes256gcm: the envelope is not AuthEnvelopedData with AES-256-GCM"
    for f in "${gcm_files[@]}"; do check "aes256gcm" "$f" alice; check_own "aes256gcm" "$f"; done
fi
if pack_all "aes128gcm two recipients" --alg aes128gcm --key-transport oaep --to "$alice" --to "$bob" -- "$work/s32769"; then
    check "aes128gcm two recipients" "$work/s32769" alice bob
    check_own "aes128gcm two recipients" "$work/s32769"
fi
if pack_all "aes192gcm signed" --alg aes192gcm --sign "Carol Signer" --to "$alice" -- "$work/s65536"; then
    if ! decrypt "$work/s65536.pkcs7" alice "$work/inner"; then
        fail "aes192gcm signed: OpenSSL cannot decrypt: $(head -c 200 "$work/openssl.err")"
    elif ! openssl smime -verify -inform DER -noverify -binary -in "$work/inner" -out "$work/out" 2>"$work/openssl.err" ||
            ! cmp -s "$work/s65536" "$work/out"; then
        fail "aes192gcm signed: OpenSSL does not verify the signed content: $(head -c 200 "$work/openssl.err")"
    fi
    check_own "aes192gcm signed" "$work/s65536"
fi
printf 'a line that compresses well\n%.0s' $(seq 1 11000) > "$work/text"
rm -f "$work/text.gz.pkcs7"
if ! quill pack --no-verify-certs --alg aes256gcm --to "$alice" "$(winpath "$work/text")" >"$work/pack.log" 2>&1; then
    fail "aes256gcm compressed: quill pack failed: $(tail -3 "$work/pack.log")"
elif ! decrypt "$work/text.gz.pkcs7" alice "$work/text.gz"; then
    fail "aes256gcm compressed: OpenSSL cannot decrypt: $(head -c 200 "$work/openssl.err")"
elif ! gzip -dc "$work/text.gz" | cmp -s "$work/text" -; then
    fail "aes256gcm compressed: the decrypted member does not give the source back"
else
    check_own "aes256gcm compressed" "$work/text" "$work/text.gz.pkcs7"
fi
# A flipped ciphertext byte must fail OpenSSL's tag check.
cp "$work/s65537.pkcs7" "$work/tampered.pkcs7"
byte=$(xxd -s 2000 -l 1 -p "$work/tampered.pkcs7")
printf '%02x' $((0x$byte ^ 0xff)) | xxd -r -p | dd of="$work/tampered.pkcs7" bs=1 seek=2000 conv=notrunc status=none
if decrypt "$work/tampered.pkcs7" alice "$work/out"; then fail "aes256gcm: a tampered envelope still decrypts"; fi

pack_all "rc4 no salt" --alg rc4 --key-bits 40 --no-salt --to "$alice" -- "$work/s9" && check "rc4 no salt" "$work/s9" alice

# A stranger's certificate from the store is no recipient: OpenSSL must refuse with its key.
pack_all "other recipient" --alg aes128 --to "$bob" -- "$work/s17"
if decrypt "$work/s17.pkcs7" alice "$work/out" && cmp -s "$work/s17" "$work/out"; then
    fail "an envelope for Bob opened with Alice's key"
fi
finish
