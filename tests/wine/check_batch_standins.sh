#!/bin/bash
# The batch stand-ins, run by Wine's cmd under a path it cannot mistake for one
# of its own commands (".\del_sys.bat"), each append their own name to
# standin.log.
# usage: check_batch_standins.sh STANDINS_DIR WINEPREFIX EMULATOR [EMULATOR_ARGS...]
set -u
standins=$(realpath -- "$1") || exit 2
WINEPREFIX=$(realpath -m -- "$2") || exit 2
export WINEPREFIX WINEDEBUG=-all
shift 2
batch_files=(del_sys.bat del_xctrl.bat del_sys_dl.bat)

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-bat.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
cp "${batch_files[@]/#/$standins/}" "$work/" || exit 1
for b in "${batch_files[@]}"; do
    (cd "$work" && "$@" cmd.exe /c ".\\$b") || {
        echo "FAIL: cmd /c .\\$b failed"
        exit 1
    }
done
printf '%s\n' "${batch_files[@]}" >"$work/expected"
tr -d '\r' <"$work/standin.log" >"$work/actual" 2>/dev/null
diff -u --label expected --label actual "$work/expected" "$work/actual" || {
    echo "FAIL: the batch stand-ins did not log their names"
    exit 1
}
echo "ok: ${batch_files[*]}"
