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

pack_all "rc4 no salt" --alg rc4 --key-bits 40 --no-salt --to "$alice" -- "$work/s9" && check "rc4 no salt" "$work/s9" alice

# A stranger's certificate from the store is no recipient: OpenSSL must refuse with its key.
pack_all "other recipient" --alg aes128 --to "$bob" -- "$work/s17"
if decrypt "$work/s17.pkcs7" alice "$work/out" && cmp -s "$work/s17" "$work/out"; then
    fail "an envelope for Bob opened with Alice's key"
fi
finish
