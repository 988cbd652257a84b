#!/bin/bash
# Two clean builds of the shipped programs (quorvex.exe, quorvex-capture.exe), one
# from this source tree and one from a copy of it under another path, each in a
# folder of its own, must give the same bytes as each other and as the programs
# in BUILT_DIR (the build this test belongs to).
#
# usage: same_bytes.sh SOURCE_DIR TOOLCHAIN_FILE_IN_SOURCE BUILD_TYPE BUILT_DIR [CMAKE_ARGS...]
set -u

if [ $# -lt 4 ]; then
    echo "usage: $0 SOURCE_DIR TOOLCHAIN_FILE_IN_SOURCE BUILD_TYPE BUILT_DIR [CMAKE_ARGS...]" >&2
    exit 2
fi
source=$(realpath -- "$1") || exit 2
toolchain=$2
build_type=$3
built=$4
shift 4

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-same-bytes.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

copy=$work/a/longer/path/to/another/checkout
mkdir -p "$copy"
tar -C "$source" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$copy" -xf - || {
    echo "FAIL: cannot copy $source"
    exit 1
}

build() { # SOURCE BUILD_DIR CMAKE_ARGS...
    local src=$1 dir=$2
    shift 2
    mkdir -p "$dir"
    cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/$toolchain" \
        -DCMAKE_BUILD_TYPE="$build_type" "$@" >"$dir.log" 2>&1 &&
        cmake --build "$dir" --target quorvex quorvex-capture >>"$dir.log" 2>&1 || {
        echo "FAIL: the build in $dir failed:"
        cat "$dir.log"
        exit 1
    }
}
build "$source" "$work/first" "$@"
build "$copy" "$work/b/second" "$@"

faults=0
for program in quorvex.exe quorvex-capture.exe; do
    first=$work/first/src/$program
    second=$work/b/second/src/$program
    echo "$program"
    echo "  first:  $(sha256sum <"$first" | cut -d' ' -f1)  ($source, built in $work/first)"
    echo "  second: $(sha256sum <"$second" | cut -d' ' -f1)  ($copy, built in $work/b/second)"
    echo "  built:  $(sha256sum <"$built/$program" | cut -d' ' -f1)  ($built)"
    cmp "$first" "$second" || { echo "FAIL: the two clean builds of $program differ"; faults=1; }
    cmp "$first" "$built/$program" ||
        { echo "FAIL: a clean build of $program differs from $built/$program"; faults=1; }
done
[ "$faults" = 0 ] || exit 1
echo "ok: the same bytes three times for each program"
