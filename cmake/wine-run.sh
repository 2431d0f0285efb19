#!/bin/sh
# Runs one Windows program under Wine in a throw-away prefix, so that tests
# never touch (or depend on) the user's own ~/.wine.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-wine.XXXXXX") || exit 1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k >/dev/null 2>&1
    rm -rf "$prefix"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1
wine "$@"
rc=$?
wineserver -w
exit $rc
