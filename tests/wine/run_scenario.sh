#!/bin/bash
# Runs one command-line scenario against a Windows build of the tool under Wine.
#
# usage: run_scenario.sh SCENARIO QUORVEX_EXE STANDINS_DIR WINEPREFIX EMULATOR [EMULATOR_ARGS...]
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
# Wine's cmd (8.0) takes a batch file whose name starts with the name of one of
# its own commands followed by an underscore ("del_sys.bat") for that command
# ("del" with the argument "_sys.bat"), so such a batch file never runs its own
# lines there. The driver probes for this; where it is found, every batch line of
# [log] is checked instead through a sentinel file ("_sys.bat" for
# "del_sys.bat"): the sentinel of each expected batch file must be gone, every
# other sentinel must remain. A note in the output says when this happens.
set -u

if [ $# -lt 5 ]; then
    echo "usage: $0 SCENARIO QUORVEX_EXE STANDINS_DIR WINEPREFIX EMULATOR [ARGS...]" >&2
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
run=$work/run
mkdir "$run"
if [ "$windows_xp" = 1 ]; then
    # The PE header names the machine: 0x14c i386, 0x8664 x86-64.
    pe=$(od -An -tu4 -j60 -N4 "$tool" | tr -d ' ')
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$tool" | tr -d ' ')
    case $machine in
    014c) xp_name=quorvex-xp.exe ;;
    8664) xp_name=quorvex-xp64.exe ;;
    *) fail "$tool: unknown PE machine $machine" ;;
    esac
    cp "$tool" "$run/$xp_name"
    tool=$run/$xp_name
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

if [ ${#expected_out[@]} -gt 0 ]; then
    printf '%s\n' "${expected_out[@]}" >"$work/expected_stdout"
else
    : >"$work/expected_stdout"
fi
tr -d '\r' <"$work/stdout" >"$work/actual_stdout"
if [ -n "$poll_seconds" ]; then
    # Stopped while polling: only what was flushed before can be there.
    head -c "$(wc -c <"$work/actual_stdout")" "$work/expected_stdout" >"$work/expected_head"
    mv "$work/expected_head" "$work/expected_stdout"
fi
if ! diff -u --label expected --label actual "$work/expected_stdout" "$work/actual_stdout" \
    >"$work/stdout.diff"; then
    echo "standard output differs:"
    cat "$work/stdout.diff"
    failed=1
fi

log_lines=()
for line in "${expected_log[@]}"; do
    is_batch=0
    for b in "${batch_files[@]}"; do
        [ "$line" = "$b" ] && is_batch=1
    done
    if [ "$sentinels" = 1 ] && [ "$is_batch" = 1 ]; then
        continue
    fi
    log_lines+=("$line")
done
if [ ${#log_lines[@]} -gt 0 ]; then
    printf '%s\n' "${log_lines[@]}" >"$work/expected_log"
else
    : >"$work/expected_log"
fi
if [ -f "$run/standin.log" ]; then
    tr -d '\r' <"$run/standin.log" >"$work/actual_log"
else
    : >"$work/actual_log"
fi
if ! diff -u --label expected --label actual "$work/expected_log" "$work/actual_log" \
    >"$work/log.diff"; then
    echo "standin.log differs:"
    cat "$work/log.diff"
    failed=1
fi

if [ "$sentinels" = 1 ]; then
    for b in "${batch_files[@]}"; do
        expected_run=0
        for line in "${expected_log[@]}"; do
            [ "$line" = "$b" ] && expected_run=1
        done
        if [ "$expected_run" = 1 ] && [ -e "$run/${b#del}" ]; then
            echo "$b: expected to run, but its sentinel ${b#del} is still there"
            failed=1
        elif [ "$expected_run" = 0 ] && [ ! -e "$run/${b#del}" ]; then
            echo "$b: not expected to run, but its sentinel ${b#del} is gone"
            failed=1
        fi
    done
fi

if [ "$failed" = 1 ]; then
    if [ -s "$work/stderr" ]; then
        echo "standard error:"
        cat "$work/stderr"
    fi
    exit 1
fi
echo "ok: $(basename "$scenario")"
