#!/bin/bash
# Checks that a 32-bit Windows program can load on Windows XP SP3: a 32-bit
# console program, PE subsystem version 5.01 or lower, importing only allowed
# DLLs and, from them, only functions listed in the allowlist.
#
# usage: check_imports.sh EXE ALLOWLIST[:MORE] OBJDUMP STRIP [MAX_STRIPPED_BYTES]
#
# ALLOWLIST:MORE: the functions of both lists; MORE may name a DLL beyond the
# five every program may import from (the capture's ADVAPI32).
#
# Prints the program's stripped size and its import list, then one "FAIL:" line
# per fault (a stripped size above MAX_STRIPPED_BYTES, when given, is one); exits
# 1 if there is any fault.
set -u

if [ $# -ne 4 ] && [ $# -ne 5 ]; then
    echo "usage: $0 EXE ALLOWLIST OBJDUMP STRIP [MAX_STRIPPED_BYTES]" >&2
    exit 2
fi
exe=$1
allowlist=${2%%:*}
more=
[ "$allowlist" = "$2" ] || more=${2#*:}
objdump=$3
strip=$4
max_stripped=${5:-}

allowed_dlls="KERNEL32.DLL USER32.DLL SETUPAPI.DLL CFGMGR32.DLL MSVCRT.DLL"

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-imports.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

faults=0
fault() {
    echo "FAIL: $*"
    faults=$((faults + 1))
}

[ -f "$exe" ] || {
    echo "FAIL: no program at $exe"
    exit 1
}
for list in "$allowlist" $more; do
    [ -f "$list" ] || {
        echo "FAIL: no allowlist at $list"
        exit 1
    }
done

"$objdump" -p "$exe" >"$work/headers" || {
    echo "FAIL: $objdump cannot read $exe"
    exit 1
}

# --- size -----------------------------------------------------------------------
cp "$exe" "$work/stripped.exe" && "$strip" "$work/stripped.exe" || {
    echo "FAIL: $strip cannot strip a copy of $exe"
    exit 1
}
echo "program: $exe"
stripped=$(stat -c %s "$work/stripped.exe")
echo "size: $(stat -c %s "$exe") bytes, stripped: $stripped bytes"
if [ -n "$max_stripped" ] && [ "$stripped" -gt "$max_stripped" ]; then
    fault "stripped size $stripped bytes is above the limit of $max_stripped bytes"
fi

# --- headers --------------------------------------------------------------------
header() {
    awk -v key="$1" '$1 == key { print $2; exit }' "$work/headers"
}
format=$(sed -n 's/.*file format \([^ ]*\).*/\1/p' "$work/headers" | head -n 1)
subsystem=$(header Subsystem)
major=$(header MajorSubsystemVersion)
minor=$(header MinorSubsystemVersion)
os_major=$(header MajorOSystemVersion)
os_minor=$(header MinorOSystemVersion)
echo "format: $format, subsystem: $subsystem, subsystem version: $major.$minor," \
    "OS version: $os_major.$os_minor"

[ "$format" = pei-i386 ] || fault "not a 32-bit x86 program (file format '$format')"
# 3 is the console (character) subsystem.
[ "$subsystem" = 00000003 ] || fault "subsystem $subsystem is not console (00000003)"
if ! [[ $major =~ ^[0-9]+$ && $minor =~ ^[0-9]+$ ]]; then
    fault "no subsystem version in the headers"
elif [ "$major" -gt 5 ] || { [ "$major" -eq 5 ] && [ "$minor" -gt 1 ]; }; then
    fault "subsystem version $major.$minor is above 5.01 (Windows XP)"
fi

# --- imports --------------------------------------------------------------------
# One line "DLL<TAB>function" per import; "DLL<TAB>" alone for an entry without
# a name (imported by ordinal).
awk '
    /^[ \t]*DLL Name:/ { dll = $3; in_dll = 1; next }
    in_dll && /^[ \t]*vma:/ { next }
    in_dll && NF == 0 { in_dll = 0; next }
    in_dll && /^\t[0-9a-fA-F]+\t/ {
        name = (NF >= 3 && $3 != "<none>") ? $3 : ""
        print dll "\t" name
    }
' "$work/headers" >"$work/imports"

# The allowlist as "DLL<TAB>function" with the DLL in upper case.
awk '
    { sub(/\r$/, "") }
    /^[ \t]*(#|$)/ { next }
    /^\[.*\]$/ { dll = toupper(substr($0, 2, length($0) - 2)); next }
    { gsub(/^[ \t]+|[ \t]+$/, ""); print dll "\t" $0 }
' "$allowlist" $more | sort -u >"$work/allowed"
# The DLLs the further list names are allowed too.
if [ -n "$more" ]; then
    allowed_dlls="$allowed_dlls $(sed -n 's/^\[\(.*\)\]\r\?$/\1/p' "$more" | tr '[:lower:]' '[:upper:]' | tr '\n' ' ')"
fi

if [ ! -s "$work/imports" ]; then
    fault "no import table found"
fi

echo "imports:"
current=
while IFS=$'\t' read -r dll name; do
    if [ "$dll" != "$current" ]; then
        echo "  $dll"
        current=$dll
    fi
    echo "    ${name:-(by ordinal)}"
done <"$work/imports"

while IFS=$'\t' read -r dll name; do
    upper=$(tr '[:lower:]' '[:upper:]' <<<"$dll")
    case " $allowed_dlls " in
    *" $upper "*) ;;
    *)
        fault "imports from $dll, which is not one of KERNEL32, USER32, SETUPAPI, CFGMGR32, msvcrt${more:+, or one $more names}"
        continue
        ;;
    esac
    if [ -z "$name" ]; then
        fault "imports from $dll by ordinal, which cannot be checked"
    elif ! grep -qxF "$upper"$'\t'"$name" "$work/allowed"; then
        fault "$dll!$name is not in the allowlist of functions Windows XP SP3 exports"
    fi
done <"$work/imports"

if [ "$faults" -gt 0 ]; then
    echo "$faults fault(s)"
    exit 1
fi
echo "ok: loads on Windows XP SP3 as far as its headers and imports tell"
