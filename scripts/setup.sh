#!/bin/sh
# Installs the Debian 12 packages that building, testing and the demos need,
# when they are missing. Sourced by the other scripts.
tarnwick_packages="cmake ninja-build g++ pkg-config libgtest-dev googletest python3 \
g++-mingw-w64-x86-64-posix wine wine64 \
libhivex-dev libhivex-bin libregf-utils ntfs-3g fuse3 attr dpkg-dev \
clang libclang-rt-14-dev valgrind strace tzdata lintian man-db"

tarnwick_install_missing() {
    missing=""
    for p in $tarnwick_packages "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing >/dev/null || return 1
}
