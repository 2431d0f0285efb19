#!/bin/sh
# Demo of tarnwick.exe under Wine: a throw-away prefix whose own user is logged on
# (hive mounted) plus one logged-off user (profile list entry and a saved hive
# file); one run sets a value in both and in the Default profile request.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/wine-demo"
KEY='Software\tarnwick-demo'
NAME='Greeting'
TEXT='hello from tarnwick'
OWN_SID='S-1-5-21-0-0-0-1000'
OFF_SID='S-1-5-21-1111-2222-3333-1001'

. "$ROOT/scripts/setup.sh"
tarnwick_install_missing

echo "== building tarnwick.exe and the registry fixture"
cmake -S "$ROOT" -B "$BUILD" --toolchain "$ROOT/cmake/mingw-w64-x86_64.cmake" -G Ninja \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target tarnwick fixture
EXE="$BUILD/tarnwick.exe"
FIXTURE="$BUILD/tests/wine/fixture.exe"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-demo-XXXXXX")
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
# Files rather than a terminal pipe: Wine's background services keep pipes open.
fixture() { wine "$FIXTURE" "$@" >"$WORK/out" 2>/dev/null; status=$?; cat "$WORK/out"; return $status; }

echo "== making a fresh Wine prefix (takes a little while)"
wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1

echo "== a logged-off user: profile list entry and a hive file saved by Wine"
mkdir -p "$WINEPREFIX/drive_c/users/alice"
fixture makehive 'C:\users\alice\ntuser.dat' 'Software\Existing' 'Note' 'alice was here'
fixture addprofile "$OFF_SID" '%SystemDrive%\users\alice' expand
echo "profile list:"; fixture listprofiles | sed 's/^/  /'
echo "HKEY_USERS before:"; fixture listhku | sed 's/^/  /'

echo "== the logged-on user's value before the run"
fixture get "$OWN_SID" "$KEY" "$NAME" || true

printf '%s\n' "== wine tarnwick.exe /set /k $KEY /vn $NAME /vstr \"$TEXT\" /dp"
set +e
wine "$EXE" /set /k "$KEY" /vn "$NAME" /vstr "$TEXT" /dp </dev/null >/dev/null 2>&1
code=$?
set -e

TEMP_WIN=$(fixture tempdir | tr -d '\r')
LOG="$WINEPREFIX/drive_c/$(printf '%s' "${TEMP_WIN#?:\\}" | tr '\\' '/')tarnwick.log"
echo "== the log ($LOG), shown as Latin-1"
iconv -f ISO-8859-1 -t UTF-8 "$LOG" | tr -d '\r'

echo "== the logged-on user's value after the run"
fixture get "$OWN_SID" "$KEY" "$NAME" || true
echo "HKEY_USERS after (the logged-off user's hive is unloaded again):"; fixture listhku | sed 's/^/  /'
echo "== exit code: $code"
