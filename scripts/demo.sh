#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The first thing to run: builds the gateway, the field-device simulator and the commissioning
# probe, starts the simulator on a pseudo-terminal, checks the settings and the line with
# kovex4-probe, starts the unchanged kovex4 daemon in front of the simulator, reads and writes
# registers with a real Modbus TCP client (pymodbus), asks the daemon for its counters and shows
# its syslog lines.
# Run as root on Debian. Nothing on the machine is changed: the daemon runs in a private mount
# namespace where /opt/kovex4/etc, /var/lock and /dev are temporary folders of the demo.
# KOVEX4_DEMO_PORT chooses the Modbus TCP port (default 1502), KOVEX4_DEMO_BUILD the build folder
# (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=/usr/bin/python3
BUILD=${KOVEX4_DEMO_BUILD:-build}

fail() {
    echo "demo.sh: $*" >&2
    exit 1
}
step() { printf '\n=== %s\n' "$*"; }
# Polls a condition (a command) every 0.1 s for at most $1 seconds.
wait_for() {
    local tenths=$(($1 * 10))
    shift
    while ! "$@"; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

[ "$(id -u)" = 0 ] || fail "run as root (the daemon is started in a private mount namespace)"

step "installing what is missing"
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
deps_install "${KOVEX4_BUILD_DEPS[@]}" python3-pymodbus util-linux

step "building kovex4, kovex4-devsim and kovex4-probe"
cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" --target kovex4 kovex4-devsim kovex4-probe

# shellcheck source=scripts/namespace.sh
. scripts/namespace.sh
WORK=$(ns_workdir demo)
SIM_PID=
DAEMON_PID=
cleanup() {
    ns_stop "$DAEMON_PID" "$SIM_PID" "${NS_SYSLOG_PID:-}"
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir "$WORK/etc" "$WORK/lock" "$WORK/dev" "$WORK/probe-dev"

# The daemon's syslog lines arrive on a datagram socket that becomes its /dev/log; they are
# written to a file as "facility.level tag[pid]: message".
ns_syslog_start "$WORK/log.sock" "$WORK/syslog" || fail "the syslog reader did not start"

step "starting the simulated field device"
mapfile -t SIM_ARGS < <($PY scripts/demo_client.py devsim-args)
[ "${#SIM_ARGS[@]}" -gt 0 ] || fail "scripts/demo_client.py devsim-args gave nothing"
echo "kovex4-devsim ${SIM_ARGS[*]}"
"$BUILD/tools/devsim/kovex4-devsim" "${SIM_ARGS[@]}" >"$WORK/devsim.out" 2>&1 &
SIM_PID=$!
wait_for 5 grep -q "device on " "$WORK/devsim.out" || fail "kovex4-devsim: $(cat "$WORK/devsim.out")"
PTS=$(sed -n 's/^kovex4-devsim: device on //p' "$WORK/devsim.out")
cat "$WORK/devsim.out"

# The daemon listens on 0.0.0.0; take the next free port if the wanted one is taken.
PORT=$($PY -c '
import socket, sys
port = int(sys.argv[1])
while True:
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("0.0.0.0", port))
        break
    except OSError:
        port += 1
print(port)
' "${KOVEX4_DEMO_PORT:-1502}")

cat >"$WORK/etc/settings" <<EOF
MOD_KOVEX4_ENABLED=1
MOD_KOVEX4_DEVICE=ttyDEMO0
MOD_KOVEX4_BAUDRATE=9600
MOD_KOVEX4_DATABITS=8
MOD_KOVEX4_PARITY=N
MOD_KOVEX4_STOPBITS=1
MOD_KOVEX4_IPADDR=
MOD_KOVEX4_PORT=$PORT
MOD_KOVEX4_STATION=1
EOF

# Copies of the built binaries, so that covering /opt cannot hide them.
cp "$BUILD/src/service/kovex4" "$WORK/kovex4"
cp "$BUILD/tools/probe/kovex4-probe" "$WORK/kovex4-probe"
# probe ARG...: kovex4-probe where the daemon will run, with the same settings folder, lock folder
# and /dev/ttyDEMO0, so it needs no options to find them.
probe() {
    echo "# kovex4-probe $*"
    ns_run_tool "$WORK" "$WORK/probe-dev" ttyDEMO0 "$PTS" "$WORK/kovex4-probe" "$@"
}

step "kovex4-probe settings: the settings as the gateway will read them"
probe settings || fail "kovex4-probe settings found problems in the demo's settings"

step "kovex4-probe line: the field device through the gateway's own line set-up and register map"
probe line || fail "kovex4-probe line: the simulated device did not answer every read"

step "starting kovex4 (private mount namespace, settings:)"
cat "$WORK/etc/settings"
# Inside the namespace: the demo settings folder on /opt/kovex4/etc, the demo lock folder on
# /var/lock, and a /dev holding only the pseudo-terminals, null, zero, random, urandom,
# /dev/ttyDEMO0 -> the simulator's pty and /dev/log (scripts/namespace.sh). The daemon takes the
# background job's pid.
ns_run_daemon "$WORK" "$WORK/kovex4" ttyDEMO0 "$PTS" "$WORK/log.sock" >"$WORK/daemon.out" 2>&1 &
DAEMON_PID=$!

# Ready once the lock file names the daemon; the device is opened right after the lock, and a
# failure to open it ends the daemon at once. The lock is named after the pty that /dev/ttyDEMO0
# links to, as for any device reached through a link.
LOCK=LCK..${PTS##*/}
daemon_ready() {
    kill -0 "$DAEMON_PID" 2>/dev/null || fail "kovex4 ended early: $(cat "$WORK/daemon.out" "$WORK/syslog")"
    local owner=
    [ -s "$WORK/lock/$LOCK" ] && read -r owner <"$WORK/lock/$LOCK"
    [ "$owner" = "$DAEMON_PID" ]
}
wait_for 10 daemon_ready || fail "kovex4 did not take the lock of its device"
sleep 0.3
kill -0 "$DAEMON_PID" 2>/dev/null || fail "kovex4 ended: $(cat "$WORK/syslog")"
echo "kovex4 runs as pid $DAEMON_PID on port $PORT; its lock file $LOCK holds that pid"

step "kovex4-probe line while kovex4 holds the line: refused, the lock is left alone"
PROBE_RC=0
probe line --register 0x400 || PROBE_RC=$?
[ "$PROBE_RC" = 2 ] || fail "kovex4-probe line did not refuse a held line (status $PROBE_RC)"

step "Modbus TCP client (pymodbus) on 127.0.0.1:$PORT"
CLIENT_RC=0
$PY scripts/demo_client.py run "$PORT" || CLIENT_RC=$?

# The daemon notices the client's close on its next loop iteration (at most about a second).
wait_for 3 grep -qE "TCP connection from [0-9.]+ closed" "$WORK/syslog" || true

step "kovex4-probe status: the daemon's counters (SIGUSR1, then its syslog line)"
probe status --log "$WORK/syslog" || fail "kovex4-probe status did not find the counters line"

step "the daemon's syslog lines"
cat "$WORK/syslog"
grep -q "TCP connection from 127.0.0.1 established" "$WORK/syslog" ||
    fail "the daemon did not log the client's connection"

step "stopping kovex4, the simulator and the log reader"
kill "$DAEMON_PID"
wait "$DAEMON_PID" 2>/dev/null || true
DAEMON_PID=
[ "$CLIENT_RC" = 0 ] || fail "the Modbus client found errors (status $CLIENT_RC)"
echo "demo finished"
