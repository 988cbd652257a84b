#!/usr/bin/env bash
# Runs COMMAND where 32-bit x86 Linux programs can run: natively where this machine
# runs 32-bit code (scripts/ia32_probe.sh), and otherwise, or with QUORVEX_IA32=qemu,
# inside a user and mount namespace of its own whose binfmt_misc hands every i386
# ELF program to qemu-i386: the command, its children and theirs. Nothing outside
# the namespace changes. The linux32 preset runs its tests through this.
#
# usage: ia32_run.sh COMMAND [ARGS...]
#        ia32_run.sh --how   one line, "natively" or "under qemu-i386"; or why
#                            32-bit programs cannot run here (exit 1)
# QUORVEX_IA32: unset or "auto" (as above), or "qemu": qemu-i386 even where the
# machine runs 32-bit code, so that both ways can be tried on one machine.
set -u
here=$(dirname "$0")

# Inside a run of this script the way is chosen already (QUORVEX_IA32_WAY).
if [ -n "${QUORVEX_IA32_WAY:-}" ] && [ "${1:-}" != --how ]; then
    exec "$@"
fi

# A user and mount namespace whose own binfmt_misc registers qemu-i386 for i386
# ELF programs (flag F: the interpreter is opened at once, so it serves every
# directory). Unprivileged user namespaces, and a binfmt_misc of a namespace's
# own (Linux 6.7 and later), may be refused: then it says so and fails.
route() {
    unshare --user --map-root-user --mount bash -c '
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
            { echo "ia32_run: no binfmt_misc of a namespace of its own for qemu-i386" >&2; exit 125; }
        printf "%s" ":quorvex-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F" \
            2>/dev/null >/proc/sys/fs/binfmt_misc/register ||
            { echo "ia32_run: binfmt_misc refused to register qemu-i386" >&2; exit 125; }
        exec "$@"' bash "$@"
}

# natively, or qemu; or why neither (status 1).
choose() {
    case ${QUORVEX_IA32:-auto} in
    auto) if bash "$here/ia32_probe.sh" >/dev/null; then echo natively; return; fi ;;
    qemu) ;;
    *) echo "QUORVEX_IA32 is '$QUORVEX_IA32', not auto or qemu"; return 1 ;;
    esac
    [ -x /usr/bin/qemu-i386 ] || { echo "no /usr/bin/qemu-i386 (Debian package qemu-user)"; return 1; }
    echo "under qemu-i386"
}

if [ "${1:-}" = --how ]; then
    way=$(choose) || { echo "$way"; exit 1; }
    if [ "$way" != natively ] && ! out=$(route true 2>&1); then
        echo "${out#ia32_run: }${out:+: }unshare --user --mount was refused" | head -n 1
        exit 1
    fi
    echo "$way"
    exit 0
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGS...] | --how" >&2
    exit 2
fi
way=$(choose) || { echo "ia32_run: 32-bit programs cannot run here: $way" >&2; exit 1; }
export QUORVEX_IA32_WAY=$way
if [ "$way" = natively ]; then
    exec "$@"
fi
route "$@"
