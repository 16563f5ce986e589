#!/bin/bash
# Compiles the help file from resources/help: make-help.sh SOURCE_DIR STAGING_DIR OUTPUT.chm
# The pages are copied as they are (UTF-8, declared in each page); the contents, the index and the
# popup texts go into the code page of the help file's language (1251), which the viewer reads them in.
set -euo pipefail
source_dir=$1 staging=$2 output=$3
rm -rf "$staging"
mkdir -p "$staging" "$(dirname "$output")"
cp "$source_dir"/*.html "$source_dir"/*.css "$source_dir"/Quillarent.hhp "$staging"/
for name in toc.hhc index.hhk Context.txt; do
    iconv -f UTF-8 -t CP1251 "$source_dir/$name" >"$staging/$name"
done
# chmcmd writes the file named in the project beside the project; its notes go to the log, which is
# shown when it fails.
(cd "$staging" && chmcmd --no-html-scan Quillarent.hhp >chmcmd.log 2>&1) || { cat "$staging/chmcmd.log" >&2; exit 1; }
[ -s "$staging/Quillarent.chm" ] || { cat "$staging/chmcmd.log" >&2; echo "chmcmd wrote no Quillarent.chm" >&2; exit 1; }
cp "$staging/Quillarent.chm" "$output"
