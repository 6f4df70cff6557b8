#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The tree built, tested and packaged on another Debian release (default trixie, Debian 13), in a
# root file system of that release: mmdebstrap from the machine's own Debian mirror (the suite's
# main component) with the release's compiler, libraries, lintian and test peers, for amd64 with
# the armhf libraries beside them (multiarch) and the armhf cross compiler. Each run works through
# chroot in a copy-on-write view of the root (overlayfs: what it changes goes to a folder of its
# own, removed afterwards), in a private mount namespace with /proc, /sys, /dev and a /run of its
# own, and the source tree bound in at its own path (the build folders are the tree's build-SUITE
# and build-SUITE-arm). There:
#  - amd64: the whole tree in Release, as packagers build it, with warnings as errors, and its test
#    suite but for what the machine's own suite already shows and this release cannot change: the
#    soak test, the packages built twice to compare, the packages installed in a private
#    namespace (the system test installs and boots these packages in a system of this release,
#    scripts/test-system.sh);
#  - armhf: the programs cross-built in Release with warnings as errors, without the suite (the
#    machine's ARM suite runs it under emulation; these programs are booted by the system test);
#  - the packages of both, made into build-SUITE/debs and build-SUITE-arm/debs, where the system
#    test finds them, and checked with lintian and hardening-check (scripts/lint-package.sh).
# The root is kept in /var/cache/kovex4-system (or KOVEX4_SYSTEM_CACHE), keyed by the versions of
# the packages named in it, so that a second run downloads nothing.
#   bash scripts/test-release.sh [SUITE]      (run as root)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
SUITE=trixie
[ "${1:-}" = --inside ] || SUITE=${1:-trixie}
START=$EPOCHREALTIME
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }'; }
fail() {
    echo "test-release.sh: $*" >&2
    exit 1
}

# ---- In the root ----

inside() {
    local build=build-$1 arm=build-$1-arm dir
    cd "$SRC"
    # cpack gives the archives' outer members the modes the umask leaves.
    umask 022
    echo "=== $build ($(. /etc/os-release && echo "$PRETTY_NAME"), $(g++ --version | head -n 1)): configure and build"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVEX4_WERROR=ON >/dev/null
    cmake --build "$build"
    echo "=== $build: tests"
    (cd "$build" && ctest --output-on-failure -j2 -LE soak -E '^package_deb')
    echo "=== $arm (arm-linux-gnueabihf): configure and build the programs"
    # The configure step's lines on the time_t of the target's libraries are shown.
    cmake -S . -B "$arm" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
        -DCMAKE_BUILD_TYPE=Release -DKOVEX4_WERROR=ON -DKOVEX4_TESTS=OFF | { grep -F time_t || true; }
    cmake --build "$arm"
    for dir in "$build" "$arm"; do
        echo "=== $dir/debs: the packages"
        rm -rf "$dir/debs"
        (cd "$dir" && cpack -G DEB -B "$PWD/debs" >cpack.log 2>&1) || fail "cpack: $(cat "$dir/cpack.log")"
        rm -rf "$dir/debs/_CPack_Packages"
        for deb in "$dir"/debs/*.deb; do
            echo "${deb##*/}: Depends: $(dpkg-deb -f "$deb" Depends)"
        done
        bash scripts/lint-package.sh "$dir/debs"
    done
}

if [ "${1:-}" = --inside ]; then
    inside "$2"
    exit 0
fi

# ---- On the machine ----

[ "$(id -u)" = 0 ] || fail "run as root (mmdebstrap, chroot)"
# shellcheck source=scripts/deps.sh
. "$SRC/scripts/deps.sh"
# shellcheck source=scripts/namespace.sh
. "$SRC/scripts/namespace.sh"
deps_install mmdebstrap
CACHE=${KOVEX4_SYSTEM_CACHE:-/var/cache/kovex4-system}
MIRROR=$(deps_mirror)
[ -n "$MIRROR" ] || fail "no Debian mirror in the apt sources"

# The root's packages: what the machine's own builds install (scripts/deps.sh), the libraries also
# for armhf, and systemd-dev where the release has it (systemd.pc, the unit's folder; Debian 12
# has it in systemd).
LISTS=$CACHE/lists-$SUITE
deps_suite "$LISTS" "$SUITE" amd64 armhf || fail "no package lists of $SUITE"
PACKAGES=("${KOVEX4_BUILD_DEPS[@]}" "${KOVEX4_PACKAGE_DEPS[@]}" "${KOVEX4_PEER_DEPS[@]}"
    "${KOVEX4_CROSS_DEPS[@]}" "${KOVEX4_LIBRARY_DEPS[@]/%/:armhf}")
if [ "$(deps_versions "$LISTS" systemd-dev)" != "systemd-dev none" ]; then PACKAGES+=(systemd-dev); fi

# make_root DIR: DIR/root, the root file system (buildd: the essential packages, apt and
# build-essential, then the packages named).
make_root() {
    local dir=$1 try
    for try in 1 2 3; do
        # A mirror caught mid-sync fails an index or a package; a later try gets a complete one.
        nice -n 10 mmdebstrap --variant=buildd --architectures=amd64,armhf --include="$(
            IFS=,
            echo "${PACKAGES[*]}"
        )" "$SUITE" "$dir/root" "deb $MIRROR $SUITE main" >"$dir/mmdebstrap.log" 2>&1 && return 0
        [ "$try" = 3 ] || echo "mmdebstrap failed ($(grep -m1 '^E:' "$dir/mmdebstrap.log")), again"
        rm -rf "$dir/root"
    done
    fail "mmdebstrap: $(tail -n 5 "$dir/mmdebstrap.log")"
}

# The cache key: the recipe and the versions of the packages named in the suite's lists.
KEY=$({
    declare -f make_root
    echo "$MIRROR ${PACKAGES[*]}"
    deps_versions "$LISTS" "${PACKAGES[@]}"
} | sha256sum | cut -c1-16)
BASE=$CACHE/$SUITE-root-$KEY
if [ -x "$BASE/root/usr/bin/cmake" ]; then
    echo "=== the cached $SUITE root $BASE"
else
    echo "=== a $SUITE root: mmdebstrap (${PACKAGES[*]})"
    made=$EPOCHREALTIME
    rm -rf "$BASE.new"
    mkdir -p "$BASE.new"
    make_root "$BASE.new"
    for old in "$CACHE/$SUITE-root-"*; do
        [ "$old" = "$BASE.new" ] || rm -rf "$old"
    done
    mv "$BASE.new" "$BASE"
    echo "figure: the $SUITE root made in $(since "$made") s"
fi

WORK=$(ns_workdir release)
# The mounts below live in the namespace of the chroot's shell only: here the view is an empty
# folder (--one-file-system would keep the source tree even if a mount stayed).
trap 'rm -rf --one-file-system "$WORK"' EXIT
mkdir "$WORK/root" "$WORK/upper" "$WORK/work"
# shellcheck disable=SC2016 # expanded by the inner shell
unshare -m --propagation private /bin/bash -e -c '
root=$1/root src=$2
mount -t overlay kovex4-release -o "lowerdir=$4,upperdir=$1/upper,workdir=$1/work" "$root"
mkdir -p "$root$src"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=755 run "$root/run"
mkdir -m 1777 "$root/run/lock"
mount --bind "$src" "$root$src"
exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    /bin/bash "$src/scripts/test-release.sh" --inside "$3"
' test-release "$WORK" "$SRC" "$SUITE" "$BASE/root"
echo "$SUITE: built, tested and packaged in $(since "$START") s"
