#!/bin/sh
# The benchmark, in one command: builds the Linux tool, the volume generator,
# the I/O floor and (for Wine) tarnwick.exe with the fixture, makes offline
# volumes of 10, 100 and 1,000 profiles, measures, prints, and deletes the
# volumes again (BENCH_KEEP=1 keeps them).
#
#   bench/run.sh [extra options of bench/bench.py, e.g. --sizes 10,100 --runs 5]
#
# BENCH_DIR: where the volumes go (default build/bench/volumes; N=1000 needs
# about 3 GB, twice: without and with new-format logs). BENCH_BEFORE: a git
# revision whose tool is built too and measured beside this one (e.g. the
# release before a change). The NTFS figures need root and /dev/fuse. Not
# part of CI.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
tarnwick_install_missing libwin-hivex-perl time

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j2 --target tarnwick make_large_volume
g++ -O2 -std=c++17 -o build/bench/io_floor bench/io_floor.cpp

before_args=""
if [ -n "${BENCH_BEFORE:-}" ]; then
    rm -rf build/bench/before-src
    git worktree add --detach build/bench/before-src "$BENCH_BEFORE" >/dev/null
    cmake -S build/bench/before-src -B build/bench/before -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTARNWICK_TESTS=OFF >/dev/null
    cmake --build build/bench/before -j2 --target tarnwick
    git worktree remove --force build/bench/before-src
    before_args="--tool-before build/bench/before/tarnwick"
fi

wine_args=""
if [ "${BENCH_WINE:-1}" = 1 ]; then
    cmake -S . -B build/bench/win -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/bench/win -j2 --target tarnwick fixture
    wine_args="--exe build/bench/win/tarnwick.exe --fixture build/bench/win/tests/wine/fixture.exe"
fi

dir=${BENCH_DIR:-$PWD/build/bench/volumes}
mkdir -p "$dir"
keep=""
[ "${BENCH_KEEP:-0}" = 1 ] && keep="--keep"
status=0
python3 -B bench/bench.py --tool build/bench/tarnwick --generator build/bench/make_large_volume \
    --floor build/bench/io_floor $wine_args $before_args --dir "$dir" --json build/bench/results.json $keep "$@" || status=$?
[ -z "$keep" ] && rm -rf "$dir"
exit "$status"
