#!/bin/bash
# Recovery certificates: quill recovery keeps the registry list, and quill pack encrypts every file
# for them as well as for the recipients named on the command line.
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

key='HKCU\Software\Orbelin\Quillarent\RecoveryCerts'
reg() { "$QUILL_WINE_RUN" reg "$@" >/dev/null 2>&1; }
# The tests share one prefix: whatever list was there before comes back at the end.
saved=""
if reg query "$key"; then
    saved="$work/saved.reg"
    reg export "$key" "$(winpath "$saved")" /y || fail "cannot save the recovery list found in the prefix"
fi
restore() {
    reg delete "$key" /f || true
    [ -n "$saved" ] && { reg import "$(winpath "$saved")" || echo "FAIL: the recovery list was not restored" >&2; }
    rm -rf "$work"
}
trap restore EXIT
reg delete "$key" /f || true

expect_status() {  # label expected command...
    local label=$1 expected=$2; shift 2
    local status=0
    "$@" >"$work/out.txt" 2>"$work/err.txt" || status=$?
    [ "$status" -eq "$expected" ] || fail "$label: exit status $status, expected $expected ($(tail -qn 2 "$work/out.txt" "$work/err.txt"))"
}
hex() { od -An -v -tx1 "$1" | tr -d ' \n' | tr a-f A-F; }
recipient_count() { quill info "$(winpath "$1")" 2>/dev/null | grep -c "Recipient:" || true; }
# The test CA is not trusted in the prefix: the chain checks are not what this test is about.
pack() { quill pack --no-verify-certs --no-compress "$@"; }

# An empty list, then carol added once: the value is her certificate's DER and nothing else, the
# record the packer reads.
expect_status "empty list" 0 quill recovery
grep -q "no recovery certificates" "$work/out.txt" || fail "empty list: $(cat "$work/out.txt")"
expect_status "add carol" 0 quill recovery add "$(winpath "$data/carol.cer")"
expect_status "add carol again" 0 quill recovery add "$(winpath "$data/carol.cer")"
grep -q "already listed" "$work/out.txt" || fail "a second add of the same certificate was not refused"
"$QUILL_WINE_RUN" reg query "$key" 2>/dev/null | tr -d '\r' > "$work/reg.txt" || true
[ "$(grep -c REG_BINARY "$work/reg.txt")" -eq 1 ] || fail "the list does not hold one value ($(cat "$work/reg.txt"))"
grep -q "^ *cert0 *REG_BINARY *$(hex "$data/carol.cer")$" "$work/reg.txt" || fail "cert0 is not carol's DER certificate"
expect_status "list" 0 quill recovery list
grep -q "^1\. CN=Carol Signer" "$work/out.txt" || fail "list does not show carol ($(cat "$work/out.txt"))"
expect_status "certs with a recovery list" 0 quill certs
grep -A1 "^Recovery certificates" "$work/out.txt" | grep -q "^  1\. CN=Carol Signer" ||
    fail "certs does not show the recovery list ($(tail -3 "$work/out.txt"))"

# A pack for alice is also for carol: each opens it with her own key.
make_file "$work/doc" 30000
expect_status "pack with recovery" 0 pack --to "$(winpath "$data/alice.cer")" "$(winpath "$work/doc")"
grep -q "Recovery recipient: CN=Carol Signer" "$work/out.txt" || fail "pack does not name the recovery recipient"
for who in alice carol; do
    decrypt "$work/doc.pkcs7" "$who" "$work/doc.$who" && cmp -s "$work/doc.$who" "$work/doc" ||
        fail "$who cannot open the envelope ($(head -c 200 "$work/openssl.err"))"
done
[ "$(recipient_count "$work/doc.pkcs7")" -eq 2 ] || fail "the envelope does not have two recipients"
# The recent certificates name both recipients, the recovery one included.
"$QUILL_WINE_RUN" reg query 'HKCU\Software\Orbelin\Quillarent\RecentCerts' 2>/dev/null | tr -d '\r' > "$work/recent.txt" || true
grep -q "$(hex "$data/carol.cer")" "$work/recent.txt" || fail "the recovery certificate is not among the recent certificates"
grep -q "$(hex "$data/alice.cer")" "$work/recent.txt" || fail "the recipient is not among the recent certificates"

# Carol named again on the command line (file and store) is still one recipient.
rm -f "$work/doc.pkcs7"
expect_status "recovery named again" 0 pack --to "$(winpath "$data/carol.cer")" --to-store "Carol Signer" \
    --to "$(winpath "$data/alice.cer")" "$(winpath "$work/doc")"
