#!/bin/sh
# Runs a Windows program under Wine inside the build tree's own prefix (QUILL_WINEPREFIX).
# Every run is bounded so that a stray modal window cannot hang the suite.
: "${QUILL_WINEPREFIX:?QUILL_WINEPREFIX must name the test prefix}"
. "$(dirname "$0")/wine-env.sh"
export WINEPREFIX="$QUILL_WINEPREFIX"
exec timeout -k 5 "${QUILL_RUN_TIMEOUT:-300}" $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$@"
