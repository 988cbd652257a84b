#!/bin/bash
# Runs one wine-usb scenario on one build and compares it with the emulated
# machine's run of the same description and arguments.
#
# usage: run_scenario.sh DESCRIPTION 64|32 QUORVEX_EXE|ZIP LINUX_BUILD WINEPREFIX WINE64 HARNESS STANDINS
# (from a ZIP, the release, the tool is the quorvex.exe it holds; a 32-bit run
# goes through tests/wine/needs_ia32.sh, which skips it where no 32-bit code runs)
#
# A scenario is DESCRIPTION (NAME.json) and NAME.differences beside it:
#   args A B ...      the tool's arguments (required)
#   only 32-bit       the scenario runs on the 32-bit build only
#   <channel>: linux only: LINE  /  <channel>: wine only: LINE
#                     a difference that remains, declared ("LINE [N times]" for N
#                     in a row); lines starting with # explain it
# The runs are compared channel by channel, each line prefixed with its channel:
#   stdout:  the tool's standard output
#   command: every command line, batch files apart (Wine's cmd cannot run
#            del_*.bat under that name; see docs/building.md)
#   batch:   each batch file that ran at least once ("del_sys.bat ran")
#   trace:   the debugger output, line by line
#   box:     the message boxes, "[caption] text"
#   misuse:  a call the emulation refuses as breaking the platform's rules (Wine's
#            side has none: the driver answers such a call as Windows does)
#   end:     the exit status and every device opened by number or name, with
#            its count ("opened \\.\hcd0 2"): how many passes ran, and so where
#            polling ended
# The scenario passes when the differences are exactly the declared ones.
set -u
if [ $# -ne 8 ]; then
    echo "usage: $0 DESCRIPTION 64|32 QUORVEX_EXE|ZIP LINUX_BUILD WINEPREFIX WINE64 HARNESS STANDINS" >&2
    exit 2
fi
description=$(realpath -- "$1") || exit 2
bits=$2
tool=$(realpath -m -- "$3")
linux_build=$(realpath -m -- "$4")
export WINEPREFIX=$(realpath -m -- "$5")
wine64=$6
harness=$(realpath -m -- "$7")
standins=$(realpath -m -- "$8")
name=$(basename "$description" .json)
differences=${description%.json}.differences
batch_files=(del_sys.bat del_xctrl.bat del_sys_dl.bat)

fail() {
    echo "FAIL: $*"
    exit 1
}

# --- the scenario ------------------------------------------------------------
args=()
only32=0
declared=()
have_args=0
while IFS= read -r line || [ -n "$line" ]; do
    case $line in
    "" | "#"*) ;;
    "args "*) read -r -a args <<<"${line#args }"; have_args=1 ;;
    "only 32-bit") only32=1 ;;
    *": linux only: "* | *": wine only: "*) declared+=("$line") ;;
    *) fail "$differences: not a line of a differences file: '$line'" ;;
    esac
done <"$differences" || fail "cannot read $differences"
[ $have_args = 1 ] || fail "$differences: no 'args' line"

if [ "$bits" = 64 ] && [ $only32 = 1 ]; then
    echo "SKIP: $name runs on the 32-bit build only"
    exit 77
fi

for f in "$tool" "$linux_build/src/quorvex" "$linux_build/tests/wine_usb/make_table" "$harness" \
    "$standins/wdreg.exe"; do
    [ -f "$f" ] || fail "missing $f"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-wine-usb.XXXXXX") || fail "no temporary directory"
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT; echo "work: $work"
mkdir "$work/linux" "$work/wine"

"$linux_build/tests/wine_usb/make_table" "$description" "$work/wine/table.bin" ||
    fail "no table for the stand-in"

# --- the emulated machine ------------------------------------------------------
(cd "$work/linux" &&
    QUORVEX_MACHINE=$description QUORVEX_TRACE=trace QUORVEX_JOURNAL=journal QUORVEX_STATS=stats \
        timeout 60 "$linux_build/src/quorvex" "${args[@]}" >stdout 2>stderr)
echo $? >"$work/linux/status"
[ "$(cat "$work/linux/status")" = 1 ] || {
    cat "$work/linux/stderr"
    fail "the emulated machine's run did not end with status 1"
}

# --- Wine ------------------------------------------------------------------------
run=$work/wine
cp "$standins/wdreg.exe" "$run/"
for b in "${batch_files[@]}"; do
    cp "$standins/$b" "$run/"
    : >"$run/${b#del}" # the sentinel Wine's cmd deletes when it runs "del_..."
