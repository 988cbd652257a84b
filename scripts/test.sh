#!/usr/bin/env bash
# Every test: installs what is missing, builds every preset and runs
#   the Linux unit and end-to-end tests (default preset, at -O3 as a plain Release
#   build) and, alone, its benchmarks,
#   the failure-site tests and the seven-hour polling soak (default preset),
#   the default preset's quick tests again with odd QUORVEX_ settings set,
#   the unit, end-to-end, failure-site and capture tests under AddressSanitizer and
#   UndefinedBehaviorSanitizer, and from the same clang++ build the fuzz targets
#   (libFuzzer), each for a bounded time (sanitizers preset),
#   the 32-bit Linux build's unit, end-to-end, failure-site and capture tests
#   (linux32 preset): natively where this machine runs 32-bit code, under
#   qemu-i386 where it does not or where QUORVEX_IA32=qemu asks (scripts/ia32_run.sh),
#   the 64-bit Windows build's tests under wine64, and the USB scan of both
#   Windows builds against a kernel-mode stand-in under Wine (wine-usb),
#   the shipped 32-bit quorvex.exe's tests under 32-bit Wine, where this machine
#   runs 32-bit code (skipped, and said so in the closing lines, where it does not),
#   the import check of the 32-bit quorvex.exe, its version record and manifest,
#   a plain build (no preset, no -Werror, the default generator) of the tool,
#   which must not warn,
#   that every test has a time limit of its own,
#   the release command: the zip, its contents, and the same bytes from the win32
#   preset's build and a clean build elsewhere.
# At its end: the wall time of each phase, the tests each run counted, and how
# many Wine runs were made again after Wine failed a process start (1359).
set -euo pipefail
cd "$(dirname "$0")/.."

phases=()
started=$(date +%s)
# phase LABEL COMMAND...: runs COMMAND and keeps its wall time for the table.
phase() {
    local label=$1 t rc=0
    t=$(date +%s)
    shift
    "$@" || rc=$?
    phases+=("$(printf '%-52s %4d s' "$label" $(($(date +%s) - t)))")
    return $rc
}
# The count of tests in ctest's output FILE.
count_of() {
    sed -n 's/.*tests failed out of \([0-9]*\)$/\1/p' "$1" | tail -n 1
}
# The Wine runs the two Wine runners made again after Wine failed a process start
# (1359), in the last ctest run of build folder DIR (read before its next run).
wine_reruns() {
    local n
    n=$(grep -c 'Wine failed to start a process (1359)' "$1/Testing/Temporary/LastTest.log" 2>/dev/null) ||
        true
    echo "${n:-0}"
}
# tests LABEL CTEST_ARGS...: a ctest run as a phase, with the count of its tests;
# ctest runs under the command in ctest_runner, where that is set.
ctest_runner=()
tests() {
    local label=$1 t rc=0 out count
    shift
    out=$(mktemp)
    t=$(date +%s)
    "${ctest_runner[@]}" ctest "$@" 2>&1 | tee "$out" || rc=$?
    count=$(count_of "$out")
    phases+=("$(printf '%-52s %4d s   %s tests' "$label" $(($(date +%s) - t)) "${count:-no}")")
    rm -f "$out"
    return $rc
}
# background LABEL COMMAND...: starts COMMAND beside what follows, its output
# kept; collect prints it and puts its wall time in the table.
background_pid=
background() {
    background_label=$1
    shift
    background_log=$(mktemp)
    background_started=$(date +%s)
    background_ended=$(mktemp)
    (
        rc=0
        "$@" || rc=$?
        date +%s >"$background_ended"
        exit $rc
    ) >"$background_log" 2>&1 &
    background_pid=$!
}
collect() {
    local rc=0 count ended
    wait "$background_pid" || rc=$?
    background_pid=
    cat "$background_log"
    count=$(count_of "$background_log")
    ended=$(cat "$background_ended")
    phases+=("$(printf '%-52s %4d s   %s' "$background_label" $((${ended:-$(date +%s)} - background_started)) \
        "${count:+$count tests}")")
    rm -f "$background_log" "$background_ended"
    return $rc
}
print_phases() {
    # A failure ends the script; what runs beside it is let finish (an install
    # cut short would leave the package system half done).
    if [ -n "$background_pid" ]; then
        collect >/dev/null || true
    fi
    echo "=== wall time of each phase"
    printf '%s\n' "${phases[@]}"
    printf '%-52s %4d s\n' "total" $(($(date +%s) - started))
}
trap print_phases EXIT

# What the Linux builds need first; the Windows cross compilers and wine64
# (amd64 packages only: nothing a running build uses is replaced) install while
# the Linux presets build and test, and the Windows builds wait for them.
phase "install: the Linux builds' packages" bash scripts/setup.sh linux i386
# It runs at the lowest priority: it has minutes to finish, and the builds need the cores.
background "install: the Windows tools, beside the Linux presets" \
    nice -n 19 ionice -c 3 bash scripts/setup.sh windows

jobs=$(nproc)
failed=()
build() { # PRESET
    echo "=== $1: configure and build"
    phase "$1: configure" cmake --preset "$1" > "build-$1.log" 2>&1 || { cat "build-$1.log"; exit 1; }
    rm -f "build-$1.log"
    phase "$1: build" cmake --build --preset "$1" -j "$jobs"
}
quick='^(unit|e2e|faults|capture)$'

