#!/usr/bin/env bash
# Instructions per polling pass, and how many of them are the tool's own work.
#
#   scripts/callgrind.sh [typical|largest] [PASSES]     (default: typical 100)
#
# Builds scan_passes in the default preset's tree if needed, runs PASSES passes of
# scan_usb over the benchmark machine under callgrind (collecting only inside the
# measured passes, after one pass that settles the emulation), and splits the
# instructions into those spent inside the emulated platform calls (every call
# the tool's code makes into a function that src/platform/win32.h declares,
# counted inclusively) and the rest: the tool's own code and the C runtime it
# calls. Needs valgrind and python3; not part of the test run.
set -euo pipefail
cd "$(dirname "$0")/.."

machine=${1:-typical}
passes=${2:-100}
build=${QUORVEX_BUILD:-build/default}

command -v valgrind >/dev/null || {
    echo "callgrind.sh: valgrind is not installed (apt-get install valgrind)" >&2
    exit 1
}
if [ ! -f "$build/build.ninja" ]; then
    cmake --preset default >/dev/null
fi
cmake --build "$build" --target scan_passes >/dev/null

out=$(mktemp "${TMPDIR:-/tmp}/quorvex-callgrind.XXXXXX")
trap 'rm -f "$out"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$out" --collect-atstart=no \
    --toggle-collect='measured_passes(int)' \
    "$build/tests/bench/scan_passes" "$machine" "$passes" >/dev/null 2>&1

python3 - "$out" "$passes" "$machine" src/platform/win32.h <<'EOF'
import re
import sys

path, passes, machine, header = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]

# The platform functions: those the emulated half of win32.h declares.
text = open(header).read()
emulated = text[text.index("#else // the emulated machine"):]
entry_points = set(re.findall(
    r"^(?:BOOL|DWORD|void|int|HANDLE|HGLOBAL|HDEVINFO|CONFIGRET)\s+(\w+)\(", emulated, re.M))

files, names = {}, {}

def named(table, field):
    m = re.match(r"\((\d+)\)(?: (.*))?", field)
    if m is None:
        return field
    if m.group(2) is not None:
        table[m.group(1)] = m.group(2)
    return table.get(m.group(1), "?")

def is_tool(file):
    return "src/" in file and "src/platform/" not in file

def entry_point(fn):
    return fn.split("(", 1)[0] in entry_points

total = 0
platform = {}
tool_self = {}
fn, fn_file = "?", "?"
callee = None
after_calls = False
for line in open(path):
    line = line.rstrip("\n")
    if after_calls:
        cost = int(line.split()[1])
        if callee is not None and entry_point(callee) and is_tool(fn_file):
            key = callee.split("(", 1)[0]
            platform[key] = platform.get(key, 0) + cost
        after_calls = False
        continue
    if line.startswith("summary:") or line.startswith("totals:"):
        total = int(line.split()[1])
    elif line.startswith("fl="):
        fn_file = named(files, line[3:])
    elif line.startswith(("fi=", "fe=", "cfi=", "cfl=")):
        named(files, line.split("=", 1)[1])
    elif line.startswith("fn="):
        fn = named(names, line[3:])
    elif line.startswith("cfn="):
        callee = named(names, line[4:])
    elif line.startswith("calls="):
        after_calls = True
    elif line[:1].isdigit() or line[:1] in "+-*":
        parts = line.split()
        if len(parts) >= 2 and is_tool(fn_file):
            tool_self[fn] = tool_self.get(fn, 0) + int(parts[1])

inside = sum(platform.values())
print(f"{machine} machine, {passes} passes: {total:,} instructions, "
      f"{total / passes:,.0f} per pass")
print(f"  inside the emulated platform calls: {inside / passes:,.0f} per pass "
      f"({100.0 * inside / total:.1f}%)")
print(f"  outside them (the tool's own code and the C runtime it calls): "
      f"{(total - inside) / passes:,.0f} per pass ({100.0 * (total - inside) / total:.1f}%)")
print("  platform calls, instructions per pass:")
for name, cost in sorted(platform.items(), key=lambda kv: -kv[1]):
    print(f"    {name:36} {cost / passes:12,.0f}")
print("  the tool's own functions, instructions per pass (self):")
for name, cost in sorted(tool_self.items(), key=lambda kv: -kv[1])[:12]:
    print(f"    {name[:60]:60} {cost / passes:10,.0f}")
EOF
