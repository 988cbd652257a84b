#!/usr/bin/env bash
# The includes under src/ run one way, top to bottom:
#   capture -> front -> usb_enum -> policy -> exec -> shared -> platform
# A file may include its own folder and any folder below it, never one above.
# Prints every include that runs back up and fails if there is one.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layers=(platform shared exec policy usb_enum front capture)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}

bad=0
checked=0
while IFS= read -r file; do
    folder=${file#src/}
    folder=${folder%%/*}
    from=$(rank "$folder")
    if [ "$from" -lt 0 ]; then
        echo "FAIL: $file: folder src/$folder/ is in no layer"
        bad=1
        continue
    fi
    while IFS= read -r target; do
        checked=$((checked + 1))
        to=$(rank "${target%%/*}")
        if [ "$to" -lt 0 ] || [ "$to" -gt "$from" ]; then
            echo "FAIL: $file includes \"$target\", which runs against capture -> front -> usb_enum -> policy -> exec -> shared -> platform"
            bad=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find src -type f \( -name '*.h' -o -name '*.c' -o -name '*.cpp' \) | sort)

[ "$bad" = 0 ] || exit 1
echo "ok: $checked includes under src/ run one way"
