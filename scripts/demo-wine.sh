#!/bin/sh
# Demo of tarnwick.exe under Wine: a throw-away prefix whose own user is logged on
# (hive mounted), a logged-off user whose hive file the tool loads and unloads,
# a logged-off user whose hive another process keeps loaded (as a service may),
# and a Default profile; one run sets a value in all of them.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/wine-demo"
KEY='Software\tarnwick-demo'
NAME='Greeting'
TEXT='hello from tarnwick'
OWN_SID='S-1-5-21-0-0-0-1000'
OFF_SID='S-1-5-21-1111-2222-3333-1001'
HELD_SID='S-1-5-21-1111-2222-3333-1002'

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
# setarch -R: Wine 8 fails to start, now and then, where the kernel randomises
# the heap over an address it needs (see tests/wine/e2e.py).
fixture() { setarch -R wine "$FIXTURE" "$@" >"$WORK/out" 2>/dev/null; status=$?; cat "$WORK/out"; return $status; }
value() { if v=$(fixture get "$1" "$KEY" "$NAME"); then printf '%s\n' "$v"; else echo "(not set)"; fi; }

echo "== making a fresh Wine prefix (takes a little while)"
setarch -R wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1

echo "== a logged-off user: profile list entry and a hive file saved by Wine"
mkdir -p "$WINEPREFIX/drive_c/users/alice"
fixture makehive 'C:\users\alice\ntuser.dat' 'Software\Existing' 'Note' 'alice was here'
fixture addprofile "$OFF_SID" '%SystemDrive%\users\alice' expand

echo "== a logged-off user whose hive another process keeps loaded (here: this demo)"
mkdir -p "$WINEPREFIX/drive_c/users/bob"
fixture makehive 'C:\users\bob\ntuser.dat' 'Software\Existing' 'Note' 'bob was here'
fixture addprofile "$HELD_SID" '%SystemDrive%\users\bob' expand
fixture load "$HELD_SID" 'C:\users\bob\ntuser.dat'

echo "== the Default profile that new users are made from"
mkdir -p "$WINEPREFIX/drive_c/users/Default"
fixture makehive 'C:\users\Default\ntuser.dat' 'Software\Existing' 'Note' 'template'
fixture setdefault '%SystemDrive%\users\Default' expand
echo "profile list:"; fixture listprofiles | sed 's/^/  /'
echo "HKEY_USERS before:"; fixture listhku | sed 's/^/  /'

echo "== values before the run"
printf 'logged-on user:  '; value "$OWN_SID"
printf 'bob (held hive): '; value "$HELD_SID"

printf '%s\n' "== wine tarnwick.exe /set /k $KEY /vn $NAME /vstr \"$TEXT\" /dp"
set +e
setarch -R wine "$EXE" /set /k "$KEY" /vn "$NAME" /vstr "$TEXT" /dp </dev/null >/dev/null 2>&1
code=$?
set -e

TEMP_WIN=$(fixture tempdir | tr -d '\r')
LOG="$WINEPREFIX/drive_c/$(printf '%s' "${TEMP_WIN#?:\\}" | tr '\\' '/')tarnwick.log"
echo "== the log ($LOG), shown as Latin-1"
iconv -f ISO-8859-1 -t UTF-8 "$LOG" | tr -d '\r'

echo "== values after the run"
printf 'logged-on user:  '; value "$OWN_SID"
# Read from the hive this demo keeps loaded, as the end-to-end tests do: Wine
# does not write a hive that was loaded and unloaded again back to its file
# (Windows does), so alice's and the Default profile's changes, made in their
# loaded hives (see the log), cannot be read back from their files here.
printf 'bob (held hive): '; value "$HELD_SID"
echo "HKEY_USERS after (alice's and the Default profile's hives are unloaded again):"
fixture listhku | sed 's/^/  /'
echo "== exit code: $code"
