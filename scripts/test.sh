#!/usr/bin/env bash
# Every test: installs what is missing, builds every preset and runs
#   the Linux unit and end-to-end tests (default preset) and, alone, its benchmarks,
#   the failure-site tests and the seven-hour polling soak (default preset),
#   the default preset's quick tests again with odd QUORVEX_ settings set,
#   the unit, end-to-end and failure-site tests under AddressSanitizer and
#   UndefinedBehaviorSanitizer,
#   the fuzz targets (clang++ and libFuzzer), each for a bounded time,
#   the 64-bit Windows build's tests under wine64, and the USB scan of both
#   Windows builds against a kernel-mode stand-in under Wine (wine-usb),
#   the 32-bit Linux build's unit, end-to-end, failure-site and capture tests
#   (linux32 preset): natively where this machine runs 32-bit code, under
#   qemu-i386 where it does not or where QUORVEX_IA32=qemu asks (scripts/ia32_run.sh),
#   the shipped 32-bit quorvex.exe's tests under 32-bit Wine, where this machine
#   runs 32-bit code (skipped, and said so in the closing lines, where it does not),
#   the import check of the 32-bit quorvex.exe, its version record and manifest,
#   a plain Release build (no preset) and its unit tests,
#   that every test has a time limit of its own,
#   the release command: the zip, its contents, and the same bytes from two builds.
set -euo pipefail
cd "$(dirname "$0")/.."

# Wall time of each phase, printed as a table at the end, even after a failure.
phases=()
started=$(date +%s)
phase() {
    local label=$1 t=$(date +%s) rc=0
    shift
    "$@" || rc=$?
    phases+=("$(printf '%-58s %4d s' "$label" $(($(date +%s) - t)))")
    return $rc
}
print_phases() {
    echo "=== wall time of each phase"
    printf '%s\n' "${phases[@]}"
    printf '%-58s %4d s\n' "total" $(($(date +%s) - started))
}
trap print_phases EXIT

phase "install (scripts/setup.sh)" bash scripts/setup.sh

jobs=$(nproc)
failed=()
presets=(default sanitizers fuzz linux32 win64 win32)
for preset in "${presets[@]}"; do
    echo "=== $preset: configure and build"
    phase "$preset: configure" cmake --preset "$preset" > "build-$preset.log" 2>&1 ||
        { cat "build-$preset.log"; exit 1; }
    rm -f "build-$preset.log"
    phase "$preset: build" cmake --build --preset "$preset" -j "$jobs"
done

for preset in "${presets[@]}"; do
    echo "=== $preset: tests"
    case "$preset" in
        default) labels=(--label-exclude 'bench|fuzz') ;;
        sanitizers) labels=(--label-regex '^(unit|e2e|faults|capture)$') ;;
        fuzz) labels=(--label-regex '^fuzz$') ;;
        *) labels=(--label-exclude 'soak|bench|fuzz|release') ;;
    esac
    run=()
    if [ "$preset" = linux32 ]; then
        labels=(--label-regex '^(unit|e2e|faults|capture)$')
        if ! linux32_way=$(bash scripts/ia32_run.sh --how); then
            echo "linux32: tests not run: $linux32_way"
            continue
        fi
        run=(bash scripts/ia32_run.sh)
    fi
    if ! phase "$preset: tests" "${run[@]}" ctest --preset "$preset" -j "$jobs" "${labels[@]}"; then
        failed+=("$preset")
    fi
done

# Test programs read none of the caller's QUORVEX_ settings, and the runners set
# what their programs need: the default preset's quick tests once more with odd
# ones set, and nothing may be written where those point.
echo "=== default: the quick tests again, with odd QUORVEX_ settings in the environment"
odd=$(mktemp -d)
if ! phase "default: tests again, odd settings" env QUORVEX_MACHINE=/nonexistent QUORVEX_REHEARSAL=1 QUORVEX_STATS="$odd/stats" \
    QUORVEX_TRACE="$odd/trace" QUORVEX_JOURNAL="$odd/journal" \
    ctest --preset default -j "$jobs" --label-regex '^(unit|e2e|faults|capture|layers|wine-usb)$' ||
    [ -n "$(ls -A "$odd")" ]; then
    failed+=("default with odd QUORVEX_ settings")
fi
rm -rf "$odd"

# Figures for the log, never checked: the benchmarks (alone, so that no other
# test competes with them) and the size and imports of the shipped quorvex.exe.
echo "=== default: benchmarks"
phase "default: benchmarks" ctest --preset default -L bench --verbose || failed+=("default benchmarks")
echo "=== win32: size, imports, version record and manifest of quorvex.exe"
phase "win32: imports" ctest --preset win32 -R '^imports\.(pe_)?quorvex$' --verbose || failed+=("win32 imports")

# A new user's build: no preset, no -Werror, GCC at -O3; it must not warn either.
echo "=== plain Release build and its unit tests"
plain=build/plain-release
phase "plain Release: configure and build" bash -c 'cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=Release && cmake --build "$1" -j "$2"' \
    bash "$plain" "$jobs" > build-plain-release.log 2>&1 || { cat build-plain-release.log; exit 1; }
if grep -n 'warning:' build-plain-release.log; then
    failed+=("plain Release build warns")
fi
rm -f build-plain-release.log
phase "plain Release: tests" ctest --test-dir "$plain" -j "$jobs" -L unit || failed+=("plain Release unit tests")

echo "=== every test has a time limit of its own"
phase "time limits" python3 scripts/check_timeouts.py "${presets[@]/#/build/}" "$plain" || failed+=("time limits")

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

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED presets: ${failed[*]}"
    exit 1
fi
echo "all presets passed"
