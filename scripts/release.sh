#!/bin/sh
# Makes the release artefacts from fresh Release builds of both tools:
#   dist/tarnwick-<version>-windows-x64.zip  the stripped tarnwick.exe, README,
#                                            LICENSE and the third-party notices
#   dist/tarnwick_<version>_amd64.deb        the Linux tool (/usr/bin/tarnwick)
#   dist/SHA256SUMS                          their SHA-256 sums
# The version is the one in CMakeLists.txt (project(tarnwick VERSION ...)).
#   TARNWICK_DIST  where the artefacts go (default dist)
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
tarnwick_install_missing

jobs=${TARNWICK_JOBS:-2}
dist=${TARNWICK_DIST:-dist}
builds=build/release
rm -rf "$builds"
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

echo "== tarnwick.exe (mingw-w64, Release)"
cmake -S . -B "$builds/windows" --toolchain "$PWD/cmake/mingw-w64-x86_64.cmake" -G Ninja \
      -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$builds/windows" -j "$jobs" --target tarnwick
echo "== the Linux tool (Release)"
cmake -S . -B "$builds/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$builds/linux" -j "$jobs" --target tarnwick tarnwick_package_docs

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$builds/linux/CMakeCache.txt")
zip="tarnwick-$version-windows-x64.zip"
deb="tarnwick_${version}_$(dpkg --print-architecture).deb"
rm -f "$dist/$zip" "$dist/$deb" "$dist/SHA256SUMS"

echo "== packages"
(cd "$builds/windows" && cpack -G ZIP -B "$PWD/packages" >/dev/null)
(cd "$builds/linux" && cpack -G DEB -B "$PWD/packages" >/dev/null)
cp "$builds/windows/packages/$zip" "$builds/linux/packages/$deb" "$dist/"

echo "== checks"
check=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-release.XXXXXX")
trap 'rm -rf "$check"' EXIT
python3 -m zipfile -e "$dist/$zip" "$check/zip"
exe="$check/zip/tarnwick-$version-windows-x64/tarnwick.exe"
for f in tarnwick.exe README.md LICENSE THIRD-PARTY-NOTICES.txt; do
    [ -s "$check/zip/tarnwick-$version-windows-x64/$f" ] || { echo "the zip lacks $f" >&2; exit 1; }
done
if x86_64-w64-mingw32-objdump -t "$exe" | grep -q '\.text'; then
    echo "tarnwick.exe in the zip still has its symbol table" >&2
    exit 1
fi
python3 -B tests/wine/pe_check.py --exe "$exe" --objdump x86_64-w64-mingw32-objdump --version "$version"
dpkg -x "$dist/$deb" "$check/deb"
[ "$("$check/deb/usr/bin/tarnwick" --version)" = "tarnwick $version" ] || { echo "the packaged tool's --version" >&2; exit 1; }
echo "$deb: Depends: $(dpkg-deb -f "$dist/$deb" Depends)"

(cd "$dist" && sha256sum "$zip" "$deb" >SHA256SUMS)
echo "== release $version in $dist"
(cd "$dist" && ls -l "$zip" "$deb" SHA256SUMS && cat SHA256SUMS)
