#!/usr/bin/env bash
# Makes the Debian package of a native build folder (amd64 here) and installs it with dpkg -i the
# way a user would, but inside a private mount namespace: /opt, /etc/init.d, /run, /var/lock, /dev
# and a copy of the dpkg database are the test's own, so nothing on the machine changes. Then the
# package's init script starts the daemon against the package's own simulator, a Modbus TCP client
# reads and writes through it, and the init script stops it. A reinstall keeps a changed settings
# file, removal takes the init script link away, purging the settings.
#   bash scripts/test-package.sh BUILD_DIR      (run as root; exit status 77: skipped)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: test-package.sh BUILD_DIR}" && pwd)
PY=/usr/bin/python3

fail() {
    echo "test-package.sh: $*" >&2
    exit 1
}
if [ "$(id -u)" != 0 ]; then
    echo "skipped: needs root (private mount namespace, dpkg)"
    exit 77
fi
for tool in cpack dpkg dpkg-deb unshare start-stop-daemon $PY; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done

WORK=$(mktemp -d /tmp/kovex4-package.XXXXXX)
LOG_PID=
cleanup() {
    if [ -n "$LOG_PID" ]; then
        kill "$LOG_PID" 2>/dev/null || true
        wait "$LOG_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

echo "=== cpack"
(cd "$BUILD" && cpack -G DEB -B "$WORK/out" >"$WORK/cpack.log" 2>&1) || fail "cpack: $(cat "$WORK/cpack.log")"
ARCH=$(dpkg --print-architecture)
DEB=$(echo "$WORK"/out/kovex4_*_"$ARCH".deb)
[ -f "$DEB" ] || fail "no $ARCH package in $WORK/out: $(ls "$WORK/out")"
basename "$DEB"

echo "=== content"
dpkg-deb -c "$DEB" | awk '{print $6}' | sed 's|^\./||; s|/$||' | sort >"$WORK/content"
for want in opt/kovex4/bin/kovex4 opt/kovex4/bin/kovex4-devsim opt/kovex4/bin/kovex4-pushrecv \
    opt/kovex4/etc/init.d/kovex4 opt/kovex4/lib/systemd/system/kovex4.service \
    opt/kovex4/etc/settings.example; do
    grep -qx "$want" "$WORK/content" || fail "$want is not in the package"
done
! grep -qx opt/kovex4/etc/settings "$WORK/content" || fail "the package ships etc/settings"
[ "$(dpkg-deb -f "$DEB" Architecture)" = "$ARCH" ] || fail "architecture is not $ARCH"
dpkg-deb --ctrl-tarfile "$DEB" | tar -t >"$WORK/control"
grep -qx './postinst' "$WORK/control" || fail "no postinst"
echo "binaries, init script, unit and settings.example; no etc/settings"

# The daemon's syslog lines arrive on a datagram socket that becomes its /dev/log.
$PY -u -c '
import socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
out = open(sys.argv[2], "a", buffering=1)
while True:
    out.write(sock.recv(4096).decode(errors="replace").rstrip("\n\0") + "\n")
' "$WORK/log.sock" "$WORK/syslog" &
LOG_PID=$!
for _ in $(seq 50); do
    [ -S "$WORK/log.sock" ] && break
    sleep 0.1
done
[ -S "$WORK/log.sock" ] || fail "the syslog reader did not start"

PORT=$($PY -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir "$WORK/dpkg" "$WORK/lock" "$WORK/dev"
cp -a /var/lib/dpkg/. "$WORK/dpkg/"

# shellcheck disable=SC2016 # expanded by the inner shell
unshare -m --propagation private /bin/bash -c '
set -euo pipefail
deb=$1 work=$2 src=$3 port=$4
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
fail() {
    echo "test-package.sh: $*" >&2
    exit 1
}
ok() { echo "ok: $*"; }

mount -t tmpfs kovex4-package /opt
mount -t tmpfs kovex4-package /etc/init.d
mount -t tmpfs kovex4-package /run
mount --bind "$work/dpkg" /var/lib/dpkg
[ -d /var/lock ] || mkdir -p "$(readlink -f /var/lock)"
mount --bind "$work/lock" /var/lock
mount -t tmpfs -o mode=755 kovex4-package "$work/dev"
mkdir "$work/dev/pts"
mount --bind /dev/pts "$work/dev/pts"
for node in null zero random urandom; do
    touch "$work/dev/$node"
    mount --bind "/dev/$node" "$work/dev/$node"
done
ln -s /proc/self/fd "$work/dev/fd"
ln -s pts/ptmx "$work/dev/ptmx"
touch "$work/dev/log"
mount --bind "$work/log.sock" "$work/dev/log"
mount --move "$work/dev" /dev

sim_pid=
cleanup() {
    if [ -s /run/kovex4.pid ]; then kill "$(cat /run/kovex4.pid)" 2>/dev/null || true; fi
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
install_package() {
    dpkg --log=/dev/null -i "$deb" >"$work/dpkg.out" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.out")"
}
settings=/opt/kovex4/etc/settings

echo "=== dpkg -i (fresh)"
install_package
cat "$work/dpkg.out"
cmp -s "$settings" /opt/kovex4/etc/settings.example || fail "settings not created from the example"
ok "etc/settings created from settings.example"
[ "$(readlink /etc/init.d/kovex4)" = /opt/kovex4/etc/init.d/kovex4 ] || fail "no /etc/init.d/kovex4 link"
grep -qx "DAEMON=/opt/kovex4/bin/kovex4" /etc/init.d/kovex4 || fail "init script names another daemon"
ok "/etc/init.d/kovex4 -> /opt/kovex4/etc/init.d/kovex4"
[ ! -e /run/kovex4.pid ] || fail "installing started the daemon"

cat >"$settings" <<EOF
MOD_KOVEX4_ENABLED=1
MOD_KOVEX4_DEVICE=ttyPKG0
MOD_KOVEX4_BAUDRATE=9600
MOD_KOVEX4_PORT=$port
MOD_KOVEX4_STATION=1
EOF
cp "$settings" "$work/settings.site"
echo "=== dpkg -i (again, site settings in place)"
install_package
cmp -s "$settings" "$work/settings.site" || fail "reinstalling changed etc/settings"
ok "etc/settings kept"

echo "=== simulator, init script start"
mapfile -t sim_args < <(python3 "$src/scripts/demo_client.py" devsim-args)
/opt/kovex4/bin/kovex4-devsim "${sim_args[@]}" --link /dev/ttyPKG0 >"$work/devsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
    [ -L /dev/ttyPKG0 ] && break
    sleep 0.1
done
[ -L /dev/ttyPKG0 ] || fail "kovex4-devsim: $(cat "$work/devsim.out")"
/etc/init.d/kovex4 start || fail "init script start: status $?"
/etc/init.d/kovex4 status || fail "status after start: $?"
pid=$(cat /run/kovex4.pid)
[ "$(readlink "/proc/$pid/exe")" = /opt/kovex4/bin/kovex4 ] || fail "pid $pid is not the installed daemon"
ok "daemon pid $pid runs /opt/kovex4/bin/kovex4"

echo "=== Modbus TCP client on 127.0.0.1:$port"
python3 "$src/scripts/demo_client.py" run "$port" >"$work/client.out" 2>&1 ||
    fail "client: $(cat "$work/client.out")"
ok "reads and writes through the installed daemon"
grep -q "kovex4\[$pid\]: started" "$work/syslog" || fail "no \"started\" log line: $(cat "$work/syslog")"
grep -q "TCP connection from 127.0.0.1 established" "$work/syslog" || fail "no connection log line"
ok "syslog: started, TCP connection from 127.0.0.1 established"

echo "=== init script stop"
/etc/init.d/kovex4 stop || fail "init script stop: status $?"
rc=0
/etc/init.d/kovex4 status || rc=$?
[ "$rc" = 3 ] || fail "status after stop: $rc, want 3"
! kill -0 "$pid" 2>/dev/null || fail "daemon $pid still runs"
[ ! -e /var/lock/LCK..ttyPKG0 ] || fail "lock file left behind"
ok "daemon ended, its lock file removed"

echo "=== dpkg -r, dpkg --purge"
dpkg --log=/dev/null -r kovex4 >"$work/dpkg.out" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg.out")"
[ ! -e /opt/kovex4/bin/kovex4 ] && [ ! -L /etc/init.d/kovex4 ] || fail "files left after dpkg -r"
cmp -s "$settings" "$work/settings.site" || fail "dpkg -r changed etc/settings"
ok "removed; etc/settings kept"
dpkg --log=/dev/null --purge kovex4 >"$work/dpkg.out" 2>&1 || fail "dpkg --purge: $(cat "$work/dpkg.out")"
[ ! -e "$settings" ] || fail "etc/settings left after purge"
ok "purged"
' test-package "$DEB" "$WORK" "$SRC" "$PORT"
echo "package test passed"
