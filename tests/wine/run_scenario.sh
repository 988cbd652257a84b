#!/bin/bash
# Runs one command-line scenario against a Windows build of the tool under Wine.
#
# usage: run_scenario.sh SCENARIO QUORVEX_EXE|ZIP STANDINS_DIR WINEPREFIX EMULATOR [EMULATOR_ARGS...]
# (from a ZIP, the release, the tool is the quorvex.exe it holds)
#
# The scenario's [args] are handed to the tool one per line, exactly as written;
# its [stdout] and [log] must match the tool's standard output and the
# stand-ins' standin.log exactly (after dropping carriage returns), and the tool
# must end with status 1. Lines under [setup]:
#   standins none             the tool runs in a directory without stand-ins
#   standins talk             wdreg also writes "wdreg: <arguments>" to standard
#                             output (the file standins.talk in the directory
#                             tells it to), so [stdout] shows the order of the
#                             tool's lines and its children's: a child started
#                             without inherited handles writes to the tool's
#                             redirected standard output under Wine too
#   windows xp                the tool sees Windows XP: it runs as quorvex-xp.exe
#                             (32-bit) or quorvex-xp64.exe (64-bit), the names
#                             the prefix shows XP to (prepare_prefix.sh)
#   still polling after N s   the tool must still be running N seconds after its
#                             start, having paused for 250 ms at least twice and
#                             started no process (Wine's relay channel shows the
#                             calls); it is then stopped, so what it printed may
#                             still sit in its output buffer: standard output
#                             must be a beginning of [stdout]
#
# Wine's cmd (8.0) runs "del_sys.bat" as its own "del _sys.bat" (docs/building.md).
# Where a probe finds this (a note says so), each batch line of [log] is checked
# through its sentinel file instead ("_sys.bat"): gone if expected, there if not.
set -u

if [ $# -lt 5 ]; then
    echo "usage: $0 SCENARIO QUORVEX_EXE|ZIP STANDINS_DIR WINEPREFIX EMULATOR [ARGS...]" >&2
    exit 2
fi
scenario=$(realpath -- "$1") || exit 2
tool=$(realpath -- "$2") || exit 2
standins=$(realpath -- "$3") || exit 2
WINEPREFIX=$(realpath -m -- "$4") || exit 2
export WINEPREFIX
shift 4
emulator=("$@")
export WINEDEBUG=-all

batch_files=(del_sys.bat del_xctrl.bat del_sys_dl.bat)

fail() {
    echo "FAIL: $*"
    exit 1
}

# --- read the scenario -------------------------------------------------------
use_standins=1
talk=0
windows_xp=0
poll_seconds=
args=()
expected_out=()
expected_log=()
section=
while IFS= read -r line || [ -n "$line" ]; do
    line=${line%$'\r'}
    case $line in
    "[setup]" | "[args]" | "[stdout]" | "[log]")
        section=$line
        continue
        ;;
    esac
    case $section in
    "[setup]")
        case $line in
        "standins none") use_standins=0 ;;
        "standins talk") talk=1 ;;
        "windows xp") windows_xp=1 ;;
        "still polling after "[1-9]" s") poll_seconds=${line//[!0-9]/} ;;
        "") ;;
        *) fail "$scenario: unknown setup line '$line'" ;;
        esac
        ;;
    "[args]") args+=("$line") ;;
    "[stdout]") expected_out+=("$line") ;;
    "[log]") expected_log+=("$line") ;;
    *) [ -z "$line" ] || fail "$scenario: line outside any section: '$line'" ;;
    esac
done <"$scenario" || fail "cannot read $scenario"

for f in "$tool" "$standins/wdreg.exe" "${batch_files[@]/#/$standins/}"; do
    [ -f "$f" ] || fail "missing $f"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-wine.XXXXXX") || fail "no temporary directory"
trap 'rm -rf "$work"' EXIT

# --- probe how this Wine's cmd runs a batch file named del_*.bat ---------------
sentinels=0
if [ "$use_standins" = 1 ]; then
    probe=$work/probe
    mkdir "$probe"
    printf '@echo ran>>probe.log\r\n' >"$probe/del_probe.bat"
    : >"$probe/_probe.bat"
    (cd "$probe" && "${emulator[@]}" cmd /s/c "del_probe.bat" >/dev/null 2>&1)
    if [ -f "$probe/probe.log" ]; then
        sentinels=0
    elif [ ! -e "$probe/_probe.bat" ]; then
        sentinels=1
        echo "NOTE: this Wine's cmd runs \"del_probe.bat\" as its own \"del _probe.bat\";"
        echo "NOTE: batch lines of the log are checked through sentinel files instead."
    else
        fail "Wine's cmd neither ran del_probe.bat nor deleted _probe.bat"
    fi
fi

