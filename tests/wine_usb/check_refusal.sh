#!/bin/bash
# A description the stand-in cannot take is refused with exactly the one line in
# NAME.line beside it, and status 2.
# usage: check_refusal.sh DESCRIPTION MAKE_TABLE
set -u
cd "$(dirname "$1")" || exit 2
name=$(basename "$1")
said=$("$2" "$name" /dev/null 2>&1)
status=$?
expected=$(cat "${name%.json}.line") || exit 2
[ "$status" = 2 ] && [ "$said" = "$expected" ] && exit 0
printf 'FAIL: %s\nstatus %s (expected 2)\nsaid:     %s\nexpected: %s\n' "$name" "$status" "$said" "$expected"
exit 1
