#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three times: a normal build
# (which also makes the Debian packages, checks them with lintian and installs them in a private
# namespace), an AddressSanitizer + UndefinedBehaviorSanitizer build, and a 32-bit ARM cross build
# run under emulation (scripts/test-arm.sh; it checks the armhf packages with lintian). Every build
# checks the manual pages with groff. Run as root on Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
deps_install "${KOVEX4_BUILD_DEPS[@]}" "${KOVEX4_PACKAGE_DEPS[@]}" python3-pymodbus mbpoll

run_suite() {
    local dir=$1
    shift
    echo "=== $dir: configure and build"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
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

run_suite build
run_suite build-asan -DKOVEX4_SANITIZE=ON
bash scripts/test-arm.sh
