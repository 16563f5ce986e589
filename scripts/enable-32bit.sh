#!/bin/bash
# Lets this machine run Wine's 32-bit loader, which the 32-bit self-decoding program needs (Debian, as
# root; idempotent and quiet). Some kernels, those of certain virtual machines among them, cannot
# execute 32-bit code at all. There the loader runs under QEMU's user-mode emulator, registered with
# the kernel for 32-bit x86 programs. QEMU 8 or later is needed: older versions move Wine's
# fixed-address mappings elsewhere and the loader gives up; Debian 12 has a newer one in its backports.
set -euo pipefail
loader=/usr/lib/wine/wine
entry=/proc/sys/fs/binfmt_misc/quillarent-i386

loader_runs() { "$loader" --version >/dev/null 2>&1; }
loader_runs && exit 0
[ -x "$loader" ] || { echo "enable-32bit: $loader is missing (package wine32:i386)" >&2; exit 1; }

qemu_major() {
    command -v qemu-i386-static >/dev/null || { echo 0; return; }
    qemu-i386-static --version | sed -n '1s/.*version \([0-9]*\)\..*/\1/p'
}

candidate_major() {
    apt-cache policy qemu-user-static | sed -n 's/^ *Candidate: \([0-9]*:\)\{0,1\}\([0-9]*\)\..*/\2/p'
}

install_qemu() {
    export DEBIAN_FRONTEND=noninteractive
    [ "$(qemu_major)" -ge 8 ] && return 0
    apt-get update -qq >/dev/null
    local from=() candidate
    candidate="$(candidate_major)"
    if [ "${candidate:-0}" -lt 8 ]; then
        . /etc/os-release
        local suite="${VERSION_CODENAME}-backports"
        cat >/etc/apt/sources.list.d/quillarent-backports.sources <<EOF
Types: deb
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        apt-get update -qq >/dev/null
        from=(-t "$suite")
    fi
    echo "installing: qemu-user-static ${from[*]}"
    apt-get install -y -qq --no-install-recommends "${from[@]}" qemu-user-static >/dev/null
    [ "$(qemu_major)" -ge 8 ] || { echo "enable-32bit: no QEMU 8 or later to be had" >&2; return 1; }
}

register_emulator() {
    [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # An entry left by an older emulator is replaced.
    [ -e "$entry" ] && echo -1 >"$entry"
    # 32-bit x86 ELF executables and shared objects. F: the kernel opens the emulator now, so it is
    # found whatever the program's root; P: the program sees its own name as argv[0].
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    local emulator
    emulator="$(readlink -f "$(command -v qemu-i386-static)")"
    printf ':quillarent-i386:M::%s:%s:%s:FP\n' "$magic" "$mask" "$emulator" >/proc/sys/fs/binfmt_misc/register
}

install_qemu
register_emulator
loader_runs || { echo "enable-32bit: the 32-bit Wine loader still cannot run" >&2; exit 1; }
echo "32-bit programs run through $(qemu-i386-static --version | head -n 1)"
