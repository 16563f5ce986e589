#!/bin/bash
# Quillarent-setup.exe in the suite's prefix, silent: a fresh installation (programs and help file)
# with the PATH component, one over it, the installed quill.exe at work, and uninstallations that
# leave the machine as it was (the user's settings kept unless /REMOVESETTINGS=1 asks otherwise).
. "$QUILL_SOURCE_DIR/tests/interop/common.bash"

setup="$QUILL_BUILD_DIR/Quillarent-setup.exe"
[ -f "$setup" ] || { echo "FAIL: $setup was not built (target installer)" >&2; exit 1; }
prefix="${QUILL_WINEPREFIX:-$QUILL_BUILD_DIR/wineprefix}"
program_files="$prefix/drive_c/Program Files"
instdir="$program_files/Quillarent"
instdir_win='C:\Program Files\Quillarent'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarent'
settings_key='HKCU\Software\Orbelin\Quillarent'
server_key='HKCR\CLSID\{2CFDF8BC-D2D6-4A6D-AFF6-F2B5331F38D0}\InProcServer32'
tools='C:\quill-test-tools'

win() { "$QUILL_WINE_RUN" "$@"; }
# The data of a registry value in the 64-bit view (reg query's arguments: KEY /v NAME or KEY /ve),
# empty when it is missing; reg's exit status is kept in reg_status for the failure message.
reg_status=0
reg_value() {
    reg_status=0
    win reg query "$@" /reg:64 >"$work/reg.txt" 2>/dev/null || { reg_status=$?; return 0; }
    tr -d '\r' <"$work/reg.txt" >"$work/reg-lines.txt"
    sed -n 's/^    .*    REG_[A-Z_]*    //p' "$work/reg-lines.txt"
}
key_exists() { win reg query "$1" /reg:64 >/dev/null 2>&1; }
expect_value() {  # label expected reg-query-arguments...
    local label=$1 expected=$2 actual
    shift 2
    reg_value "$@" >"$work/value.txt"  # not in a subshell: reg_status stays set
    actual="$(cat "$work/value.txt")"
    [ "$actual" = "$expected" ] || fail "$label: '$actual', expected '$expected' (reg query exit status $reg_status)"
}

# Synchronously: the uninstaller otherwise copies itself away and returns at once. The copy runs
# from the test's folder with _?= naming the installation, which must come last and unquoted: split
# at its blanks, the arguments become the command line NSIS expects.
uninstall() {  # options...
    cp "$instdir/uninstall.exe" "$work/uninstall.exe"
    local where status=0
    read -ra where <<<"_?=$instdir_win"
    win "$(winpath "$work/uninstall.exe")" /S "$@" "${where[@]}" || status=$?
    [ "$status" -eq 0 ] || fail "uninstall $*: exit status $status"
}
install() {  # options...
    local status=0
    win "$(winpath "$setup")" /S "$@" || status=$?
    [ "$status" -eq 0 ] || fail "install $*: exit status $status"
}

