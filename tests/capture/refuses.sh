#!/bin/bash
# One row of refusals.txt: quorvex-capture given bad input says so in one line
# on standard error, ends with status 2 and writes nothing: the folder holds what
# it held before (but NEW, where a capture was made or run under another command).
#
# usage: refuses.sh QUORVEX_CAPTURE 'ARGS' 'LINE' ['SETUP'] (an .exe: run by $WINELOADER)
#   ARGS: the arguments, where NEW is a path nothing is at, THERE a file that is
#   there already, and NODIR a path in a folder that is not there.
#   LINE: the line expected on standard error, with the same words replaced.
#   SETUP: shell code run first in that folder, the same words replaced; it may
#   set `under`, a command to run the capture under ($0's folder: the helpers').
set -u
unset QUORVEX_MACHINE QUORVEX_REHEARSAL QUORVEX_STATS QUORVEX_TRACE QUORVEX_JOURNAL # set below
[ $# -ge 3 ] || { echo "usage: $0 QUORVEX_CAPTURE 'ARGS' 'LINE' ['SETUP']" >&2; exit 2; }
capture=("$1") && [[ $1 == *.exe ]] && capture=("$WINELOADER" "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-refuses.XXXXXX") || exit 2
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
cd "$work" && echo "keep me" > there && : > out
expand() {
    local t=$1
    t=${t//NEW/$work/new.json}
    t=${t//THERE/$work/there}
    t=${t//NODIR/$work/no/such/dir.json}
    printf '%s' "$t"
}
read -r -a args <<<"$(expand "$2")"
expected=$(expand "$3")
setup=$(expand "${4:-}")
echo '{}' > machine.json && export QUORVEX_MACHINE=$work/machine.json
[ "${args[0]:-}" = NOMACHINE ] && unset QUORVEX_MACHINE && args=("${args[@]:1}")
while [[ ${args[0]:-} == *=* ]]; do export "${args[0]}" && args=("${args[@]:1}"); done
under=() && eval "$setup" || { echo "FAIL: the setup failed: $setup"; exit 1; }
folder() { ls -lAR --full-time -I out -I "${1:-}" 2>/dev/null; }
before=$(folder)
err=$("${under[@]}" "${capture[@]}" "${args[@]}" 2>&1 > out < /dev/null) # a pipe: no file limit
status=$?
err=${err//$'\r'/} out=$(tr -d '\r' < out)
faults=0
fail() { echo "FAIL: $*"; faults=$((faults + 1)); }
if [ "${expected#stdout: }" != "$expected" ]; then # a run that ends well
    expected=$(printf '%b' "${expected#stdout: }") # "\n": the line after
    [ $status -eq 0 ] || fail "status $status, not 0"
    first=$(head -n "$(grep -c '' <<<"$expected")" <<<"$out")
    [ "$first" = "$expected" ] || fail "standard output: '$first'"
    [ -n "$err" ] && fail "standard error is not empty: $err"
else
    [ $status -eq 2 ] || fail "status $status, not 2"
    [ "$err" = "$expected" ] || fail "standard error: '$err', not '$expected'"
    [ -n "$out" ] && fail "standard output is not empty: $(head -c 200 <<<"$out")"
fi
[ $status != 0 ] || [[ " ${args[*]} " != *" $work/new.json "* ]] || [ -f new.json ] || fail "no capture at NEW"
unless=$([ $status != 0 ] && [ ${#under[@]} = 0 ] || echo new.json) # made by the capture or under it
[ "$(folder "$unless")" = "$before" ] || fail "the folder changed: $(diff <(echo "$before") <(folder))"
[ $faults -eq 0 ] && echo "ok: refused with '$expected'"
exit $((faults > 0))
