#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the daemon, the tools and the whole test suite for the target, 32-bit ARM Linux
# (arm-linux-gnueabihf, 64-bit time_t and file offsets), and runs the suite under user-mode
# emulation (qemu-arm with the cross libraries): CTest starts every test program through the
# emulator, and the end-to-end tests start the ARM daemon, simulator and push receiver through it
# too, inside their private mount namespaces. The suite also makes the armhf Debian packages and
# checks them with lintian. Run as root on Debian; called by scripts/test.sh.
# KOVEX4_ARM_BUILD chooses the build folder (default build-arm); KOVEX4_ARM_CMAKE_ARGS adds
# configure options (scripts/test.sh turns warnings into errors).
#
# Every test runs, including the two PushEndToEnd tests that wait for the daemon's first push a
# minute after its start: with two tests at a time they overlap the rest of the suite, which
# keeps the whole ARM run at about three minutes (build included) on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${KOVEX4_ARM_BUILD:-build-arm}

# shellcheck source=scripts/deps.sh
. scripts/deps.sh
# The target's libraries (KOVEX4_LIBRARY_DEPS) come from Debian's armhf packages, installed side
# by side with the machine's own (multiarch): the cross linker and the emulator find them in
# /usr/lib/arm-linux-gnueabihf, and dpkg-shlibdeps finds the armhf packages' dependencies in
# their symbols files. The configure step says which time_t each library has (cmake/time-bits.cmake).
# While they are missing, deps_install fetches the indexes, the new architecture's among them.
dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
# The cross compiler, the emulator, GoogleTest's sources (built with the cross compiler), the
# end-to-end tests' third-party peers, groff for the manual pages, lintian and hardening-check
# (devscripts) for the packages, the libraries' headers and their armhf builds, and openssl for the
# TLS tests' certificates.
deps_install "${KOVEX4_BUILD_DEPS[@]}" "${KOVEX4_CROSS_DEPS[@]}" "${KOVEX4_PEER_DEPS[@]}" \
    "${KOVEX4_LIBRARY_DEPS[@]/%/:armhf}" qemu-user-static googletest util-linux lintian devscripts

echo "=== $BUILD (arm-linux-gnueabihf, tests under qemu-arm): configure and build"
# The configure step's lines on the time_t of the target's libraries are shown.
# shellcheck disable=SC2086 # KOVEX4_ARM_CMAKE_ARGS holds further options, word by word
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
    ${KOVEX4_ARM_CMAKE_ARGS:-} | { grep -F time_t || true; }
cmake --build "$BUILD"
echo "=== $BUILD: tests"
(cd "$BUILD" && ctest --output-on-failure -j2)