# The user's PATH and settings as they were, whatever happens here.
saved_path="$(reg_value 'HKCU\Environment' /v Path)"
key_exists "$settings_key" && win reg export "$settings_key" "$(winpath "$work/settings.reg")" /y >/dev/null
restore() {
    [ -f "$instdir/uninstall.exe" ] && uninstall
    win reg delete "$settings_key" /f >/dev/null 2>&1 || true
    [ -f "$work/settings.reg" ] && win reg import "$(winpath "$work/settings.reg")" >/dev/null 2>&1
    if [ -n "$saved_path" ]; then
        win reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$saved_path" /f >/dev/null
    else
        win reg delete 'HKCU\Environment' /v Path /f >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap restore EXIT
trap 'exit 143' TERM INT

# A run cut short earlier may have left an installation, or what a faulty uninstaller did not
# remove, behind: the "before" state is one without any of it.
[ -f "$instdir/uninstall.exe" ] && uninstall
rm -rf "$instdir"
win reg delete "$uninstall_key" /reg:64 /f >/dev/null 2>&1 || true
win reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$tools" /f >/dev/null
win reg add "$settings_key" /v InstallerTest /d kept /f >/dev/null
find "$program_files" | sort >"$work/files-before.txt"
key_exists "$uninstall_key" && fail "an uninstall entry exists before the installation"

installed_as_built() {  # label
    local name
    for name in Quillarent.dll quill.exe Quendrix.exe; do
        cmp -s "$QUILL_BUILD_DIR/$name" "$instdir/$name" || fail "$1: $name is not the built one"
    done
    # The help file the build compiled, where the DLL looks for it.
    cmp -s "$QUILL_BUILD_DIR/Help/Quillarent.chm" "$instdir/Help/Quillarent.chm" ||
        fail "$1: Help\\Quillarent.chm is not the built one"
    [ -f "$instdir/uninstall.exe" ] || fail "$1: no uninstaller"
    expect_value "$1: uninstall entry" Quillarent "$uninstall_key" /v DisplayName
    expect_value "$1: install location" "$instdir_win" "$uninstall_key" /v InstallLocation
    expect_value "$1: uninstall command" "\"$instdir_win\\uninstall.exe\"" "$uninstall_key" /v UninstallString
    expect_value "$1: PATH" "$tools;$instdir_win" 'HKCU\Environment' /v Path
}

install /PATH=1
installed_as_built "fresh installation"
# Registration is the DLL's own: it happens when the DLL exports DllRegisterServer.
x86_64-w64-mingw32-objdump -p "$instdir/Quillarent.dll" >"$work/exports.txt"
if grep -qw DllRegisterServer "$work/exports.txt"; then
    expect_value "registered server" "$instdir_win\\Quillarent.dll" "$server_key" /ve
else
    echo "note: Quillarent.dll exports no DllRegisterServer; the installer registered nothing"
    key_exists "$server_key" && fail "a server was registered without DllRegisterServer"
fi

# The installed quill.exe packs and unpacks, and builds a self-decoding file from the Quendrix.exe
# beside it.
installed_quill() {
    local status=0
    win "$instdir_win\\quill.exe" "$@" >"$work/quill.log" 2>&1 || status=$?
    [ "$status" -eq 0 ] || fail "installed quill $1: exit status $status: $(tail -3 "$work/quill.log")"
}
make_file "$work/doc" 70000
cp "$work/doc" "$work/doc.orig"
installed_quill pack --no-compress --no-verify-certs --to "$(winpath "$data/alice.cer")" "$(winpath "$work/doc")"
rm -f "$work/doc"
installed_quill unpack "$(winpath "$work/doc.pkcs7")"
cmp -s "$work/doc" "$work/doc.orig" || fail "installed quill: unpacked bytes differ"
installed_quill pack --no-verify-certs --to "$(winpath "$data/alice.cer")" --sfx "$(winpath "$work/parcel.exe")" \
    "$(winpath "$work/doc.orig")"
cmp -s -n "$(stat -c %s "$instdir/Quendrix.exe")" "$instdir/Quendrix.exe" "$work/parcel.exe" ||
    fail "installed quill: the self-decoding file does not start with the installed Quendrix.exe"

# Over the existing installation: the same state, the PATH entry not repeated.
install /PATH=1
installed_as_built "installation over the existing one"

after_uninstall() {  # label
    find "$program_files" | sort >"$work/files-after.txt"
    diff "$work/files-before.txt" "$work/files-after.txt" >"$work/files.diff" ||
        fail "$1: files differ from before the installation: $(head -c 300 "$work/files.diff")"
    [ -e "$instdir/Help" ] && fail "$1: the Help folder is left"
    key_exists "$uninstall_key" && fail "$1: the uninstall entry is left"
    key_exists "$server_key" && fail "$1: the server registration is left"
    expect_value "$1: PATH" "$tools" 'HKCU\Environment' /v Path
}
uninstall
after_uninstall "uninstall"
expect_value "uninstall: the user's settings" kept "$settings_key" /v InstallerTest

# Without the PATH component the user's PATH is not touched; /REMOVESETTINGS=1 takes the settings.
install
expect_value "installation without PATH" "$tools" 'HKCU\Environment' /v Path
uninstall /REMOVESETTINGS=1
after_uninstall "uninstall with /REMOVESETTINGS=1"
key_exists "$settings_key" && fail "/REMOVESETTINGS=1: the settings are left"
finish
