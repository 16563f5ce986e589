#!/bin/sh
# Runs a Windows program under Wine inside the build tree's own prefix (QUILL_WINEPREFIX).
# Every run is bounded so that a stray modal window cannot hang the suite.
# The address space is laid out without randomization: with it, Wine's start now and then finds a
# fixed address it needs already taken ("failed to map the shared user data") and exits with status 1
# before the program has run.
: "${QUILL_WINEPREFIX:?QUILL_WINEPREFIX must name the test prefix}"
. "$(dirname "$0")/wine-env.sh"
export WINEPREFIX="$QUILL_WINEPREFIX"
exec timeout -k 5 "${QUILL_RUN_TIMEOUT:-300}" setarch "$(uname -m)" -R "$QUILL_WINE" "$@"
