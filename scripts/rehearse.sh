#!/usr/bin/env bash
# What quorvex would do on a machine: a rehearsal on a machine description,
# captured with quorvex-capture or written by hand (docs/machine.md). Nothing is
# started and the clock is virtual; it tells every pass, pause, command, trace
# line and box in order, and ends by itself: at the download-mode install, or
# after PASSES polling passes (3 unless --passes says otherwise).
#
# usage: scripts/rehearse.sh [--passes N] [--shipped] FILE ARG
#   --shipped   run the shipped 32-bit quorvex.exe under Wine against the USB
#               stand-in driver instead of the emulated machine (where this
#               machine runs 32-bit code; elsewhere the 64-bit Windows build of
#               the same source runs, and the rehearsal says so)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

passes=3
shipped=0
while [ $# -gt 0 ]; do
    case $1 in
    --passes) passes=${2:-}; shift 2 || { echo "rehearse: --passes needs a number" >&2; exit 2; } ;;
    --shipped) shipped=1; shift ;;
    --) shift; break ;;
    -*) echo "rehearse: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [ $# -ne 2 ]; then
    echo "usage: scripts/rehearse.sh [--passes N] [--shipped] FILE ARG" >&2
    exit 2
fi
file=$1
arg=$2
case $passes in
'' | *[!0-9]*) echo "rehearse: --passes needs a number from 1 to 100000, not '$passes'" >&2; exit 2 ;;
esac
if [ "$passes" -lt 1 ] || [ "$passes" -gt 100000 ]; then
    echo "rehearse: --passes needs a number from 1 to 100000, not '$passes'" >&2
    exit 2
fi
[ -r "$file" ] || { echo "rehearse: cannot read $file" >&2; exit 2; }

if [ "$shipped" = 1 ]; then
    exec bash "$here/tests/wine_usb/rehearse_shipped.sh" "$file" "$arg" "$passes"
fi

build=$here/build/default
if [ ! -x "$build/src/quorvex" ]; then
    bash "$here/scripts/setup.sh" --linux-only
    cmake --preset default -S "$here" > /dev/null
fi
cmake --build "$build" --target quorvex quorvex-capture > /dev/null

echo "\$ quorvex $arg    on $file: a rehearsal, nothing is started, the clock is virtual, at most $passes passes"
# How quorvex reads ARG there, in the capture's words.
explained=$(QUORVEX_MACHINE=$file "$build/src/quorvex-capture" --explain "$arg") || exit $?
printf '%s\n' "$explained"
status=0
if grep -q '^no action: ' <<<"$explained"; then
    # Nothing acts: the run ends at once, with no pass to tell of.
    QUORVEX_MACHINE=$file QUORVEX_REHEARSAL=$passes "$build/src/quorvex" "$arg" 2>&1 |
        grep -v '^ended by itself after 0 polling passes$' || true
    echo "no action ran: quorvex ended at once"
    exit 0
fi
QUORVEX_MACHINE=$file QUORVEX_REHEARSAL=$passes "$build/src/quorvex" "$arg" 2>&1 || status=$?
# The tool always ends with status 1; 2 is a description the machine refused.
[ "$status" -eq 1 ] || exit "$status"
