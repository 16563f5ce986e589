#!/bin/sh
# Creates (once) and starts, or stops, the Wine prefix that a build tree's programs run in.
# Usage: wine-prefix.sh PREFIX [start|stop]
. "$(dirname "$0")/wine-env.sh"
prefix="$1"; action="${2:-start}"
if [ "$action" = stop ]; then
    [ -d "$prefix" ] && WINEPREFIX="$prefix" "$QUILL_WINESERVER" -k 2>/dev/null
    exit 0
fi
quill_prepare_prefix "$prefix"
