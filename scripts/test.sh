#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, then builds and runs the whole test suite, on this machine's release
# (Debian 12) and on Debian 13, and boots the Debian 13 packages:
#  - Debian 12, here: a normal build (which also makes the Debian packages, checks them with
#    lintian, builds them twice to compare and installs them in a private namespace; then the fuzz
#    targets, the daemon under valgrind and the soak test), an AddressSanitizer +
#    UndefinedBehaviorSanitizer build, and a 32-bit ARM cross build run under emulation
#    (scripts/test-arm.sh; it checks the armhf packages with lintian).
#  - Debian 13, in a root of it (scripts/test-release.sh): the whole tree in Release, as packagers
#    build it, with its suite (but for the soak test and the package tests above), the armhf
#    programs, and the amd64 and armhf packages, checked with lintian and hardening-check.
#  - Those packages installed in a Debian 13 system booted with systemd under QEMU
#    (scripts/test-system.sh), amd64 and armhf, and the armhf one booted again with its clock in
#    2039, past the end of a 32-bit time_t.
# The Debian 13 work runs beside the Debian 12 work, its output kept in build-trixie/test.log and
# shown once both are done: most of it waits on the mirror or runs one emulated processor, so the
# two together keep both cores busy. Its two boots run beside each other too.
# Every build checks the manual pages with groff and treats compiler warnings as errors. The time
# each step took is printed at the end, with the machine's load. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
    echo "test.sh: run as root: the end-to-end and package tests start the daemon in private" >&2
    echo "namespaces and install the package there; without root they cannot run." >&2
    exit 1
fi
START=$EPOCHREALTIME
TIMES=$(mktemp "${TMPDIR:-/tmp}/kovex4-times.XXXXXX")
LANE_LOG=build-trixie/test.log LANE_PID=''
# step NAME COMMAND...: runs COMMAND and notes how long it took, and the machine's load average
# over the last minute as it ended.
step() {
    local name=$1 began=$EPOCHREALTIME status=0
    shift
    "$@" || status=$?
    awk -v a="$began" -v b="$EPOCHREALTIME" -v n="$name" -v l="$(cut -d' ' -f1 /proc/loadavg)" \
        -v s="$status" 'BEGIN { printf "%6.1f min  %s (load %s)%s\n", (b - a) / 60, n, l,
                                       s == 0 ? "" : ", FAILED" }' >>"$TIMES"
    return "$status"
}
# finish: waits for the Debian 13 work, shows its output and the time of every step.
finish() {
    local status=$? lane=0
    if [ -n "$LANE_PID" ]; then
        [ "$status" = 0 ] || echo "=== waiting for the Debian 13 work ($LANE_LOG)"
        wait "$LANE_PID" || lane=$?
        echo "=== Debian 13 (beside the above)"
        cat "$LANE_LOG"
    fi
    echo "=== time per step"
    cat "$TIMES"
    awk -v a="$START" -v b="$EPOCHREALTIME" 'BEGIN { printf "%6.1f min  the whole test command\n", (b - a) / 60 }'
    rm -f "$TIMES"
    [ "$status" = 0 ] && [ "$lane" = 0 ] || exit 1
}
trap finish EXIT

. scripts/deps.sh
# Everything either side needs, installed before they start (two apt-gets at once would wait on
# each other's lock): the builds, packages and peers, the ARM cross build with its armhf libraries
# and emulator, valgrind, the fuzz targets' clang, and the Debian 13 roots' and boots' tools.
dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
step "packages installed" deps_install "${KOVEX4_BUILD_DEPS[@]}" "${KOVEX4_PACKAGE_DEPS[@]}" \
    "${KOVEX4_PEER_DEPS[@]}" "${KOVEX4_CROSS_DEPS[@]}" "${KOVEX4_LIBRARY_DEPS[@]/%/:armhf}" \
    "${KOVEX4_SYSTEM_DEPS[@]}" googletest valgrind clang libclang-rt-14-dev

# debian13: the root and its builds, then both boots at once (the armhf one twice), each boot's
# output shown whole after the other's.
debian13() {
    step "Debian 13: root, builds, suite, packages" bash scripts/test-release.sh trixie || return
    local amd64=0
    bash scripts/test-system.sh --suite trixie build-trixie/debs >build-trixie/system.log 2>&1 &
    local pid=$!
    step "Debian 13: system test armhf, then at 2039 (beside amd64)" bash scripts/test-system.sh \
        --suite trixie --later 2039-03-01 build-trixie-arm/debs || amd64=1
    step "Debian 13: system test amd64 (its end)" wait "$pid" || amd64=1
    cat build-trixie/system.log
    return "$amd64"
}
mkdir -p build-trixie
debian13 >"$LANE_LOG" 2>&1 &
LANE_PID=$!

run_suite() {
    local dir=$1
    shift
    echo "=== $dir: configure and build"
    cmake -S . -B "$dir" -G Ninja -DKOVEX4_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
    echo "=== $dir: tests"
    (cd "$dir" && ctest --output-on-failure -j2 -LE soak)
}

step "Debian 12: build, suite, packages" run_suite build
# Reliability of the native build: fuzz targets, the daemon under valgrind, and the soak test with
# its figures shown.
step "Debian 12: fuzz targets" bash scripts/fuzz.sh 20
step "Debian 12: valgrind" bash scripts/memcheck.sh build
step "Debian 12: soak" bash -c 'cd build && ctest -L soak -V'
step "Debian 12: ASan+UBSan build and suite" run_suite build-asan -DKOVEX4_SANITIZE=ON
step "Debian 12: ARM build and suite (qemu-arm)" env KOVEX4_ARM_CMAKE_ARGS=-DKOVEX4_WERROR=ON \
    bash scripts/test-arm.sh
