#!/bin/bash
# Runs one wine-usb scenario on one build and compares it with the emulated
# machine's run of the same description and arguments.
#
# usage: run_scenario.sh DESCRIPTION 64|32 QUORVEX_EXE|ZIP LINUX_BUILD WINEPREFIX WINE64 HARNESS STANDINS
# (from a ZIP, the release, the tool is the quorvex.exe it holds, and the capture
# the quorvex-capture.exe beside it; a 32-bit run goes through
# tests/wine/needs_ia32.sh, which skips it where no 32-bit code runs)
#
# A scenario is DESCRIPTION (NAME.json) and NAME.differences beside it:
#   args A B ...      the tool's arguments (required)
#   only 32-bit       the scenario runs on the 32-bit build only
#   <channel>: linux only: LINE  /  <channel>: wine only: LINE
#                     a difference that remains, declared ("LINE [N times]" for N
#                     in a row); lines starting with # explain it
# The runs are compared channel by channel (docs/wine-usb.md), each line prefixed
# with its channel: stdout, start (every process start, in order), command (what
# ran, batch files apart), batch (each batch file that ran), trace, box, misuse
# (the emulation's only), capture (the description quorvex-capture writes, run
# on its own with the table loaded afresh) and end (the exit status, the devices
# opened with their counts, the calls made of the five below, and what was still
# held). Under Wine
# the relay channel shows the tool's own calls of CreateProcessA, CreateFileA,
# CloseHandle, GlobalAlloc and GlobalFree (prepare_prefix.sh), written down as the
# emulation writes its journal and QUORVEX_STATS. The scenario passes when the
# differences are exactly the declared ones, both sides end holding no block and
# no handle, and the harness does not complain (of a request the stand-in driver
# could not place, for one).
set -u
unset QUORVEX_MACHINE QUORVEX_REHEARSAL QUORVEX_STATS QUORVEX_TRACE QUORVEX_JOURNAL # set below as needed
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

for f in "$tool" "$linux_build/src/quorvex" "$linux_build/src/quorvex-capture" \
    "$linux_build/tests/wine_usb/make_table" "$harness" "$standins/wdreg.exe"; do
    [ -f "$f" ] || fail "missing $f"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-wine-usb.XXXXXX") || fail "no temporary directory"
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT; echo "work: $work"
mkdir "$work/linux" "$work/wine"
printf '%s\n' "${batch_files[@]}" >"$work/batch_files"

"$linux_build/tests/wine_usb/make_table" "$description" "$work/wine/table.bin" ||
    fail "no table for the stand-in"

# --- the emulated machine ------------------------------------------------------
(cd "$work/linux" && touch journal trace &&
    QUORVEX_MACHINE=$description QUORVEX_TRACE=trace QUORVEX_JOURNAL=journal QUORVEX_STATS=stats \
        timeout 60 "$linux_build/src/quorvex" "${args[@]}" >stdout 2>stderr)
echo $? >"$work/linux/status"
[ "$(cat "$work/linux/status")" = 1 ] || {
    cat "$work/linux/stderr"
    fail "the emulated machine's run did not end with status 1"
}
(cd "$work/linux" && QUORVEX_MACHINE=$description timeout 60 "$linux_build/src/quorvex-capture" \
    capture.json >capture.stdout 2>&1) || fail "the emulated machine's capture: $(cat "$work/linux/capture.stdout")"

# --- Wine ------------------------------------------------------------------------
run=$work/wine
wine_run() {
    cp "$standins/wdreg.exe" "$run/"
    for b in "${batch_files[@]}"; do
        cp "$standins/$b" "$run/"
        : >"$run/${b#del}" # the sentinel Wine's cmd deletes when it runs "del_..."
    done
    program=quorvex-xp64.exe
    [ "$bits" = 32 ] && program=quorvex-xp.exe
    case $tool in
    *.zip) (cd "$run" && cmake -E tar xf "$tool" quorvex.exe quorvex-capture.exe && mv quorvex.exe "$program") ;;
    *) cp "$tool" "$run/$program" && cp "$(dirname "$tool")/quorvex-capture.exe" "$run/" ;;
    esac || fail "no quorvex.exe and quorvex-capture.exe in ${tool%/*}"
    mv "$run/quorvex-capture.exe" "$run/quorvex-capture-xp.exe" # the prefix shows it Windows XP (5.1)
    (cd "$run" && WINEDEBUG=-all timeout 120 "$wine64" "$harness" run table.bin capture.boxes 60000 \
        quorvex-capture-xp.exe capture.json </dev/null >capture.stdout 2>capture.stderr) ||
        fail "the capture under Wine: $(cat "$run/capture.stdout" "$run/capture.stderr")"
    (cd "$run" && WINEDEBUG=-all,warn+debugstr,+relay timeout 120 "$wine64" "$harness" run table.bin \
        boxes 60000 "$program" "${args[@]}" </dev/null >stdout 2>stderr)
    echo $? >"$run/status"
}
wine_run
# Wine's own process start can fail on a loaded machine with 1359
# (ERROR_INTERNAL_ERROR), which no Windows answers for a program that is there:
# such a run says nothing about quorvex, so it is made once more.
if grep -q "CreateProcess failed (1359)" "$run/stdout"; then
    echo "Wine failed to start a process (1359): the Wine side runs again"
    find "$run" -mindepth 1 ! -name table.bin -delete
    wine_run
