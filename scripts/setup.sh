#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root,
# with apt-get); does nothing when everything is there already.
set -euo pipefail

# clang and libclang-rt-14-dev (libFuzzer and the sanitizer runtimes) build the
# fuzz targets.
packages=(cmake ninja-build g++ googletest libgtest-dev nlohmann-json3-dev libbenchmark-dev
          clang libclang-rt-14-dev
          g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64)
if [ "${1:-}" = "--linux-only" ]; then
    packages=(cmake ninja-build g++ googletest libgtest-dev nlohmann-json3-dev libbenchmark-dev
              clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# wine32 makes /usr/bin/wine pick a 32-bit loader this kernel cannot run; the
# tests call /usr/lib/wine/wine64 directly and never need it.
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q "${missing[@]}"
fi