[ "$(recipient_count "$work/doc.pkcs7")" -eq 2 ] || fail "a recovery certificate named again became a second recipient"

# The recovery certificate alone is recipient enough.
rm -f "$work/doc.pkcs7"
expect_status "recovery alone" 0 pack "$(winpath "$work/doc")"
[ "$(recipient_count "$work/doc.pkcs7")" -eq 1 ] || fail "a pack for the recovery certificate alone does not have one recipient"
decrypt "$work/doc.pkcs7" carol "$work/doc.alone" && cmp -s "$work/doc.alone" "$work/doc" || fail "carol cannot open the pack made for her alone"

# For a stranger whose key this user lacks, quill unpack opens the file through the recovery entry.
make_file "$work/foreign" 5000
expect_status "pack for a stranger" 0 pack --to "$(winpath "$data/stranger.cer")" "$(winpath "$work/foreign")"
mkdir -p "$work/back"
expect_status "unpack through recovery" 0 quill unpack --out-dir "$(winpath "$work/back")" "$(winpath "$work/foreign.pkcs7")"
cmp -s "$work/back/foreign" "$work/foreign" || fail "unpack through the recovery recipient gives other bytes"

# A list written by others: bob after a value the packer skips, then carol once more (still one
# recipient); remove by name, then by number.
"$QUILL_WINE_RUN" reg add "$key" /v junk /t REG_SZ /d "no certificate" /f >/dev/null 2>&1
"$QUILL_WINE_RUN" reg add "$key" /v cert9 /t REG_BINARY /d "$(hex "$data/bob.cer")" /f >/dev/null 2>&1
"$QUILL_WINE_RUN" reg add "$key" /v again /t REG_BINARY /d "$(hex "$data/carol.cer")" /f >/dev/null 2>&1
expect_status "list of two" 0 quill recovery list
grep -q "^2\. CN=Bob Recipient" "$work/out.txt" || fail "bob is not second in the list ($(cat "$work/out.txt"))"
grep -q "^3\." "$work/out.txt" && fail "carol listed twice is shown twice"
rm -f "$work/doc.pkcs7"
expect_status "pack for two recovery certificates" 0 pack --to "$(winpath "$data/alice.cer")" "$(winpath "$work/doc")"
[ "$(recipient_count "$work/doc.pkcs7")" -eq 3 ] || fail "the envelope does not have three recipients"
decrypt "$work/doc.pkcs7" bob "$work/doc.bob" && cmp -s "$work/doc.bob" "$work/doc" || fail "bob cannot open the envelope"
expect_status "remove bob" 0 quill recovery remove bob
expect_status "remove missing" 1 quill recovery remove 2
expect_status "list after remove" 0 quill recovery list
grep -q "Bob" "$work/out.txt" && fail "bob is still listed"
grep -q "^1\. CN=Carol Signer" "$work/out.txt" || fail "carol went with bob"
expect_status "remove by number" 0 quill recovery remove 1
reg query "$key" && fail "an empty list left its key"

# clear removes the key; then a pack is for the named recipient only.
expect_status "add two" 0 quill recovery add "$(winpath "$data/carol.cer")" "$(winpath "$data/bob.cer")"
expect_status "clear" 0 quill recovery clear
reg query "$key" && fail "clear left the key"
expect_status "certs without a recovery list" 0 quill certs
grep -q "^Recovery certificates" "$work/out.txt" && fail "certs shows a recovery heading for an empty list"
rm -f "$work/doc.pkcs7"
expect_status "pack without recovery" 0 pack --to "$(winpath "$data/alice.cer")" "$(winpath "$work/doc")"
[ "$(recipient_count "$work/doc.pkcs7")" -eq 1 ] || fail "a cleared list still adds recipients"
grep -q "Recovery recipient" "$work/out.txt" && fail "a recovery recipient is named with an empty list"
expect_status "no recipient at all" 2 pack "$(winpath "$work/doc")"

# A file that is no certificate leaves the list as it was; bad usage is status 2.
echo "not a certificate" > "$work/bad.cer"
expect_status "add carol for the bad add" 0 quill recovery add "$(winpath "$data/carol.cer")"
expect_status "add a bad file" 1 quill recovery add "$(winpath "$data/bob.cer")" "$(winpath "$work/bad.cer")"
expect_status "list after a bad add" 0 quill recovery list
grep -q "Bob" "$work/out.txt" && fail "a failed add wrote part of its files"
expect_status "unknown action" 2 quill recovery frob
expect_status "add without a file" 2 quill recovery add
expect_status "remove without a name" 2 quill recovery remove
finish