fi
# The journal, trace and statistics of Wine's side, from its debugger output
# (Wine escapes the text) and the relay lines: a call, then what it returned.
(cd "$run" && perl -e '
    sub text { my $t = shift; $t =~ s/\\(x([0-9a-fA-F]{2})|.)/defined $2 ? chr(hex $2) :
        ($1 eq "n" ? "\n" : $1 eq "r" ? "\r" : $1 eq "t" ? "\t" : $1)/ge; $t }
    my $string = qr/"((?:[^"\\]|\\.)*)"/;
    open J, ">journal"; open T, ">trace"; open S, ">stats";
    while (<STDIN>) {
        if (/^\w+:warn:debugstr:OutputDebugStringA $string$/) { print T text($1) }
        elsif (/^\w+:Call [\w.]+\.(\w+)\((.*)\) ret=\w+$/) {
            ($f, $args) = ($1, $2);
            $calls{$f}++;
            print J text($1), "\n" if $f eq "CreateProcessA" && $args =~ /^\w+,\w+ $string/;
        } elsif (/^\w+:Ret  [\w.]+\.$f\(\) retval=(\w+) ret=\w+$/) {
            ($r, $ok, $at) = (hex $1, $1 !~ /^(0+|f+)$/, hex(($args =~ /^(\w+)/)[0]));
            if ($f eq "GlobalAlloc" && $ok) { $blocks{$r}++ }
            elsif ($f eq "GlobalFree" && !$ok && $blocks{$at} > 0) { $blocks{$at}-- }
            elsif ($f eq "CreateFileA" && $ok) {
                $handles{$r}++;
                $opened{lc text($1)}++ if $args =~ /^\w+ $string,/;
            } elsif ($f eq "CloseHandle" && $ok) { $handles{$at} > 0 ? $handles{$at}-- : $others-- }
            elsif ($f eq "CreateProcessA" && $ok) { $others += 2 } # its process and thread
        }
    }
    $held{blocks} += $_ for values %blocks;
    $held{handles} += $_ for values %handles, $others;
    print S "call $_ $calls{$_}\n" for sort keys %calls;
    print S "opened $_ $opened{$_}\n" for sort keys %opened;
    print S "exit 0 handles ", $held{handles} + 0, " blocks ", $held{blocks} + 0, "\n";
' <stderr) || fail "cannot read what Wine showed"

# --- both sides, channel by channel ----------------------------------------------
channels() { # SIDE: the side's lines, each prefixed with its channel
    local dir=$work/$1 b f
    tr -d '\r' <"$dir/stdout" | sed 's/^/stdout: /'
    sed 's/^/start: /' "$dir/journal"
    if [ "$1" = linux ]; then
        grep -vxFf "$work/batch_files" "$dir/journal" | sed 's/^/command: /'
    else
        tr -d '\r' 2>/dev/null <"$dir/standin.log" | sed 's/^/command: /'
    fi
    for b in "${batch_files[@]}"; do
        if [ "$1" = linux ]; then grep -qxF "$b" "$dir/journal"; else [ ! -e "$dir/${b#del}" ]; fi &&
            echo "batch: $b ran"
    done
    sed 's/^/trace: /' "$dir/trace"
    if [ "$1" = linux ]; then
        grep '^\[' "$dir/stderr" | sed 's/^/box: /'
        # A call the emulation refuses as against the platform's rules.
        grep '^quorvex-emu: ' "$dir/stderr" | sed 's/^quorvex-emu: /misuse: /'
    else
        tr -d '\r' 2>/dev/null <"$dir/boxes" | sed 's/^/box: /'
    fi
    cat "$dir/capture.json" "$dir/capture.boxes" 2>/dev/null | tr -d '\r' | sed 's/^/capture: /'
    echo "end: exit $(cat "$dir/status")"
    sed -n 's/^opened \\\\?\\/opened \\\\.\\/; s/^opened /end: &/p' "$dir/stats" | LC_ALL=C sort
    for f in CreateProcessA CreateFileA CloseHandle GlobalAlloc GlobalFree; do
        awk -v f=$f '$1 == "call" && $2 == f { n = $3 } END { print "end: " f " called " n + 0 " times" }' \
            "$dir/stats"
    done
    awk '$1 == "exit" { for (i = 3; i < NF; i += 2) n[$i] = $(i + 1)
                        print "end: held " n["blocks"] " blocks, " n["handles"] " handles" }' "$dir/stats"
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
: >"$work/declared"
[ ${#declared[@]} -eq 0 ] || printf '%s\n' "${declared[@]}" >"$work/declared"
faults=()
diff -u --label declared --label found "$work/declared" "$work/found" ||
    faults+=("the runs differ otherwise than $differences declares")
for side in linux wine; do
    grep -qx 'end: held 0 blocks, 0 handles' "$work/$side.lines" ||
        faults+=("the $side side ended holding more: $(grep '^end: held' "$work/$side.lines")")
done
cat "$run/stderr" "$run/capture.stderr" | grep '^harness:' && faults+=("the harness complains")
if [ ${#faults[@]} -gt 0 ]; then
    printf "FAIL: $name on the $bits-bit build: %s\n" "${faults[@]}"
    echo "--- emulated machine and Wine, side by side (< emulation, > Wine):"
    diff "$work/linux.lines" "$work/wine.lines"
    grep -v -e ':warn:debugstr:' -e ':Call ' -e ':Ret  ' -e ':trace:relay:' "$run/stderr" | head -n 20
    exit 1
fi
echo "ok: $name on the $bits-bit build: $(grep -c '' "$work/wine.lines") lines alike$(
    [ ${#declared[@]} -gt 0 ] && echo ", ${#declared[@]} declared differences")"