# --- run the tool --------------------------------------------------------------
# A fresh run directory each time: the tool, the stand-ins and their sentinels.
run_tool() {
    rm -rf "$work/run" "$work/stdout" "$work/stderr"
    tool=$tool_given
    run=$work/run
    mkdir "$run"
    case $tool in
    *.zip) (cd "$run" && cmake -E tar xf "$tool" quorvex.exe) || fail "no quorvex.exe in $tool" ;;
    *) cp "$tool" "$run/quorvex.exe" ;;
    esac
    tool=$run/quorvex.exe
    if [ "$windows_xp" = 1 ]; then
        # The PE header names the machine: 0x14c i386, 0x8664 x86-64.
        pe=$(od -An -tu4 -j60 -N4 "$tool" | tr -d ' ')
        machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$tool" | tr -d ' ')
        case $machine in
        014c) xp_name=quorvex-xp.exe ;;
        8664) xp_name=quorvex-xp64.exe ;;
        *) fail "$tool: unknown PE machine $machine" ;;
        esac
        mv "$tool" "$run/$xp_name" && tool=$run/$xp_name
    fi
    if [ "$use_standins" = 1 ]; then
        cp "$standins/wdreg.exe" "${batch_files[@]/#/$standins/}" "$run/"
        [ "$talk" = 0 ] || : >"$run/standins.talk"
        if [ "$sentinels" = 1 ]; then
            for b in "${batch_files[@]}"; do
                : >"$run/${b#del}"
            done
        fi
    fi

    shown_args=
    [ ${#args[@]} -eq 0 ] || shown_args=$(printf ' [%s]' "${args[@]}")
    echo "run: (in $run) ${emulator[*]} $tool$shown_args"
    if [ -n "$poll_seconds" ]; then
        (cd "$run" && WINEDEBUG=-all,+relay exec timeout "$poll_seconds" "${emulator[@]}" "$tool" \
            "${args[@]}" >"$work/stdout" 2>"$work/stderr")
        status=$?
    else
        # Every scenario ends within a second or two; a tool still running after 30 s
        # is stopped and fails.
        (cd "$run" && exec timeout 30 "${emulator[@]}" "$tool" "${args[@]}" >"$work/stdout" \
            2>"$work/stderr")
        status=$?
        [ "$status" != 124 ] || echo "the tool did not end within 30 s and was stopped"
    fi
}
tool_given=$tool
run_tool
# Wine's own process start can fail on a loaded machine with 1359
# (ERROR_INTERNAL_ERROR), which no Windows answers for a program that is there:
# such a run says nothing about the tool, so it is made once more; a second 1359
# fails as any other difference does.
if [ -z "$poll_seconds" ] && grep -q "CreateProcess failed (1359)" "$work/stdout" &&
    ! printf '%s\n' "${expected_out[@]}" | grep -q "CreateProcess failed (1359)"; then
    echo "Wine failed to start a process (1359): the run is made again"
    run_tool
fi

# --- compare -------------------------------------------------------------------
failed=0

if [ -n "$poll_seconds" ]; then
    pauses=$(grep -c 'Call [A-Za-z0-9]*\.Sleep(000000fa)' "$work/stderr")
    starts=$(grep -c 'Call [A-Za-z0-9]*\.CreateProcessA(' "$work/stderr")
    echo "after $poll_seconds s: $pauses pauses of 250 ms, $starts process starts"
    if [ "$status" != 124 ]; then
        echo "expected the tool to be still polling after $poll_seconds s; it ended with status $status"
        failed=1
    fi
    if [ "$pauses" -lt 2 ] || [ "$starts" != 0 ]; then
        echo "expected at least 2 pauses of 250 ms and no process start"
        failed=1
    fi
elif [ "$status" != 1 ]; then
    echo "exit status: expected 1, got $status"
    failed=1
fi

lines() { # LINE...: each on a line of its own; nothing for none
    [ $# -eq 0 ] || printf '%s\n' "$@"
}
compare() { # WHAT EXPECTED ACTUAL
    diff -u --label expected --label actual "$2" "$3" >"$work/diff" && return
    echo "$1 differs:"
    cat "$work/diff"
    failed=1
}

lines "${expected_out[@]}" >"$work/expected_stdout"
tr -d '\r' <"$work/stdout" >"$work/actual_stdout"
if [ -n "$poll_seconds" ]; then
    # Stopped while polling: only what was flushed before can be there.
    head -c "$(wc -c <"$work/actual_stdout")" "$work/expected_stdout" >"$work/expected_head"
    mv "$work/expected_head" "$work/expected_stdout"
fi
compare "standard output" "$work/expected_stdout" "$work/actual_stdout"

lines "${expected_log[@]}" >"$work/expected_log"
if [ "$sentinels" = 1 ]; then
    # Each batch line of [log] is checked through its sentinel instead.
    for b in "${batch_files[@]}"; do
        if grep -qxF "$b" "$work/expected_log"; then
            [ ! -e "$run/${b#del}" ] || echo "$b: expected to run, but its sentinel ${b#del} is still there"
        else
            [ -e "$run/${b#del}" ] || echo "$b: not expected to run, but its sentinel ${b#del} is gone"
        fi
    done >"$work/sentinels"
    [ ! -s "$work/sentinels" ] || { cat "$work/sentinels"; failed=1; }
    lines "${batch_files[@]}" >"$work/batch_files"
    grep -vxFf "$work/batch_files" "$work/expected_log" >"$work/expected_commands"
    mv "$work/expected_commands" "$work/expected_log"
fi
cat "$run/standin.log" 2>/dev/null | tr -d '\r' >"$work/actual_log"
compare standin.log "$work/expected_log" "$work/actual_log"

if [ "$failed" = 1 ]; then
    if [ -s "$work/stderr" ]; then
        echo "standard error:"
        cat "$work/stderr"
    fi
    exit 1
fi
echo "ok: $(basename "$scenario")"
