#!/usr/bin/env bash
# The demo: the tool polls an example machine (examples/demo.json) with one device
# in composite mode on port 3 of its only controller. Each pass installs the
# device's packages twice (the controller answers to its number and to the
# interface enumeration); then the device comes back in download mode, gets the
# download-mode package, and the tool ends.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --linux-only
cmake --preset default > /dev/null
cmake --build --preset default --target quorvex > /dev/null

trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
echo "\$ quorvex 129    (bit 0: remove before install, bit 7: poll for devices)"
QUORVEX_MACHINE=examples/demo.json QUORVEX_TRACE="$trace" PATH="$PWD/examples/bin:$PATH" \
    build/default/src/quorvex 129 || status=$?
# The tool always ends with status 1; anything else is a real failure.
[ "${status:-0}" -eq 1 ] || exit "${status:-1}"
echo
echo "Debugger output:"
sed 's/^/    /' "$trace"
