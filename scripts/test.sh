#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, then builds and runs the whole test suite three times: a normal build
# (which also makes the Debian packages, checks them with lintian and installs them in a private
# namespace), an AddressSanitizer + UndefinedBehaviorSanitizer build, and a 32-bit ARM cross build
# run under emulation (scripts/test-arm.sh; it checks the armhf packages with lintian). The amd64
# and the armhf packages are then each installed in a Debian system booted with systemd under
# QEMU (scripts/test-system.sh). Every build
# checks the manual pages with groff and treats compiler warnings as errors, and the whole tree is
# also compiled as packagers build it (Release). Run as root on Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
    echo "test.sh: run as root: the end-to-end and package tests start the daemon in private" >&2
    echo "namespaces and install the package there; without root they cannot run." >&2
    exit 1
fi
. scripts/deps.sh
deps_install "${KOVEX4_BUILD_DEPS[@]}" "${KOVEX4_PACKAGE_DEPS[@]}" "${KOVEX4_PEER_DEPS[@]}"

run_suite() {
    local dir=$1
    shift
    echo "=== $dir: configure and build"
    cmake -S . -B "$dir" -G Ninja -DKOVEX4_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
    echo "=== $dir: tests"
    (cd "$dir" && ctest --output-on-failure -j2 -LE soak)
    if [ "$dir" = build ]; then
        # Reliability of the native build: fuzz targets, the daemon under valgrind, and the soak
        # test with its figures shown.
        bash scripts/fuzz.sh 20
        bash scripts/memcheck.sh "$dir"
        (cd "$dir" && ctest -L soak -V)
    fi
}

echo "=== build-release: the whole tree as packagers build it (compile only)"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVEX4_WERROR=ON >/dev/null
cmake --build build-release
run_suite build
bash scripts/test-system.sh build
run_suite build-asan -DKOVEX4_SANITIZE=ON
KOVEX4_ARM_CMAKE_ARGS=-DKOVEX4_WERROR=ON bash scripts/test-arm.sh
bash scripts/test-system.sh "${KOVEX4_ARM_BUILD:-build-arm}"
