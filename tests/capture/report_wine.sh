#!/bin/bash
# One row of reports.txt under Wine: the win64 quorvex-capture.exe, run against
# the USB stand-in with the row's description loaded as its table, must report
# what the Linux build reports of the same description as Wine shows it: a copy
# whose CM_Locate_DevNodeA fails with 0x13, as Wine's device-tree stubs answer.
# Each runs in a folder holding the whole driver package (package.txt), every INF
# a readable one (files/plain.inf) with the package.cat and package.sys it names.
# Before the comparison, the capture's date, the folder and the programs' names
# are written alike; both read what each INF names. Wine's own line on
# standard error where GetVolumeInformationA cannot read its drive's raw
# device for a label and serial is left out. A description the stand-in
# cannot show is skipped (77), with make_table's line as the reason.
#
# usage: report_wine.sh DESCRIPTION ARG LINUX_CAPTURE CAPTURE_EXE WINE64 WINEPREFIX HARNESS MAKE_TABLE
set -u
unset QUORVEX_MACHINE QUORVEX_REHEARSAL QUORVEX_STATS QUORVEX_TRACE QUORVEX_JOURNAL # set below as needed
[ $# -eq 8 ] || { echo "usage: $0 DESCRIPTION ARG LINUX_CAPTURE CAPTURE_EXE WINE64 WINEPREFIX HARNESS MAKE_TABLE" >&2; exit 2; }
description=$1 arg=$2 wine=$5 harness=$7
export WINEPREFIX=$6 WINEDEBUG=-all
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d /tmp/quorvex-report.XXXXXX) || exit 2
trap 'rm -rf "$work"' EXIT
perl -MJSON::PP -0777 -ne '$d = decode_json($_); print encode_json({%$d, faults => [@{$d->{faults} || []},
    {function => "CM_Locate_DevNodeA", nth => 0, error => 19}]})' "$description" >"$work/machine.json" || exit 2
"$8" "$work/machine.json" "$work/table.bin" 2>"$work/refused" || { echo "SKIP: $(sed "s|$work/machine.json|$1|" "$work/refused")"; exit 77; }
# The folders' paths have one length as each side writes it (Z:\... under Wine),
# so that the findings wrap alike.
for side in linux win; do
    mkdir "$work/$side" && grep -v '^#' "$here/package.txt" | (cd "$work/$side" && xargs touch package.cat package.sys) &&
        for inf in "$work/$side"/*.inf; do cp "$here/files/plain.inf" "$inf"; done || exit 2
done
mv "$work/win/quorvex" "$work/win/quorvex.exe" && cp "$3" "$work/linux/" && cp "$4" "$work/win/quorvex-capture-xp.exe" || exit 2
(cd "$work/linux" && QUORVEX_MACHINE=$work/machine.json ./quorvex-capture capture.json $arg >report 2>&1) ||
    { cat "$work/linux/report"; echo "FAIL: the Linux capture failed"; exit 1; }
capture_under_wine() {
    (cd "$work/win" && timeout 80 "$wine" "$harness" run ..\\table.bin boxes 60000 quorvex-capture-xp.exe \
        capture.json $arg </dev/null >report 2>&1)
}
# Wine's own process start can fail on a loaded machine with 1359
# (ERROR_INTERNAL_ERROR): such a run says nothing about the capture, so it is
# made once more.
capture_under_wine || { grep -q 'cannot start the program (error 1359)' "$work/win/report" &&
    echo "Wine failed to start a process (1359): the run is made again" && capture_under_wine; } ||
    { cat "$work/win/report"; echo "FAIL: the capture under Wine failed"; exit 1; }
[ ! -s "$work/win/boxes" ] || { cat "$work/win/boxes"; echo "FAIL: the capture showed boxes"; exit 1; }
for side in linux win; do
    perl -pe 'BEGIN { $w = shift } s/\r$//; s/\Q$w\E/WORK/g; s/^Captured .*, this PC.s local time$/Captured (the time)/;
        s/quorvex-capture-xp\.exe/quorvex-capture/g; s/quorvex\.exe/quorvex/g;
        $_ = "" if /^wine: Read access denied for device /' \
        "$(cd "$work/$side" && [ $side = win ] && echo "Z:${PWD//\//\\}" || echo "$PWD")" <"$work/$side/report" >"$work/$side.txt"
done
diff -u --label linux --label wine "$work/linux.txt" "$work/win.txt" ||
    { echo "FAIL: quorvex-capture reports otherwise under Wine"; exit 1; }
echo "ok: $(grep -c . "$work/win.txt") lines alike"
