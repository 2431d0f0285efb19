#!/bin/sh
# One whole run of the Linux tarnwick over the sample volume under valgrind
# memcheck, setting a value and then deleting it in every profile (the
# Default profile included; Bob's hive, when Windows' own hives are there, a
# dirty one that Windows wrote, with its logs, which the set replays and
# rewrites and the delete then writes in place through those logs): no
# memory error and no leak, and the run itself succeeds. Exit 77 (skipped)
# without valgrind.
#   offline_run.sh MAKE_SAMPLE_VOLUME TARNWICK [WINDOWS_HIVES]
set -eu
make_volume=$1
tarnwick=$2
windows_hives=${3:-}
command -v valgrind >/dev/null 2>&1 || { echo "skipped: no valgrind"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-memcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$make_volume" "$work/volume" >/dev/null
mkdir "$work/tmp"
dirty="$windows_hives/NewDirtyHive1"
if [ -n "$windows_hives" ] && [ -d "$dirty" ]; then
    cp "$dirty/NewDirtyHive" "$work/volume/Users/bob/NTUSER.DAT"
    cp "$dirty/NewDirtyHive.LOG1" "$work/volume/Users/bob/ntuser.dat.LOG1"
    cp "$dirty/NewDirtyHive.LOG2" "$work/volume/Users/bob/ntuser.dat.LOG2"
    chmod u+w "$work/volume/Users/bob/NTUSER.DAT"
elif [ -n "$windows_hives" ]; then
    # Without Windows' hives beside the repository no hive is replayed; CI must have them.
    echo "no folder $dirty: Bob's hive is not a dirty one that Windows wrote"
    if [ -n "${CI:-}" ]; then
        echo "FAILED: CI is set and the Windows-written hives are missing" >&2
        exit 1
    fi
fi

memcheck() {
    TMPDIR="$work/tmp" TARNWICK_SYSTEM_DRIVE="$work/volume" \
        valgrind -q --error-exitcode=99 --suppressions="$(dirname "$0")/valgrind.supp" --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --show-leak-kinds=definite,indirect "$tarnwick" "$@"
}

status=0
memcheck /set /k 'Software\Tarnwick' /vn Memcheck /vstr 'checked value' /dp || status=$?
if [ "$status" -ne 0 ]; then
    echo "set run: exit status $status (99 = memcheck found errors)" >&2
    exit 1
fi
memcheck /del /k 'Software\Tarnwick' /vn Memcheck /dp || status=$?
if [ "$status" -ne 0 ]; then
    echo "delete run: exit status $status (99 = memcheck found errors)" >&2
    exit 1
fi
# The runs did reach the hives: every hive was loaded and processed.
processed=$(grep -c ': processing' "$work/tmp/tarnwick.log" || true)
if [ "$processed" -lt 4 ]; then
    echo "only $processed hives processed; log:" >&2
    cat "$work/tmp/tarnwick.log" >&2
    exit 1
fi
if grep -q "Bob.*error = " "$work/tmp/tarnwick.log"; then
    echo "Bob's hive was not loaded; log:" >&2
    cat "$work/tmp/tarnwick.log" >&2
    exit 1
fi
echo "memcheck: two runs, $processed hives processed, no errors, no leaks"
