#!/bin/bash
# One machine description, captured and replayed: quorvex-capture records the
# emulated machine it describes, then quorvex rehearses one polling pass on the
# original and on the capture. Standard output, commands, pauses, trace lines
# and boxes must be the same, line for line. The emulation's own complaints about
# a call (quorvex-emu: ...) are left out: a capture records how the call was
# answered, which on Windows comes with no complaint. Last, the capture of the
# capture's replay must be the same description and the same report, byte for
# byte (but for the report's line naming its file).
#
# A description without faults must capture to one without faults, and each
# line of NAME.captured beside it must be in the capture or in its report. ARG
# "none": the capture is made without one, and 129 is rehearsed.
#
# usage: round_trip.sh DESCRIPTION ARG QUORVEX QUORVEX_CAPTURE
set -u
unset QUORVEX_MACHINE QUORVEX_REHEARSAL QUORVEX_STATS QUORVEX_TRACE QUORVEX_JOURNAL # set below as needed
[ $# -eq 4 ] || { echo "usage: $0 DESCRIPTION ARG QUORVEX QUORVEX_CAPTURE" >&2; exit 2; }
description=$1 arg=$2 quorvex=$3 capture=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-round-trip.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
given=("$arg") && [ "$arg" = none ] && given=() arg=129

QUORVEX_MACHINE=$description "$capture" "$work/captured.json" "${given[@]}" > "$work/report" 2>&1
status=$?
if [ $status -eq 2 ]; then
    # A description the emulated machine refuses: both programs refuse it alike.
    QUORVEX_MACHINE=$description "$quorvex" "$arg" > "$work/original" 2>&1
    diff -u "$work/original" "$work/report" && echo "ok: refused alike" && exit 0
    echo "FAIL: quorvex-capture refused $description, but not as quorvex does"
    exit 1
fi
[ $status -eq 0 ] || { cat "$work/report"; echo "FAIL: quorvex-capture ended with status $status"; exit 1; }
rehearse() {
    QUORVEX_MACHINE=$1 QUORVEX_REHEARSAL=1 "$quorvex" "$arg" > "$2.all" 2>&1
    [ $? -eq 1 ] || { cat "$2.all"; echo "FAIL: quorvex on $1 did not end with status 1"; exit 1; }
    grep -v '^quorvex-emu: ' "$2.all" > "$2"
}
rehearse "$description" "$work/original"
rehearse "$work/captured.json" "$work/replayed"
if ! diff -u --label original --label replayed "$work/original" "$work/replayed"; then
    echo "--- the capture:"; cat "$work/captured.json"
    echo "FAIL: the capture of $description does not answer as the original does"
    exit 1
fi
if ! grep -q '"faults"' "$description" && grep -q '"faults"' "$work/captured.json"; then
    cat "$work/captured.json"; echo "FAIL: $description has no faults, but its capture has"; exit 1
fi
expected=${description%.json}.captured
[ -f "$expected" ] && while IFS= read -r line; do
    grep -qF -- "$line" "$work/captured.json" "$work/report" || { echo "FAIL: no '$line' in the capture"; exit 1; }
done < "$expected"
QUORVEX_MACHINE=$work/captured.json "$capture" "$work/again.json" "${given[@]}" > "$work/report2" 2>&1 ||
    { cat "$work/report2"; echo "FAIL: the capture of the capture failed"; exit 1; }
cmp -s "$work/captured.json" "$work/again.json" ||
    { diff -u "$work/captured.json" "$work/again.json"; echo "FAIL: the capture of the capture differs"; exit 1; }
ls "$work" | grep -F .incomplete && { echo "FAIL: FILE.incomplete left beside FILE"; exit 1; }
sed -i "s|$work/again.json|$work/captured.json|" "$work/report2"
diff -u --label report --label "report again" <(grep -v '^quorvex-emu: ' "$work/report") \
    <(grep -v '^quorvex-emu: ' "$work/report2") ||
    { echo "FAIL: the report of the capture's capture differs"; exit 1; }
echo "ok: $(grep -c . "$work/original") lines alike ($(grep -c '^run ' "$work/original") commands," \
    "$(grep -c '^\[' "$work/original") boxes)"
