#!/usr/bin/env bash
# Does this machine run 32-bit x86 code? Exits 0 when it does, 1 when it does not,
# with one line saying which.
#
# The probe is a static i386 ELF made with binutils alone that exits with status
# 42 through int $0x80; no loader, library or Wine is involved, so nothing but the
# kernel's IA32 support can make it run or fail.
set -u
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-ia32.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
printf '%s\n' '.globl _start' '_start:' 'movl $1, %eax' 'movl $42, %ebx' 'int $0x80' >"$work/probe.s"
if ! as --32 -o "$work/probe.o" "$work/probe.s" 2>/dev/null ||
    ! ld -m elf_i386 -o "$work/probe" "$work/probe.o" 2>/dev/null; then
    echo "ia32: cannot tell: binutils (as --32, ld -m elf_i386) could not build the probe"
    exit 1
fi
"$work/probe" 2>/dev/null
status=$?
if [ "$status" = 42 ]; then
    echo "ia32: this machine runs 32-bit code"
    exit 0
fi
echo "ia32: this machine runs no 32-bit code (the probe ended with status $status)"
exit 1
