#!/bin/bash
# One row of files.txt: the row's files laid out under a new root, the capture
# put where the row says and started in its current folder, then the report's
# findings and its "Files quorvex needs here:" section, with the root written
# ROOT, compared with files/NAME.txt. QUORVEX_BLESS=1 writes that file instead.
#
# usage: files.sh NAME QUORVEX_CAPTURE [WINE64 WINEPREFIX [HARNESS MAKE_TABLE]]
#   a wine row gives the loader and prefix, a wine-usb row also the stand-in's
#   harness and the Linux build's make_table
set -u
unset QUORVEX_MACHINE QUORVEX_REHEARSAL QUORVEX_STATS QUORVEX_TRACE QUORVEX_JOURNAL # set below as needed
[ $# -ge 2 ] || { echo "usage: $0 NAME QUORVEX_CAPTURE [WINE64 WINEPREFIX [HARNESS MAKE_TABLE]]" >&2; exit 2; }
name=$1 capture=$2 wine=${3:-} harness=${5:-} make_table=${6:-}
[ -z "${4:-}" ] || export WINEPREFIX=$4 WINEDEBUG=-all
here=$(dirname "$(realpath "$0")")
expected=$here/files/$name.txt
IFS='|' read -r _ platform layout at current description arg < <(grep "^$name *|" "$here/files.txt") ||
    { echo "FAIL: no row $name in files.txt"; exit 2; }
read -r platform <<<"$platform" && read -r at <<<"$at" && read -r current <<<"$current"
read -r description <<<"$description" && read -r -a args <<<"$arg"
vars=() # NAME=VALUE words before ARG: the capture's environment
while [ ${#args[@]} -gt 0 ] && [[ ${args[0]} == *=* ]]; do vars+=("${args[0]}") && args=("${args[@]:1}"); done
[ "${args[*]}" != - ] || args=()
# A root of one length wherever the test runs: the report wraps its findings,
# and where a path ends a line depends on its length.
root=$(mktemp -d /tmp/quorvex-files.XXXXXX) || exit 2
trap 'rm -rf "$root"' EXIT
for item in $layout; do
    file=$root/${item%%=*}
    mkdir -p "$(dirname "$file")" || exit 2
    if [ "$item" = "${item#*=}" ]; then : >"$file"; else cp "$here/files/${item#*=}" "$file"; fi || exit 2
done
mkdir -p "$root/$current" "$(dirname "$root/$at")" && cp "$capture" "$root/$at" || exit 2
[ "$description" = - ] || cp "$here/files/$description" "$root/machine.json" || exit 2
windows=Z:${root//\//\\} # the root as Wine names it: its Z: drive is the Unix root
program=Z:${root//\//\\}\\${at//\//\\}
run_capture() {
case $platform in
linux) (cd "$root/$current" && env "${vars[@]}" QUORVEX_MACHINE=$root/machine.json "$root/$at" capture.json "${args[@]}") ;;
wine) (cd "$root/$current" && env "${vars[@]}" timeout 60 "$wine" "$program" capture.json "${args[@]}" </dev/null) ;;
wine-usb)
    "$make_table" --rehearsal "$root/machine.json" "$root/table.bin" 2>/dev/null || exit 2
    (cd "$root/$current" && env "${vars[@]}" timeout 80 "$wine" "$harness" run "$windows\\table.bin" boxes 60000 "$program" \
        capture.json "${args[@]}" </dev/null) ;;
*) echo "FAIL: $name: no platform '$platform'"; exit 2 ;;
esac >"$root/report" 2>&1
}
run_capture
status=$?
# Wine's own process start can fail on a loaded machine with 1359
# (ERROR_INTERNAL_ERROR): such a run says nothing about the capture, so it is
# made once more.
if [ $status -ne 0 ] && grep -q 'cannot start the program (error 1359)' "$root/report"; then
    echo "Wine failed to start a process (1359): the run is made again"
    run_capture
    status=$?
fi
[ $status -eq 0 ] || { cat "$root/report"; echo "FAIL: quorvex-capture ended with status $status"; exit 1; }
[ ! -e "$root/$current/capture.json.incomplete" ] || { echo "FAIL: FILE.incomplete left beside FILE"; exit 1; }
tr -d '\r' <"$root/report" | while IFS= read -r line; do
    line=${line//"$windows"/ROOT} && echo "${line//"$root"/ROOT}"
done | awk '/^(Findings:|Worth knowing .*|Files quorvex needs here:)$/ { on = 1; print; next } on && /^  / { print; next } { on = 0 }' \
    >"$root/found"
if [ "${QUORVEX_BLESS:-0}" = 1 ]; then
    cp "$root/found" "$expected" && echo "blessed: $expected" && exit 0
fi
diff -u --label expected --label found "$expected" "$root/found" ||
    { echo "FAIL: the files check of $name is not as expected"; exit 1; }
echo "ok: $name: $(grep -c . "$root/found") lines as expected"
