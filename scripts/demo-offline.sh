#!/usr/bin/env bash
# Builds the Linux tarnwick, lays out a sample Windows system drive in a
# temporary folder, sets a value in every profile's hive (the Default
# profile's included) and shows the log and the value read back from each
# hive file with hivexget; then does the same below Software\Classes, which
# goes to the users' classes hives; then imports a registry file of settings
# (a non-ASCII key name and a value too big for one cell among them) into
# every profile and deletes one of its keys again.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The host build, as scripts/test.sh makes it: build/host/tarnwick is the
# tool that the README's examples run.
build="$repo/build/host"

. "$repo/scripts/setup.sh"
tarnwick_install_missing

(cd "$repo" && cmake --preset host -G Ninja >/dev/null)
cmake --build "$build" -j2 --target tarnwick make_sample_volume

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-demo-XXXXXX")"
drive="$work/C"
mkdir -p "$work/tmp"
"$build/make_sample_volume" "$drive"

key='Software\Tarnwick Demo'
name='Greeting'
text="Hello from tarnwick, $(date +%H:%M:%S)"
echo
echo "Running: tarnwick /set /k \"$key\" /vn $name /vstr \"$text\" /dp"
status=0
TMPDIR="$work/tmp" TARNWICK_SYSTEM_DRIVE="$drive" "$build/tarnwick" /set /k "$key" /vn "$name" /vstr "$text" /dp ||
    status=$?
echo "exit code: $status"
echo
echo "---- log ($work/tmp/tarnwick.log, shown in UTF-8; the file itself is ISO 8859-1 with CR LF) ----"
tr -d '\r' <"$work/tmp/tarnwick.log" | iconv -f ISO-8859-1 -t UTF-8
echo
echo "---- value read back from every hive ----"
while IFS= read -r -d '' hive; do
    relative="${hive#"$drive"/}"
    value="$(hivexget "$hive" "$key" "$name" 2>/dev/null || true)"
    printf '%-52s %s\n' "$relative" "${value:-(not set)}"
done < <(find "$drive/Users" "$drive/Windows/System32/config/systemprofile" -type f -iname ntuser.dat -print0 | sort -z)

# The same for a file association: Software\Classes lives in each user's
# classes hive (UsrClass.dat), not in ntuser.dat.
classes='Software\Classes\.tarnwick-demo'
echo
echo "Running: tarnwick /set /k \"$classes\" /vn $name /vstr \"$text\" /dp"
lines_before=$(wc -l <"$work/tmp/tarnwick.log")
classes_status=0
TMPDIR="$work/tmp" TARNWICK_SYSTEM_DRIVE="$drive" "$build/tarnwick" /set /k "$classes" /vn "$name" /vstr "$text" /dp ||
    classes_status=$?
echo "exit code: $classes_status"
[ "$status" -ne 0 ] || status=$classes_status
echo
echo "---- the lines this run added to the log (the Default profile has no classes hive) ----"
tail -n +"$((lines_before + 1))" "$work/tmp/tarnwick.log" | tr -d '\r' | iconv -f ISO-8859-1 -t UTF-8
echo
echo "---- value read back from every classes hive, below its root ----"
while IFS= read -r -d '' hive; do
    relative="${hive#"$drive"/}"
    value="$(hivexget "$hive" '.tarnwick-demo' "$name" 2>/dev/null || true)"
    printf '%-64s %s\n' "$relative" "${value:-(not set)}"
done < <(find "$drive/Users" -type f -iname usrclass.dat -print0 | sort -z)

# A whole settings file, as regedit exports it (UTF-16 with its mark), with a
# key named in German and a value of 20,000 bytes, which Windows keeps as big
# data; then one of its keys deleted again in every profile.
reg="$work/contoso.reg"
{
    printf '\377\376'
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Tarnwick Demo\\M\303\274ller GmbH]\r\n'
        printf '"Server"="app01.contoso.com"\r\n"Port"=dword:00001f90\r\n'
        printf '"Licence"=hex:%s\r\n' "$(head -c 20000 /dev/zero | tr '\0' 'A' | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//; s/,$//')"
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Tarnwick Demo\\Obsolete]\r\n"x"="y"\r\n'
    } | iconv -f UTF-8 -t UTF-16LE
} >"$reg"
# Runs the tool with its arguments and shows the first lines it logged.
run_and_show() {
    echo
    echo "Running: tarnwick $*"
    lines_before=$(wc -l <"$work/tmp/tarnwick.log")
    run_status=0
    TMPDIR="$work/tmp" TARNWICK_SYSTEM_DRIVE="$drive" "$build/tarnwick" "$@" || run_status=$?
    echo "exit code: $run_status"
    [ "$status" -ne 0 ] || status=$run_status
    echo "---- the first lines this run added to the log ----"
    tail -n +"$((lines_before + 1))" "$work/tmp/tarnwick.log" | head -n 12 | tr -d '\r' | iconv -f ISO-8859-1 -t UTF-8
}
run_and_show /import "$reg" /dp
run_and_show /delkey /k 'Software\Tarnwick Demo\Obsolete' /dp
echo
echo "---- what the import left in every hive (hivexget, regfexport; Obsolete deleted again) ----"
while IFS= read -r -d '' hive; do
    relative="${hive#"$drive"/}"
    server="$(hivexget "$hive" 'Software\Tarnwick Demo\Müller GmbH' Server 2>/dev/null || echo '(not set)')"
    obsolete="$(hivexget "$hive" 'Software\Tarnwick Demo\Obsolete' x 2>/dev/null || echo '(gone)')"
    licence="$(regfexport "$hive" 2>/dev/null | grep -A2 '^Value: [0-9]* Licence$' | sed -n 's/^Data size: //p')"
    printf '%-40s Server=%s Licence=%s bytes Obsolete: %s\n' "$relative" "$server" "${licence:-?}" "$obsolete"
done < <(find "$drive/Users" -type f -iname ntuser.dat -print0 | sort -z)
echo
echo "The sample volume stays in $drive"
exit "$status"
