#!/bin/bash
# Creates the Wine prefix the scenarios share (the first run takes some seconds)
# and shows the Windows version this Wine reports to a program run with LOADER.
# usage: prepare_prefix.sh WINEPREFIX LOADER [LOADER_ARGS...]
#
# The prefix is made by wine64 and serves 32-bit and 64-bit programs alike. It
# shows Windows XP to two program names only, so a scenario that needs XP runs
# the tool under that name and every other run sees Wine's default:
#   quorvex-xp.exe    Windows XP (5.1), for the 32-bit program
#   quorvex-xp64.exe  Windows XP x64 (5.2), for the 64-bit program
#   quorvex-capture-xp.exe  Windows XP (5.1), for the capture of either build
# Wine's relay channel, when a runner turns it on, shows only the tool's own calls
# (by its three names) of the pause, process starts, device opens and closes,
# blocks taken and given back, and message boxes.
set -u
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
wine64=/usr/lib/wine/wine64

"$wine64" wineboot.exe -i >/dev/null 2>&1
# A prefix made before 32-bit Wine was installed has no 32-bit system yet.
if [ "$1" != "$wine64" ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    "$wine64" wineboot.exe -u >/dev/null 2>&1
fi

relayed="user32.MessageBoxA;"
for f in Sleep CreateProcessA CreateFileA CloseHandle GlobalAlloc GlobalFree; do
    relayed+="kernel32.$f;kernelbase.$f;"
done
settings=$(mktemp "${TMPDIR:-/tmp}/quorvex-prefix.XXXXXX.reg") || exit 1
trap 'rm -f "$settings"' EXIT
printf '%s\r\n' 'REGEDIT4' '' \
    '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\quorvex-xp.exe]' '"Version"="winxp"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\quorvex-xp64.exe]' '"Version"="winxp64"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\quorvex-capture-xp.exe]' '"Version"="winxp"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Debug]' \
    "\"RelayInclude\"=\"${relayed%;}\"" \
    '"RelayFromInclude"="quorvex.exe;quorvex-xp.exe;quorvex-xp64.exe"' '"RelayFromExclude"=-' \
    '' >"$settings"
# Wine's Z: drive is the Unix root.
"$wine64" regedit.exe /S "Z:${settings//\//\\}" >/dev/null 2>&1 || {
    echo "FAIL: cannot write the version settings into $WINEPREFIX"
    exit 1
}

version=$("$@" cmd.exe /c ver 2>/dev/null | tr -d '\r' | grep -v '^$')
[ -n "$version" ] || {
    echo "FAIL: no version from Wine ($*) in $WINEPREFIX"
    exit 1
}
echo "Wine $("$@" --version 2>/dev/null) in $WINEPREFIX reports: $version"
