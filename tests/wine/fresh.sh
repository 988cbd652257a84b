#!/bin/bash
# Builds what Wine tests run, so that none runs a file older than its sources: in
# each BUILD_DIR, the comma-separated TARGETS. A build folder not made yet is
# configured from the preset it is named after (build/win32: win32). The win64
# build calls it for the other builds its tests use, and every Wine test requires
# a fixture that calls it, its own build included, before the test runs or skips.
# usage: fresh.sh BUILD_DIR TARGETS [BUILD_DIR TARGETS]...
set -u
source_dir=$(realpath -- "$(dirname "$0")/../..")
while [ $# -ge 2 ]; do
    dir=$(realpath -m -- "$1")
    targets=${2//,/ }
    shift 2
    echo "fresh: $dir: $targets"
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        [ "$dir" = "$source_dir/build/${dir##*/}" ] && (cd "$source_dir" && cmake --preset "${dir##*/}") ||
            { echo "FAIL: no build folder $dir: configure and build it first"; exit 1; }
    fi
    # shellcheck disable=SC2086 # one word per target
    cmake --build "$dir" --target $targets ||
        { echo "FAIL: $targets in $dir could not be built; no test may run the old files"; exit 1; }
done
