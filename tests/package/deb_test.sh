#!/bin/sh
# Builds the Debian package from this build with cpack, unpacks it into a
# scratch root with dpkg -x and runs the packaged tool's --version there;
# renders its manual page with man -l, and has lintian check the package
# (no errors; its warnings are printed).
#   deb_test.sh BUILD_DIR VERSION
set -eu
build=$1
version=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "FAILED: $*"; exit 1; }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack could not make the package"
fi
deb="$work/out/tarnwick_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/out")"

package=$(dpkg-deb -f "$deb" Package)
[ "$package" = tarnwick ] || fail "package name '$package'"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version '$(dpkg-deb -f "$deb" Version)'"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The tool edits hives with its own engine: hivex is no longer needed.
if echo "$depends" | grep -Eq 'hivex'; then
    fail "the package depends on hivex"
fi
echo "$depends" | grep -Eq '(^|, )libc6( |,|$)' || fail "the package does not depend on libc6"

dpkg -x "$deb" "$work/root"
tool="$work/root/usr/bin/tarnwick"
[ -x "$tool" ] || fail "no /usr/bin/tarnwick in the package: $(dpkg-deb -c "$deb")"
# The shipped binary carries no symbol table (its debug information stays in the build).
if readelf -S "$tool" | grep -q '\.symtab'; then
    fail "/usr/bin/tarnwick is not stripped"
fi
doc="$work/root/usr/share/doc/tarnwick"
for file in copyright changelog.gz README.md THIRD-PARTY-NOTICES.txt; do
    [ -s "$doc/$file" ] || fail "no /usr/share/doc/tarnwick/$file"
done
said=$("$tool" --version)
[ "$said" = "tarnwick $version" ] || fail "the packaged tool says '$said' for --version"
echo "$(basename "$deb"): /usr/bin/tarnwick --version says '$said'"

# The changelog's latest entry is this version: a release without an entry
# of its own is caught here.
latest=$(gzip -dc "$doc/changelog.gz" | sed -n '1s/^tarnwick (\([^)]*\)).*/\1/p')
[ "$latest" = "$version" ] || fail "the changelog's latest entry is for '$latest', not $version"
head -n 1 "$doc/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "/usr/share/doc/tarnwick/copyright is not in the machine-readable format"

# The manual page renders without a warning, and names every switch and
# variable of the tool's --help.
page="$work/root/usr/share/man/man1/tarnwick.1.gz"
[ -s "$page" ] || fail "no /usr/share/man/man1/tarnwick.1.gz: $(dpkg-deb -c "$deb")"
command -v man >/dev/null || fail "no man to render the page (apt-get install man-db)"
MANWIDTH=80 man --warnings -l "$page" >"$work/page.txt" 2>"$work/page.err" || fail "man -l failed: $(cat "$work/page.err")"
[ ! -s "$work/page.err" ] || fail "man -l warns: $(cat "$work/page.err")"
grep -q '^NAME' "$work/page.txt" && grep -q 'tarnwick  *- ' "$work/page.txt" || fail "the page has no NAME line: $(cat "$work/page.txt")"
"$tool" --help | sed -n 's/^  \([^ ][^ ]*\).*/\1/p' >"$work/terms"
[ -s "$work/terms" ] || fail "no switches in --help"
while read -r term; do
    grep -qF -- "$term" "$work/page.txt" || fail "the page does not name $term"
done <"$work/terms"
echo "man -l renders tarnwick(1): $(wc -l <"$work/page.txt") lines, $(wc -l <"$work/terms") switches and variables"

command -v lintian >/dev/null || fail "no lintian to check the package (apt-get install lintian)"
# lintian warns when run as root; that line is not about the package. It
# leaves files in TMPDIR, which the scratch folder takes away.
if ! TMPDIR="$work" lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1; then
    cat "$work/lintian.txt"
    fail "lintian reports errors"
fi
grep -v 'running with root privileges' "$work/lintian.txt" || true
echo "lintian: no errors"
