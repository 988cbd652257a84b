#!/bin/bash
# Runs a 32-bit Wine test, or skips it (exit 77, ctest's SKIP_RETURN_CODE) where
# the kernel runs no 32-bit code.
# usage: needs_ia32.sh COMMAND [ARGS...]
if ! probe=$(bash "$(dirname "$0")/../../scripts/ia32_probe.sh"); then
    echo "SKIP: 32-bit Wine: not run: ${probe#ia32: }"
    exit 77
fi
exec "$@"
