#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Footprint report of the kovex4 daemon: builds it as released (Release, stripped) for amd64 and
# for the target, 32-bit ARM (arm-linux-gnueabihf), and prints
#   - the stripped size of both kovex4 binaries,
#   - their shared-library dependencies (ELF NEEDED entries) and which of libc, libstdc++,
#     libgcc_s and libm they are,
#   - the resident memory (VmRSS, VmHWM from /proc) of the running amd64 daemon after it served a
#     Modbus client's reads and writes (the daemon in a private mount namespace against the
#     simulator on a pseudo-terminal, as scripts/demo.sh runs it; nothing on the machine changes).
# The programs link the C++ runtime statically (-static-libstdc++ -static-libgcc); for comparison
# the same figures are given for a build with the shared C++ runtime (KOVEX4_STATIC_RUNTIME=OFF). The daemon under emulation says nothing about the target's
# memory, so resident memory is measured on amd64 only.
# Run as root on Debian. KOVEX4_FOOTPRINT_BUILD names the build folders' prefix (default
# build-release: build-release, build-release-arm, build-release-shared, build-release-arm-shared).
set -euo pipefail
cd "$(dirname "$0")/.."
PREFIX=${KOVEX4_FOOTPRINT_BUILD:-build-release}
PY=/usr/bin/python3

fail() {
    echo "footprint.sh: $*" >&2
    exit 1
}
[ "$(id -u)" = 0 ] || fail "run as root (the daemon is started in a private mount namespace)"

# shellcheck source=scripts/deps.sh
. scripts/deps.sh
deps_install "${KOVEX4_BUILD_DEPS[@]}" g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf \
    binutils python3-pymodbus util-linux

# build FOLDER [cmake options...]: a Release build of the daemon and the simulator, no tests.
build() {
    local dir=$1
    shift
    echo "=== $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVEX4_TESTS=OFF "$@" >/dev/null
    cmake --build "$dir" --target kovex4 kovex4-devsim | tail -n 1
}
ARM=(-DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake)
build "$PREFIX"
build "$PREFIX-arm" "${ARM[@]}"
build "$PREFIX-shared" -DKOVEX4_STATIC_RUNTIME=OFF
build "$PREFIX-arm-shared" "${ARM[@]}" -DKOVEX4_STATIC_RUNTIME=OFF

# shellcheck source=scripts/namespace.sh
. scripts/namespace.sh
WORK=$(ns_workdir footprint)
SIM_PID=
DAEMON_PID=
cleanup() {
    ns_stop "$DAEMON_PID" "$SIM_PID"
    rm -rf "$WORK"
}
trap cleanup EXIT

# stripped_size BINARY STRIP_TOOL: size in bytes of a stripped copy.
stripped_size() {
    "$2" -o "$WORK/stripped" "$1"
    stat -c %s "$WORK/stripped"
}
# needed BINARY: the NEEDED entries, space separated.
needed() {
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '
}
# runtime_of BINARY: which of libc, libstdc++, libgcc_s, libm the binary needs.
runtime_of() {
    local libs lib out=
    libs=$(needed "$1")
    for lib in libc libstdc++ libgcc_s libm; do
        if [[ " $libs" == *" $lib.so"* ]]; then out+="$lib "; fi
    done
    echo "${out:-none}"
}

# rss BINARY: sets RSS to "VmRSS/VmHWM" (kB) of the daemon after a Modbus client read and wrote
# through it.
rss() {
    local binary=$1 port pts owner=''
    rm -rf "${WORK:?}/run" && mkdir -p "$WORK/run/etc" "$WORK/run/lock" "$WORK/run/dev"
    mapfile -t sim_args < <($PY scripts/demo_client.py devsim-args)
    "$PREFIX/tools/devsim/kovex4-devsim" "${sim_args[@]}" >"$WORK/run/devsim.out" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 50); do
        grep -q "device on " "$WORK/run/devsim.out" && break
        sleep 0.1
    done
    pts=$(sed -n 's/^kovex4-devsim: device on //p' "$WORK/run/devsim.out")
    [ -n "$pts" ] || fail "kovex4-devsim: $(cat "$WORK/run/devsim.out")"
    port=$($PY -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf 'MOD_KOVEX4_DEVICE=ttyFP0\nMOD_KOVEX4_BAUDRATE=9600\nMOD_KOVEX4_PORT=%s\nMOD_KOVEX4_STATION=1\n' \
        "$port" >"$WORK/run/etc/settings"
    cp "$binary" "$WORK/run/kovex4"
    # The daemon's own /opt/kovex4/etc, /var/lock and /dev (scripts/namespace.sh) with the
    # simulator's pty as ttyFP0; no /dev/log, so its log lines go nowhere. The daemon takes the
    # background job's pid.
    ns_run_daemon "$WORK/run" "$WORK/run/kovex4" ttyFP0 "$pts" >"$WORK/run/daemon.out" 2>&1 &
    DAEMON_PID=$!
    for _ in $(seq 100); do
        kill -0 "$DAEMON_PID" 2>/dev/null || fail "kovex4 ended: $(cat "$WORK/run/daemon.out")"
        # Named after the pty that ttyFP0 links to.
        [ -s "$WORK/run/lock/LCK..${pts##*/}" ] && read -r owner <"$WORK/run/lock/LCK..${pts##*/}"
        [ "$owner" = "$DAEMON_PID" ] && break
        sleep 0.1
    done
    [ "$owner" = "$DAEMON_PID" ] || fail "kovex4 did not take the lock of its device"
    # The demo's reads and writes: items, bits, the block and function 16 of every kind.
    $PY scripts/demo_client.py run "$port" >"$WORK/run/client.out" 2>&1 ||
        fail "Modbus client: $(cat "$WORK/run/client.out")"
    RSS=$(awk '/^VmRSS:/ {rss = $2} /^VmHWM:/ {hwm = $2} END {print rss "/" hwm}' \
        "/proc/$DAEMON_PID/status")
    kill "$DAEMON_PID" "$SIM_PID"
    wait "$DAEMON_PID" "$SIM_PID" 2>/dev/null || true
    DAEMON_PID=
    SIM_PID=
}

report() {
    local label=$1 binary=$2 strip=$3 memory=${4:-}
    printf '%-30s %9s  %-24s %s\n' "$label" "$(stripped_size "$binary" "$strip")" \
        "$(runtime_of "$binary")" "$memory"
}

rss "$PREFIX/src/service/kovex4"
AMD64_RSS=$RSS
rss "$PREFIX-shared/src/service/kovex4"
SHARED_RSS=$RSS

echo
echo "=== kovex4 footprint (Release; sizes of stripped binaries)"
printf '%-30s %9s  %-24s %s\n' "binary" "bytes" "runtime libraries" "VmRSS/VmHWM kB (amd64)"
report "amd64" "$PREFIX/src/service/kovex4" strip "$AMD64_RSS"
report "armhf" "$PREFIX-arm/src/service/kovex4" arm-linux-gnueabihf-strip
report "amd64, shared C++ runtime" "$PREFIX-shared/src/service/kovex4" strip "$SHARED_RSS"
report "armhf, shared C++ runtime" "$PREFIX-arm-shared/src/service/kovex4" \
    arm-linux-gnueabihf-strip
echo
echo "NEEDED entries:"
for build in "$PREFIX" "$PREFIX-arm" "$PREFIX-shared" "$PREFIX-arm-shared"; do
    printf '  %-30s %s\n' "$build/src/service/kovex4" "$(needed "$build/src/service/kovex4")"
done
