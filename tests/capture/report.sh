#!/bin/bash
# One row of reports.txt: quorvex-capture FILE ARG on a description, its report
# (and, where a file is named, the description it writes) compared with the
# expected file byte for byte. FILE is capture.json in a folder of its own, so
# the report names it alike everywhere; that folder, written WORK in the report,
# holds the capture and the whole driver package. QUORVEX_BLESS=1 writes the expected
# files instead, for a person to read and commit.
#
# usage: report.sh QUORVEX_CAPTURE DESCRIPTION ARG EXPECTED_REPORT [EXPECTED_CAPTURE]
set -u
unset QUORVEX_MACHINE QUORVEX_REHEARSAL QUORVEX_STATS QUORVEX_TRACE QUORVEX_JOURNAL # set below as needed
[ $# -ge 4 ] || { echo "usage: $0 QUORVEX_CAPTURE DESCRIPTION ARG REPORT [CAPTURE]" >&2; exit 2; }
capture=$1 description=$2 arg=$3 expected=$4 expected_capture=${5:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-report.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
# The capture sits in its folder with the whole driver package, as shipped.
# Each INF is a readable one (files/plain.inf; SetupAPI cannot open an empty
# file), with the package.cat and package.sys it names.
cp "$capture" "$work/" && grep -v '^#' "$(dirname "$0")/package.txt" | (cd "$work" && xargs touch package.cat package.sys) &&
    for inf in "$work"/*.inf; do cp "$(dirname "$0")/files/plain.inf" "$inf"; done || exit 2
held=$(ls -A "$work" | LC_ALL=C sort)
(cd "$work" && QUORVEX_MACHINE=$description "./$(basename "$capture")" capture.json $arg > report 2>&1)
status=$?
[ $status -eq 0 ] || { cat "$work/report"; echo "FAIL: quorvex-capture ended with status $status"; exit 1; }
# Afterwards the folder holds what it held, FILE and the report, and nothing else.
[ "$(ls -A "$work" | LC_ALL=C sort)" = "$(printf '%s\n' $held capture.json report | LC_ALL=C sort)" ] ||
    { ls -A "$work"; echo "FAIL: more than FILE"; exit 1; }
sed -i "s|$(realpath "$work")|WORK|g" "$work/report"
if [ "${QUORVEX_BLESS:-0}" = 1 ]; then
    cp "$work/report" "$expected"
    [ -z "$expected_capture" ] || cp "$work/capture.json" "$expected_capture"
    echo "blessed: $expected"
    exit 0
fi
faults=0
diff -u --label expected --label report "$expected" "$work/report" || faults=1
if [ -n "$expected_capture" ]; then
    diff -u --label expected --label captured "$expected_capture" "$work/capture.json" || faults=1
fi
[ $faults -eq 0 ] || { echo "FAIL: quorvex-capture on $description with '$arg' does not report as expected"; exit 1; }
echo "ok: $(grep -c . "$work/report") lines as expected"