done
program=quorvex-xp64.exe
[ "$bits" = 32 ] && program=quorvex-xp.exe
case $tool in
*.zip) (cd "$run" && cmake -E tar xf "$tool" quorvex.exe && mv quorvex.exe "$program") ||
    fail "no quorvex.exe in $tool" ;;
*) cp "$tool" "$run/$program" ;;
esac
(cd "$run" && WINEDEBUG=-all,warn+debugstr timeout 120 "$wine64" "$harness" run table.bin \
    boxes counts 60000 "$program" "${args[@]}" </dev/null >stdout 2>stderr)
echo $? >"$run/status"
if grep -q '^harness:' "$run/stderr"; then
    grep '^harness:' "$run/stderr"
fi

# --- both sides, channel by channel ----------------------------------------------
is_batch() {
    local b
    for b in "${batch_files[@]}"; do
        [ "$1" = "$b" ] && return 0
    done
    return 1
}

channels() { # SIDE: the side's lines, each prefixed with its channel
    local side=$1 dir=$work/$1 line b
    tr -d '\r' <"$dir/stdout" | sed 's/^/stdout: /'
    if [ "$side" = linux ]; then
        while IFS= read -r line; do
            is_batch "$line" || echo "command: $line"
        done < <(cat "$dir/journal" 2>/dev/null)
        for b in "${batch_files[@]}"; do
            grep -qxF "$b" "$dir/journal" 2>/dev/null && echo "batch: $b ran"
        done
        cat "$dir/trace" 2>/dev/null | sed 's/^/trace: /'
        grep '^\[' "$dir/stderr" | sed 's/^/box: /'
        # A call the emulation refuses as against the platform's rules.
        grep '^quorvex-emu: ' "$dir/stderr" | sed 's/^quorvex-emu: /misuse: /'
        echo "end: exit $(cat "$dir/status")"
        grep '^opened \\\\\.\\' "$dir/stats" 2>/dev/null | sed 's/^/end: /'
    else
        tr -d '\r' 2>/dev/null <"$dir/standin.log" | sed 's/^/command: /'
        for b in "${batch_files[@]}"; do
            [ -e "$dir/${b#del}" ] || echo "batch: $b ran"
        done
        # OutputDebugStringA "text" as Wine escapes it, back to the text's bytes.
        perl -ne 'next unless /^[0-9a-f]+:warn:debugstr:OutputDebugStringA "(.*)"$/;
            my $t = $1; $t =~ s/\\(x([0-9a-fA-F]{2})|.)/defined $2 ? chr(hex $2) : ($1 eq "n" ? "\n" : $1 eq "r" ? "\r" : $1 eq "t" ? "\t" : $1)/ge;
            print $t' "$dir/stderr" | sed 's/^/trace: /'
        tr -d '\r' 2>/dev/null <"$dir/boxes" | sed 's/^/box: /'
        echo "end: exit $(cat "$dir/status")"
        tr -d '\r' 2>/dev/null <"$dir/counts" | sed 's/^/end: /'
    fi
}

channels linux >"$work/linux.lines"
channels wine >"$work/wine.lines"
diff --unchanged-line-format= --old-line-format='%L' --new-line-format= \
    "$work/linux.lines" "$work/wine.lines" | sed 's/^\([a-z]*\): /\1: linux only: /' >"$work/found"
diff --unchanged-line-format= --old-line-format= --new-line-format='%L' \
    "$work/linux.lines" "$work/wine.lines" | sed 's/^\([a-z]*\): /\1: wine only: /' >>"$work/found"
# The same line found N times in a row is declared once, as "LINE [N times]".
awk 'NR > 1 && $0 != last { print last (n > 1 ? " [" n " times]" : ""); n = 0 }
     { last = $0; n++ } END { if (NR) print last (n > 1 ? " [" n " times]" : "") }' \
    "$work/found" >"$work/found.collapsed" && mv "$work/found.collapsed" "$work/found"
if [ ${#declared[@]} -gt 0 ]; then
    printf '%s\n' "${declared[@]}" >"$work/declared"
else
    : >"$work/declared"
fi
if ! diff -u --label declared --label found "$work/declared" "$work/found"; then
    echo "FAIL: $name on the $bits-bit build: the runs differ otherwise than $differences declares"
    echo "--- emulated machine and Wine, side by side (< emulation, > Wine):"
    diff "$work/linux.lines" "$work/wine.lines"
    grep -v -e ':warn:debugstr:' "$run/stderr" | head -n 20
    exit 1
fi
echo "ok: $name on the $bits-bit build: $(grep -c '' "$work/wine.lines") lines alike$(
    [ ${#declared[@]} -gt 0 ] && echo ", ${#declared[@]} declared differences")"
