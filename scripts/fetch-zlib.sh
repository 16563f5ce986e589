#!/bin/bash
# Puts zlib's own sources (Debian's zlib source package, checked by apt against the signed archive)
# where the Windows build looks for them, so that zlib is built with the toolchain and flags of the
# rest of the programs. Idempotent; without network or source lists, the build takes the mingw
# package's libz.a instead and says so.
set -euo pipefail
dest=${1:-/usr/local/src/quillarent-zlib}
[ -f "$dest/deflate.c" ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
# A source list of our own: the system's apt configuration is left as it is.
echo "deb-src http://deb.debian.org/debian $codename main" > "$work/sources.list"
mkdir -p "$work/lists/partial"
apt_opts=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root)
if ! apt-get "${apt_opts[@]}" update -qq >/dev/null 2>&1 ||
   ! (cd "$work" && apt-get "${apt_opts[@]}" source --download-only -qq zlib >/dev/null 2>&1); then
    echo "zlib's sources could not be fetched: the build links the mingw package's libz.a" >&2
    exit 0
fi
orig=$(ls "$work"/zlib_*.orig.tar.* | head -n 1)
mkdir -p "$work/unpacked"
tar -xf "$orig" -C "$work/unpacked"
top=$(ls -d "$work"/unpacked/*/ | head -n 1)
[ -f "$top/deflate.c" ] || { echo "unexpected zlib source layout in $orig" >&2; exit 1; }
mkdir -p "$(dirname "$dest")"
rm -rf "$dest.new"
cp -r "$top" "$dest.new"
mv "$dest.new" "$dest"
echo "zlib sources: $(basename "$orig") in $dest"
