#!/bin/bash
# Starts or stops the Wine session the wine-usb scenarios share.
#
#   session.sh start PREFIX WINE64 HARNESS DRIVER
#       makes a new prefix that shows Windows XP to the tool (32-bit programs
#       named quorvex-xp.exe see 5.1, 64-bit ones named quorvex-xp64.exe 5.2) and
#       makes windows without a screen, keeps its server running, and installs and
#       starts the stand-in driver.
#   session.sh stop PREFIX WINE64 HARNESS
#       stops and deletes the driver's service and ends the session.
#
# Everything Wine prints goes to PREFIX.log, never to the test's own output: the
# session's processes outlive this script and would hold that output open.
set -u
action=$1
export WINEPREFIX=$2
wine64=$3
harness=$4
server=$(dirname "$wine64")/wineserver
log=$WINEPREFIX.log
export WINEDEBUG=-all

quiet() {
    "$@" </dev/null >>"$log" 2>&1
}

fail() {
    echo "FAIL: $*"
    echo "--- $log"
    tail -n 30 "$log"
    exit 1
}

case $action in
start)
    driver=$5
    quiet "$server" -k
    rm -rf "$WINEPREFIX" "$log"
    quiet bash "$(dirname "$0")/../wine/prepare_prefix.sh" "$WINEPREFIX" "$wine64" ||
        fail "no prefix $WINEPREFIX"
    quiet "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f ||
        fail "cannot let Wine make windows without a screen"
    quiet "$server" -k # the session that made the prefix; the next one stays
    quiet "$server" -p || fail "the Wine server does not start"
    windows_driver=$("$wine64" winepath -w "$(realpath "$driver")" 2>>"$log" </dev/null | tr -d '\r')
    quiet "$wine64" "$harness" install "$windows_driver" ||
        fail "the stand-in driver could not be installed"
    echo "ok: the stand-in driver runs in $WINEPREFIX"
    ;;
stop)
    quiet "$wine64" "$harness" remove
    status=$?
    quiet "$server" -k
    [ $status = 0 ] || fail "the driver's service could not be removed"
    echo "ok: the driver's service is removed and the session ended"
    ;;
*)
    echo "usage: $0 start|stop PREFIX WINE64 HARNESS [DRIVER]" >&2
    exit 2
    ;;
esac
