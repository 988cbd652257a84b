#!/bin/bash
# scripts/rehearse.sh --shipped: the shipped 32-bit quorvex.exe (the release zip's)
# under Wine against the USB stand-in driver, on a machine description; where
# this machine runs no 32-bit code it says so and the 64-bit build's quorvex.exe
# runs. It tells what the tool did as the Linux rehearsal does: the tool's
# standard output, then each pass, pause, started command, trace line and box in
# order (Wine's relay and debugger channels), and how it ended: by itself (at
# the download-mode install), or stopped by the harness just before pass
# PASSES + 1, whose first request the driver holds. What Wine shows otherwise
# (make_table --rehearsal) is said first, each in one line.
#
# usage: rehearse_shipped.sh FILE ARG PASSES
set -u
[ $# -eq 3 ] || { echo "usage: $0 FILE ARG PASSES" >&2; exit 2; }
here=$(realpath -- "$(dirname "$0")/../..")
win64=$here/build/win64
wine64=/usr/lib/wine/wine64
harness=$win64/tests/wine_usb/wine_usb_harness.exe
session=(bash "$here/tests/wine_usb/session.sh")
export WINEPREFIX=$win64/rehearse-prefix
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-rehearse.XXXXXX") || exit 2
trap '[ -z "${started:-}" ] || "${session[@]}" stop "$WINEPREFIX" "$wine64" "$harness" >/dev/null; rm -rf "$work"' EXIT
fail() {
    echo "rehearse: $1" >&2
    tail -n 20 "$work/log" >&2
    exit 2
}

bits=32 others=("$here/build/win32" release)
ia32=$(bash "$here/scripts/ia32_probe.sh") || { bits=64 others=(); }
bash "$here/tests/wine/fresh.sh" "$here/build/default" make_table \
    "$win64" wine_usb_harness,quorvex_usb_driver,quorvex,wdreg_standin "${others[@]}" >"$work/log" 2>&1 ||
    fail "the builds it needs could not be made"

run=$work/run
mkdir "$run" && cp "$win64/tests/wine/standins/wdreg.exe" "$run/"
for b in del_sys.bat del_xctrl.bat del_sys_dl.bat; do
    cp "$win64/tests/wine/standins/$b" "$run/" && : >"$run/${b#del}" # what Wine's cmd deletes
done
# The tool sees Windows XP where the description says 5.x, else Wine's 6.1.
program=quorvex.exe
grep -Eq '"major" *: *5[^0-9]' "$1" && program=quorvex-xp$([ $bits = 64 ] && echo 64).exe
if [ $bits = 32 ]; then
    zip=$here/dist/quorvex-$(sed -n 's/^project(quorvex VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")-win32.zip
    (cd "$run" && cmake -E tar xf "$zip" quorvex.exe && mv quorvex.exe "$program") || fail "no quorvex.exe in $zip"
    echo "\$ quorvex $2    on $1: the shipped quorvex.exe under Wine, against the USB stand-in, at most $3 passes"
else
    cp "$win64/src/quorvex.exe" "$run/$program"
    echo "rehearse: ${ia32#ia32: }: the 64-bit build's quorvex.exe runs instead of the shipped one"
    echo "\$ quorvex $2    on $1: the 64-bit quorvex.exe under Wine, against the USB stand-in, at most $3 passes"
fi
"$here/build/default/tests/wine_usb/make_table" --rehearsal "$1" "$run/table.bin" 2>&1 || exit 2
started=1
"${session[@]}" start "$WINEPREFIX" "$wine64" "$harness" "$win64/tests/wine_usb/quorvex_usb.sys" >>"$work/log" ||
    fail "no Wine session with the stand-in driver"
# A pass takes well under 10 s; the limit only ends a tool the driver cannot stop.
(cd "$run" && WINEDEBUG=-all,warn+debugstr,+relay timeout $((3600 + 10 * $3)) "$wine64" "$harness" run \
    table.bin boxes $((60000 + 10000 * $3)),$3 "$program" "$2" </dev/null >stdout 2>stderr)
status=$?
tr -d '\r' <"$run/stdout"
# Wine escapes the text of a string argument; the tool's own calls, in order.
PASSES=$3 perl -ne '
    sub text { my $t = shift; $t =~ s/\\(x([0-9a-fA-F]{2})|.)/defined $2 ? chr(hex $2) :
        ($1 eq "n" ? "\n" : $1 eq "r" ? "\r" : $1 eq "t" ? "\t" : $1)/ge; $t }
    my $s = qr/"((?:[^"\\]|\\.)*)"/;
    if (/^\w+:Call [\w.]+\.Sleep\((\w+)\)/) {
        $ms = hex $1;
        next if $ms == 250 && ++$passes > $ENV{PASSES};
        print "pass $passes\n" if $ms == 250;
        print "pause $ms ms\n";
    } elsif (/^\w+:Call [\w.]+\.CreateProcessA\(\w+,\w+ $s/) { print "run ", text($1), "\n" }
    elsif (/^\w+:Call [\w.]+\.MessageBoxA\(\w+,\w+ $s,\w+ $s/) { print "[", text($2), "] ", text($1), "\n" }
    elsif (/^\w+:warn:debugstr:OutputDebugStringA $s$/) { $t = text($1); chomp $t; print "trace $t\n" }
    elsif (/^(stopped before pass|harness: )/) { print; $stopped ||= !/^harness: the driver/ }
    END { print "ended by itself after ", $passes + 0, " polling passes\n" unless $stopped }
' <(tr -d '\r' <"$run/stderr")
[ $status = 1 ] || { echo "rehearse: the harness ended with status $status" >&2; exit $status; }
