#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root,
# with apt-get); does nothing when everything is there already.
set -euo pipefail

# Packages come without what they only recommend: the Wine tests run console
# programs, and wine64's recommendations (fonts, sound, video, printing: 380
# packages where 64 are needed) would make most of the download.
# clang and libclang-rt-14-dev (libFuzzer and the sanitizer runtimes) build the
# sanitizers preset; python3-pefile reads the shipped quorvex.exe in its checks.
# g++-multilib and libgtest-dev:i386 build the 32-bit Linux build (linux32 preset);
# qemu-user runs its tests where this machine runs no 32-bit code, or where
# QUORVEX_IA32=qemu asks for it (scripts/ia32_run.sh): elsewhere it is not needed.
packages=(cmake ninja-build g++ googletest libgtest-dev nlohmann-json3-dev libbenchmark-dev
          clang libclang-rt-14-dev
          g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 python3-pefile
          g++-multilib libgtest-dev:i386)
here=$(dirname "$0")
ia32=1
bash "$here/ia32_probe.sh" >/dev/null || ia32=0
qemu=0
[ "$ia32" = 1 ] && [ "${QUORVEX_IA32:-}" != qemu ] || qemu=1
if [ "${1:-}" = "--linux-only" ]; then
    packages=(cmake ninja-build g++ googletest libgtest-dev nlohmann-json3-dev libbenchmark-dev
              clang libclang-rt-14-dev)
fi

updated=0
need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: installing $1 needs root" >&2
        exit 1
    fi
}
install() {
    echo "setup: installing $*"
    need_root "$*"
    export DEBIAN_FRONTEND=noninteractive
    if [ "$updated" = 0 ]; then
        update_lists
        updated=1
    fi
    apt-get install -y -q --no-install-recommends "$@"
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

# The :i386 packages need the i386 architecture. Added alone it installs nothing:
# apt only reads the i386 package lists too.
if [ "${1:-}" != "--linux-only" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root "the i386 architecture"
    dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    install "${missing[@]}"
fi

# qemu-user without its recommended qemu-user-binfmt, which would register
# emulators for the whole machine; scripts/ia32_run.sh registers its own.
if [ "${1:-}" != "--linux-only" ] && [ "$qemu" = 1 ] &&
    ! dpkg-query -W -f='${Status}' qemu-user 2>/dev/null | grep -q "install ok installed"; then
    install qemu-user
fi

# 32-bit Wine runs the shipped 32-bit quorvex.exe, but only where the kernel runs
# 32-bit code: installed anywhere else, wine32 leaves /usr/bin/wine unusable.
if [ "${1:-}" != "--linux-only" ] && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null |
    grep -q "install ok installed"; then
    if [ "$ia32" = 1 ]; then
        install wine32:i386
    else
        echo "setup: wine32 not installed: 32-bit Wine tests will be skipped"
    fi
fi
