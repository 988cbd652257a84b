#!/bin/bash
# Creates the Wine prefix the scenarios share (the first run takes a few
# seconds) and shows the Windows version this Wine reports.
# usage: prepare_prefix.sh WINEPREFIX EMULATOR [EMULATOR_ARGS...]
set -u
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
"$@" wineboot.exe -i >/dev/null 2>&1
version=$("$@" cmd.exe /c ver 2>/dev/null | tr -d '\r' | grep -v '^$')
[ -n "$version" ] || {
    echo "FAIL: no version from Wine in $WINEPREFIX"
    exit 1
}
echo "Wine $("$@" --version 2>/dev/null) in $WINEPREFIX reports: $version"
