#!/bin/bash
# One row of refusals.txt: quorvex-capture given bad input says so in one line
# on standard error, ends with status 2 and writes nothing.
#
# usage: refuses.sh QUORVEX_CAPTURE 'ARGS' 'LINE'
#   ARGS: the arguments, where NEW is a path nothing is at, THERE a file that is
#   there already, and NODIR a path in a folder that is not there.
#   LINE: the line expected on standard error, with the same words replaced.
set -u
[ $# -eq 3 ] || { echo "usage: $0 QUORVEX_CAPTURE 'ARGS' 'LINE'" >&2; exit 2; }
capture=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-refuses.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
echo "keep me" > "$work/there"
expand() {
    local t=$1
    t=${t//NEW/$work/new.json}
    t=${t//THERE/$work/there}
    t=${t//NODIR/$work/no/such/dir.json}
    printf '%s' "$t"
}
read -r -a args <<<"$(expand "$2")"
expected=$(expand "$3")
echo '{}' > "$work/machine.json"
machine=(env QUORVEX_MACHINE="$work/machine.json")
[ "${args[0]:-}" = NOMACHINE ] && machine=(env -u QUORVEX_MACHINE) && args=("${args[@]:1}")
"${machine[@]}" "$capture" "${args[@]}" > "$work/out" 2> "$work/err" < /dev/null
status=$?
faults=0
fail() { echo "FAIL: $*"; faults=$((faults + 1)); }
if [ "${expected#stdout: }" != "$expected" ]; then # a run that ends well
    expected=${expected#stdout: }
    [ $status -eq 0 ] || fail "status $status, not 0"
    [ "$(head -n 1 "$work/out")" = "$expected" ] || fail "standard output: '$(head -n 1 "$work/out")'"
    [ -s "$work/err" ] && fail "standard error is not empty: $(cat "$work/err")"
else
    [ $status -eq 2 ] || fail "status $status, not 2"
    [ "$(cat "$work/err")" = "$expected" ] || fail "standard error: '$(cat "$work/err")', not '$expected'"
    [ -s "$work/out" ] && fail "standard output is not empty: $(head -c 200 "$work/out")"
fi
[ -e "$work/new.json" ] && fail "it wrote $work/new.json"
[ "$(cat "$work/there")" = "keep me" ] || fail "the file that was there changed"
[ $faults -eq 0 ] && echo "ok: refused with '$expected'"
exit $((faults > 0))
