#!/bin/bash
# A clean build of the shipped programs (quorvex.exe, quorvex-capture.exe) from a
# copy of this source tree under another, longer path, in a build folder of its
# own, must give the same bytes as the programs in BUILT_DIR (the build this test
# belongs to, made from this tree in its own folder): neither the source path nor
# the build folder may leave a trace in them.
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
build "$copy" "$work/b/second" "$@"

faults=0
for program in quorvex.exe quorvex-capture.exe; do
    second=$work/b/second/src/$program
    echo "$program"
    echo "  built:  $(sha256sum <"$built/$program" | cut -d' ' -f1)  ($source, built in $built)"
    echo "  second: $(sha256sum <"$second" | cut -d' ' -f1)  ($copy, built in $work/b/second)"
    cmp "$second" "$built/$program" ||
        { echo "FAIL: a clean build of $program elsewhere differs from $built/$program"; faults=1; }
done
[ "$faults" = 0 ] || exit 1
echo "ok: the same bytes twice for each program"
