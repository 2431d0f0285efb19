#!/bin/sh
# Runs one Windows program under Wine in a throw-away prefix, so that tests
# never touch (or depend on) the user's own ~/.wine.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-wine.XXXXXX") || exit 1
export WINEPREFIX="$prefix" WINEDEBUG=-all,err+all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k >/dev/null 2>&1
    rm -rf "$prefix"
}
trap cleanup EXIT
# Without address-space randomisation: Wine 8 cannot start when the kernel
# happens to put the heap over the page it maps at 0x7ffe0000 (see
# tests/wine/e2e.py).
setarch -R wineboot -i >/dev/null 2>&1
setarch -R wine "$@"
rc=$?
wineserver -w
exit $rc