build default
echo "=== default: tests"
tests "default: tests" --preset default -j "$jobs" --label-exclude 'bench|fuzz' || failed+=(default)
# Test programs read none of the caller's QUORVEX_ settings, and the runners set
# what their programs need: the quick tests once more with odd ones set, and
# nothing may be written where those point.
echo "=== default: the quick tests again, with odd QUORVEX_ settings in the environment"
odd=$(mktemp -d)
if ! QUORVEX_MACHINE=/nonexistent QUORVEX_REHEARSAL=1 QUORVEX_STATS="$odd/stats" \
    QUORVEX_TRACE="$odd/trace" QUORVEX_JOURNAL="$odd/journal" \
    tests "default: the quick tests, odd QUORVEX_ settings" --preset default -j "$jobs" \
    --label-regex '^(unit|e2e|faults|capture|layers|wine-usb)$' || [ -n "$(ls -A "$odd")" ]; then
    failed+=("default with odd QUORVEX_ settings")
fi
rm -rf "$odd"
# Figures for the log, never checked: the benchmarks, alone, so that no other
# test competes with them.
echo "=== default: benchmarks"
tests "default: benchmarks" --preset default -L bench --verbose || failed+=("default benchmarks")

build sanitizers
echo "=== sanitizers: tests"
tests "sanitizers: tests" --preset sanitizers -j "$jobs" --label-regex "$quick" || failed+=(sanitizers)
build linux32
echo "=== linux32: tests"
# ctest itself runs under scripts/ia32_run.sh, so that its tests' i386 programs run.
if linux32_way=$(bash scripts/ia32_run.sh --how); then
    ctest_runner=(bash scripts/ia32_run.sh)
    tests "linux32: tests ($linux32_way)" --preset linux32 -j "$jobs" --label-regex "$quick" ||
        failed+=(linux32)
    ctest_runner=()
else
    echo "linux32: tests not run: $linux32_way"
fi

# The win64 build builds the win32 one too (its wine-usb tests run the shipped
# quorvex.exe): built first here, so that each preset's build is timed alone.
echo "=== install: the Windows tools"
collect || { echo "FAILED: scripts/setup.sh windows"; exit 1; }
build win32
build win64
# The Wine tests keep about one core busy, a fuzz target one: so the fuzz targets
# run one at a time beside them, each for its bounded time, at the lowest
# priority, so that Wine runs as it would alone.
echo "=== win64: tests, and beside them the fuzz targets (sanitizers preset), one at a time"
background "sanitizers: fuzz targets, beside the win64 tests" nice -n 19 ctest --preset fuzz -j 1
tests "win64: tests" --preset win64 -j "$jobs" --label-exclude 'soak|bench|fuzz|release' ||
    failed+=(win64)
reruns=$(wine_reruns build/win64)
echo "=== sanitizers: the fuzz targets"
collect || failed+=(fuzz)
echo "=== win32: tests"
tests "win32: tests" --preset win32 -j "$jobs" --label-exclude 'soak|bench|fuzz|release' ||
    failed+=(win32)
reruns=$((reruns + $(wine_reruns build/win32)))
echo "=== win32: size, imports, version record and manifest of quorvex.exe"
tests "win32: imports, verbose" --preset win32 -R '^imports\.(pe_)?quorvex$' --verbose ||
    failed+=("win32 imports")

# A new user's build: no preset, no -Werror, the default generator. The default
# preset builds and tests everything at the flags it has (-O3, with -Werror), so
# this configures the whole tree and builds the tool; it must not warn.
echo "=== plain Release build (no preset) of quorvex"
plain=build/plain-release
phase "plain Release: configure, build quorvex" bash -c \
    'cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=Release && cmake --build "$1" -j "$2" --target quorvex' \
    bash "$plain" "$jobs" > build-plain-release.log 2>&1 || { cat build-plain-release.log; exit 1; }
if grep -n 'warning:' build-plain-release.log; then
    failed+=("plain Release build warns")
fi
rm -f build-plain-release.log

echo "=== every test has a time limit of its own"
# (The plain build's tests are the default preset's.)
phase "time limits" python3 scripts/check_timeouts.py build/default build/sanitizers build/linux32 \
    build/win64 build/win32 || failed+=("time limits")

echo "=== release: cmake --workflow --preset release"
phase "release workflow" cmake --workflow --preset release || failed+=("release")

# Closing lines: what ran only where this machine allows it.
echo "=== what this machine could run"
# 32-bit Wine runs only natively: its loader does not run under qemu-i386.
if ia32=$(bash scripts/ia32_probe.sh); then
    echo "32-bit Wine: ran natively: the command-line scenarios on the shipped 32-bit quorvex.exe"
    echo "wine-usb 32-bit: ran natively: the USB scan of the shipped 32-bit quorvex.exe under Wine"
else
    echo "32-bit Wine: not run: ${ia32#ia32: } (32-bit Wine does not run under qemu-i386)"
    echo "wine-usb 32-bit: not run: ${ia32#ia32: } (32-bit Wine does not run under qemu-i386)"
fi
case ${linux32_way:-} in
natively | "under qemu-i386")
    echo "linux32: ran $linux32_way: the unit, end-to-end, failure-site and capture tests" ;;
*) echo "linux32: not run: ${linux32_way:-its build failed}" ;;
esac
# A Wine run that Wine itself failed to start a process in (1359, on a loaded
# machine) is made once more; a second 1359 fails its test.
echo "Wine runs made again after Wine failed a process start (1359): $reruns"

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all presets passed"
