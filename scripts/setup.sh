#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root,
# with apt-get); does nothing when everything is there already.
#
# usage: setup.sh [GROUP...]   GROUP: linux, i386 or windows; none: all three
#        setup.sh --linux-only the same as "setup.sh linux"
#   linux    the default and sanitizers presets, the demo, rehearsals: cmake,
#            ninja-build, g++, GoogleTest, nlohmann-json, Google Benchmark, and
#            clang with libclang-rt-14-dev (libFuzzer and the sanitizer runtimes)
#   i386     the linux32 preset (g++-multilib, libgtest-dev:i386, with the i386
#            architecture); qemu-user where this machine runs no 32-bit code or
#            QUORVEX_IA32=qemu asks for it (scripts/ia32_run.sh); wine32, for the
#            shipped quorvex.exe, where it does run 32-bit code
#   windows  the win32 and win64 presets: the mingw-w64 cross compilers, wine64,
#            python3-pefile (it reads the shipped quorvex.exe in its checks);
#            amd64 packages only, so installing them replaces no library of the
#            machine that a build running beside it uses
#
# Packages come without what they only recommend: the Wine tests run console
# programs, and wine64's recommendations (fonts, sound, video, printing: 380
# packages where 64 are needed) would make most of the download.
set -euo pipefail

here=$(dirname "$0")
groups=("$@")
[ "${1:-}" != --linux-only ] || groups=(linux)
[ ${#groups[@]} -gt 0 ] || groups=(linux i386 windows)

ia32=1
bash "$here/ia32_probe.sh" >/dev/null || ia32=0
qemu=0
[ "$ia32" = 1 ] && [ "${QUORVEX_IA32:-}" != qemu ] || qemu=1

packages=()
for group in "${groups[@]}"; do
    case $group in
    linux) packages+=(cmake ninja-build g++ googletest libgtest-dev nlohmann-json3-dev
                      libbenchmark-dev clang libclang-rt-14-dev) ;;
    i386)
        packages+=(g++-multilib libgtest-dev:i386)
        # qemu-user comes without its recommended qemu-user-binfmt, which would
        # register emulators for the whole machine; ia32_run.sh registers its own.
        [ "$qemu" = 0 ] || packages+=(qemu-user)
        # 32-bit Wine runs the shipped 32-bit quorvex.exe, but only where the
        # kernel runs 32-bit code: installed anywhere else, wine32 leaves
        # /usr/bin/wine unusable.
        if [ "$ia32" = 1 ]; then
            packages+=(wine32:i386)
        else
            echo "setup: wine32 not installed: 32-bit Wine tests will be skipped"
        fi
        ;;
    windows) packages+=(g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 python3-pefile) ;;
    *)
        echo "usage: $0 [linux|i386|windows]... | --linux-only" >&2
        exit 2
        ;;
    esac
done

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: installing $1 needs root" >&2
        exit 1
    fi
}
# A mirror caught in its sync answers an index of the wrong size; that passes
# within minutes. Try again, and in the end install from what could be read:
# apt-get install says precisely what it cannot find.
update_lists() {
    local try
    for try in 1 2 3 4 5; do
        apt-get update -q && return 0
        echo "setup: apt-get update failed (try $try of 5)" >&2
        [ "$try" = 5 ] || sleep $((try * 20))
    done
    echo "setup: going on with the package lists that could be read" >&2
}

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "setup: installing ${missing[*]}"
need_root "${missing[*]}"
# The :i386 packages need the i386 architecture. Added alone it installs nothing:
# apt only reads the i386 package lists too.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
update_lists
apt-get install -y -q --no-install-recommends "${missing[@]}"
