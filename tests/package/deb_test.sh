#!/bin/sh
# Builds the Debian package from this build with cpack, unpacks it into a
# scratch root with dpkg -x and runs the packaged tool's --version there.
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
echo "$depends" | grep -Eq '(^|, )libhivex0( |,|$)' || fail "the package does not depend on libhivex0"

dpkg -x "$deb" "$work/root"
tool="$work/root/usr/bin/tarnwick"
[ -x "$tool" ] || fail "no /usr/bin/tarnwick in the package: $(dpkg-deb -c "$deb")"
# The shipped binary carries no symbol table (its debug information stays in the build).
if readelf -S "$tool" | grep -q '\.symtab'; then
    fail "/usr/bin/tarnwick is not stripped"
fi
for doc in copyright README.md THIRD-PARTY-NOTICES.txt; do
    [ -s "$work/root/usr/share/doc/tarnwick/$doc" ] || fail "no /usr/share/doc/tarnwick/$doc"
done
said=$("$tool" --version)
[ "$said" = "tarnwick $version" ] || fail "the packaged tool says '$said' for --version"
echo "$(basename "$deb"): /usr/bin/tarnwick --version says '$said'"
