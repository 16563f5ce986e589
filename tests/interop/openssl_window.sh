#!/bin/bash
# OpenSSL opens what the packer window packs: the window's own pack test is run once more and
# leaves its envelope here.
. "$(dirname "$0")/common.bash"
: "${QUILL_BUILD_DIR:?}" "${QUILL_SOURCE_DIR:?}"

kept="$work/report.txt.gz.pkcs7"
if ! QUILL_KEEP_WINDOW_ENVELOPE="$(winpath "$kept")" "$QUILL_SOURCE_DIR/cmake/gtest-run.sh" "$QUILL_WINE_RUN" \
        "$QUILL_BUILD_DIR/pack_tests.exe" \
        --gtest_filter=PackerWindowTest.PackingFromTheWindowWritesTheEnvelopeAndClosesIt >"$work/gtest.log" 2>&1; then
    fail "packing from the window failed: $(tail -5 "$work/gtest.log")"
elif ! decrypt "$kept" alice "$work/report.txt.gz"; then
    fail "OpenSSL cannot open the window's envelope: $(head -c 200 "$work/openssl.err")"
elif [ "$(gzip -dc "$work/report.txt.gz")" != "a report to pack from the window" ]; then
    fail "the window's envelope holds something else than the packed file"
fi
finish
