#!/bin/bash
# Installs what the build, the tests and the demo need (Debian, as root). Idempotent and quiet.
set -euo pipefail
packages=(cmake make g++ mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 libz-mingw-w64-dev zlib1g-dev
          googletest wine wine64 xvfb xauth x11-utils fonts-wine imagemagick openssl libssl-dev util-linux xxd
          clang libclang-rt-14-dev gzip bzip2 xz-utils gpgsm nsis slapd ldap-utils fp-utils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# wine32 runs the 32-bit self-decoding program where the kernel can execute 32-bit code.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing+=(wine32:i386)
elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    missing+=(wine32:i386)
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in the middle of a sync fails the update now and then; the lists already fetched
    # usually serve, so a failed update is retried and then left to the install to judge.
    for attempt in 1 2 3; do
        apt-get update -qq >/dev/null && break
        echo "apt-get update failed (attempt $attempt)" >&2
        sleep $((attempt * 10))
    done
    if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
        # With one architecture's security list missing, the amd64 and i386 halves of a multiarch
        # library no longer agree; the release's own versions of both always do.
        echo "retrying the install with the release's own versions" >&2
        apt-get install -y -qq --no-install-recommends -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "${missing[@]}" >/dev/null
    fi
fi
# The directory tests start a slapd of their own on a loopback port; the system's server that the
# package may have started is not wanted.
if [ -s /run/slapd/slapd.pid ] && kill -0 "$(cat /run/slapd/slapd.pid)" 2>/dev/null; then
    /etc/init.d/slapd stop >/dev/null 2>&1 || true
fi
if compgen -G '/etc/rc[2-5].d/S*slapd' >/dev/null; then
    update-rc.d slapd disable >/dev/null 2>&1 || true
fi
# zlib is built from its own sources with the rest of the programs.
bash "$(dirname "$0")/fetch-zlib.sh"
# The 32-bit self-decoding program runs under Wine's 32-bit loader; some kernels need an emulator for it.
bash "$(dirname "$0")/enable-32bit.sh"
