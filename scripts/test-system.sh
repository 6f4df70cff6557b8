#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The packages booted for real: a minimal Debian root file system with systemd (mmdebstrap, the
# machine's own Debian mirror, the main suite of the machine's release or of SUITE), kovex4 and
# kovex4-tools installed in it with apt, booted with systemd as PID 1 in QEMU under software
# emulation: amd64 under qemu-system-x86_64, armhf under qemu-system-arm -M virt (Cortex-A15),
# each with Debian's kernel and a small initramfs of our own (busybox and the few modules the root
# disk needs). The field device's line is a PCI 16550 UART
# (the guest's 8250 driver, /dev/ttyS*) whose host side is a pseudo-terminal served by
# kovex4-devsim; the guest's Modbus ports are forwarded to 127.0.0.1 only, and the guest reaches
# nothing else. From the host: the unit reaches "active" (READY=1); mbpoll reads and writes; a TLS
# client with roles against a second settings file; the counters (SIGUSR1) and the trace (SIGUSR2)
# through systemctl and the journal; kill -9, kill -STOP (the watchdog), the UART's host side
# closed and reopened; publication over TLS to an MQTT broker on the host (Debian's mosquitto on
# 127.0.0.1, which the guest reaches at 10.0.2.100:8883 through a forward of the emulator); a
# reboot, apt-get purge. It prints figures: boot to the first answer, a read's round trip, the
# daemon's resident memory (anonymous and file pages, and the files it maps), the same with 16 TLS
# clients and with MQTT and TLS on.
# With --later DATE the image, as it was before its first boot, is then booted a second time with
# the emulator's real-time clock at DATE (2039-03-01: past the end of a 32-bit time_t), and shows
# the unit active, plain reads, the log's times, a TLS client whose certificate is valid from 2026
# to 2045 accepted and one whose certificate expired in 2038 refused, and the push to a receiver in
# the guest over TLS on its schedule.
# The root file system, the kernel and the initramfs are kept in /var/cache/kovex4-system (or
# KOVEX4_SYSTEM_CACHE), keyed by the versions of the packages they are made of, so that a second
# run downloads and builds nothing.
#   bash scripts/test-system.sh [--suite SUITE] [--later DATE] PACKAGES
# PACKAGES: a build folder (its packages are made with cpack) or a folder holding kovex4_*.deb
# and kovex4-tools_*.deb (as scripts/test-release.sh leaves them); their architecture (amd64,
# armhf) is the guest's. Run as root.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
SUITE=$(. /etc/os-release && echo "$VERSION_CODENAME") LATER=''
while [ $# -gt 1 ]; do
    case $1 in
    --suite) SUITE=$2 ;;
    --later) LATER=$2 ;;
    *) break ;;
    esac
    shift 2
done
BUILD=$(cd "${1:?usage: test-system.sh [--suite SUITE] [--later DATE] PACKAGES}" && pwd)
CACHE=${KOVEX4_SYSTEM_CACHE:-/var/cache/kovex4-system}
PY=/usr/bin/python3
TLS_PEER=$SRC/tests/e2e/tls_peer.py
LOAD_PEER=$SRC/tests/e2e/load_peer.py
MQTT_PEER=$SRC/tests/e2e/mqtt_peer.py
# Where the guest reaches the broker: an address of the emulator's user network that it forwards
# to the broker on the host's 127.0.0.1 (the guest reaches nothing else).
BROKER_ADDR=10.0.2.100 BROKER_GUEST_PORT=8883
START=$EPOCHREALTIME
# The data period of the push in the boot at LATER, seconds.
PUSH_PERIOD=10

fail() {
    echo "test-system.sh: $*" >&2
    if [ -n "${BOOT_ID:-}" ] && [ -z "${FAILING:-}" ]; then
        FAILING=1 GUEST_WAIT=30
        echo "--- the guest's journal (end):" >&2
        guest 'journalctl -b -n 60 --no-pager' >&2
    elif [ -s "${WORK:-}/console.log" ]; then
        echo "--- the guest's console (end):" >&2
        tail -n 40 "$WORK/console.log" >&2
    fi
    exit 1
}
ok() { echo "ok: $*"; }
FIGURES=()
figure() {
    FIGURES+=("$1")
    echo "figure: $1"
}
# since T: seconds from the EPOCHREALTIME T to now, to a tenth.
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

[ "$(id -u)" = 0 ] || fail "run as root (mmdebstrap, chroot)"
# shellcheck source=scripts/deps.sh
. "$SRC/scripts/deps.sh"
# shellcheck source=scripts/namespace.sh
. "$SRC/scripts/namespace.sh"
WORK=$(ns_workdir system)

echo "=== the packages of $BUILD"
if [ -f "$BUILD/CMakeCache.txt" ]; then
    (cd "$BUILD" && cpack -G DEB -B "$WORK/out" >"$WORK/cpack.log" 2>&1) || fail "cpack: $(cat "$WORK/cpack.log")"
else
    mkdir "$WORK/out"
    cp "$BUILD"/kovex4_*.deb "$BUILD"/kovex4-tools_*.deb "$WORK/out/" || fail "no packages in $BUILD"
fi
DEBS=("$WORK"/out/kovex4_*.deb "$WORK"/out/kovex4-tools_*.deb)
[ -f "${DEBS[0]}" ] && [ -f "${DEBS[1]}" ] || fail "no packages in $WORK/out"
ARCH=$(dpkg-deb -f "${DEBS[0]}" Architecture)
case $ARCH in
amd64)
    # Software emulation, as for armhf: the same on every machine (a nested /dev/kvm may be there
    # and still not run a guest).
    QEMU=(qemu-system-x86_64 -M pc -accel tcg)
    # The console is the PC's first serial port (ttyS0), so the PCI UART is ttyS1.
    CONSOLE=ttyS0 UART_TTY=ttyS1 KERNEL_META=linux-image-amd64
    EMULATOR=()
    ;;
armhf)
    # Without highmem=off the PCI host bridge fails to probe on this kernel.
    # shellcheck disable=SC2054 # the machine's options, one argument
    QEMU=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15)
    # The image's own programs (mmdebstrap's maintainer scripts, the kovex4-devsim of the
    # packages, see start_sim) run on the host under qemu-user.
    CONSOLE=ttyAMA0 UART_TTY=ttyS0 KERNEL_META=linux-image-armmp
    EMULATOR=(/usr/bin/qemu-arm-static)
    ;;
*) fail "no way to boot $ARCH" ;;
esac
echo "${DEBS[*]##*/}: booted as $ARCH ($SUITE) with ${QEMU[*]}"
deps_install "${KOVEX4_SYSTEM_DEPS[@]}"

# ---- Emulation of the target's programs on the host (mmdebstrap's maintainer scripts, the
# image's apt): qemu-user through binfmt_misc, registered if needed.
BINFMT_ADDED=''
if [ "$ARCH" = armhf ]; then
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
        cat /usr/lib/binfmt.d/qemu-arm.conf >/proc/sys/fs/binfmt_misc/register
        BINFMT_ADDED=qemu-arm
    fi
fi

QEMU_PID='' SIM_PID='' PEER_PID='' BROKER_PID=''
cleanup() {
    ns_stop "$PEER_PID" "$SIM_PID" "$QEMU_PID" "$BROKER_PID"
    if mountpoint -q "$WORK/root/proc" 2>/dev/null; then umount "$WORK/root/proc"; fi
    [ -z "$BINFMT_ADDED" ] || echo -1 >"/proc/sys/fs/binfmt_misc/$BINFMT_ADDED"
    [ -n "${KOVEX4_KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

# ---- The cached Debian system: base.tar (the root file system), vmlinuz, initrd.img ----

# The machine's own Debian mirror (its apt sources), the suite's main component only, whose
# package lists are fetched apart from the machine's own (scripts/deps.sh).
MIRROR=$(deps_mirror)
[ -n "$MIRROR" ] || fail "no Debian mirror in the apt sources"
LISTS=$CACHE/lists-$SUITE
deps_suite "$LISTS" "$SUITE" "$(dpkg --print-architecture)" armhf || fail "no package lists of $SUITE"
# The image's packages: systemd with udev, and what the kovex4 packages depend on (named in them).
PACKAGES=(systemd systemd-sysv udev)
while read -r name; do
    PACKAGES+=("$name")
done < <(for deb in "${DEBS[@]}"; do
    dpkg-deb -f "$deb" Depends
    dpkg-deb -f "$deb" Pre-Depends
done | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//; /^$/d' | sort -u)
# The modules the initramfs loads: the root disk (virtio-blk over PCI, ext4 with its checksum),
# the network card and the test's command channel (virtio-net, virtio-console).
MODULES=(virtio_pci virtio_blk virtio_net virtio_console crc32c_generic ext4)

# make_base DIR: the root file system (DIR/base.tar), the kernel and our initramfs from the
# mirror's current packages. The kernel package is unpacked, not installed: installing it would
# make Debian's initramfs, which takes many minutes under emulation.
make_base() {
    local dir=$1 try modules
    for try in 1 2 3; do
        # A mirror caught mid-sync fails an index or a package; a later try gets a complete one.
        nice -n 10 mmdebstrap --variant=minbase --arch="$ARCH" --include="$(
            IFS=,
            echo "${PACKAGES[*]}"
        )" \
            --customize-hook="cd '$dir' && k=\$(APT_CONFIG=\$MMDEBSTRAP_APT_CONFIG apt-cache show \
--no-all-versions $KERNEL_META | sed -n 's/^Depends: \(linux-image-[^ ,]*\).*/\1/p') && \
APT_CONFIG=\$MMDEBSTRAP_APT_CONFIG apt-get download -q \$k busybox-static 2>/dev/null" \
            "$SUITE" "$dir/base.tar" "deb $MIRROR $SUITE main" >"$dir/mmdebstrap.log" 2>&1 && break
        [ "$try" = 3 ] || echo "mmdebstrap failed ($(grep -m1 '^E:' "$dir/mmdebstrap.log")), again"
        [ "$try" != 3 ] || fail "mmdebstrap: $(tail -n 5 "$dir/mmdebstrap.log")"
        rm -f "$dir"/*.deb
    done
    local kernel busybox version init=$dir/initramfs
    kernel=$(echo "$dir"/linux-image-*.deb) busybox=$(echo "$dir"/busybox-static_*.deb)
    [ -f "$kernel" ] && [ -f "$busybox" ] || fail "the kernel or busybox was not downloaded"
    mkdir -p "$dir/kernel" "$init"/{bin,dev,proc,sys,root}
    dpkg-deb -x "$kernel" "$dir/kernel"
    # /bin/busybox (Debian 12) or /usr/bin/busybox (13).
    dpkg-deb --fsys-tarfile "$busybox" | tar -xO --wildcards './*bin/busybox' >"$init/bin/busybox"
    chmod 755 "$init/bin/busybox"
    # The modules are in /lib/modules (Debian 12) or /usr/lib/modules (13).
    modules=$dir/kernel
    [ -d "$modules/lib/modules" ] || modules=$dir/kernel/usr
    version=$(ls "$modules/lib/modules")
    cp "$dir/kernel/boot/vmlinuz-$version" "$dir/vmlinuz"
    depmod -b "$modules" "$version"
    # The modules in the order their dependencies need (modprobe --show-depends lists them so),
    # uncompressed for busybox's insmod (Debian 13's are xz-compressed).
    for module in "${MODULES[@]}"; do
        modprobe -d "$modules" -S "$version" --show-depends "$module"
    done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r path; do
        name=${path##*/}
        case $name in
        *.xz) xz -dc "$path" >"$init/bin/${name%.xz}" ;;
        *) cp "$path" "$init/bin/" ;;
        esac
        echo "${name%.xz}" >>"$init/modules"
    done
    cat >"$init/init" <<'EOF'
#!/bin/busybox sh
# Loads the root disk's modules, sets the clock, mounts the disk and hands over to systemd.
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
for module in $(cat /modules); do insmod "/bin/$module" 2>/dev/null; done
# The system clock from the real-time clock, which a 32-bit kernel does not take once it is past
# 2038 (nor busybox where it has a 32-bit time_t: then the clock stays where it is).
hwclock -s -u 2>/dev/null
tries=0
while [ ! -b /dev/vda ] && [ "$tries" -lt 600 ]; do sleep 0.1; tries=$((tries + 1)); done
mount -t ext4 /dev/vda /root || exec sh
mount --move /dev /root/dev
umount /proc
exec switch_root /root /lib/systemd/systemd
EOF
    chmod 755 "$init/init"
    (cd "$init" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initrd.img"
    rm -rf "$dir/kernel" "$init" "$dir"/*.deb
}

# The cache key: the recipe (make_base itself, the mirror, the packages and modules) and the
# versions of the packages, the kernel's and busybox's among them, in the apt lists' main suite.
KEY=$({
    declare -f make_base
    echo "$MIRROR ${PACKAGES[*]} ${MODULES[*]}"
    deps_versions "$LISTS" "${PACKAGES[@]/%/:$ARCH}" "$KERNEL_META:$ARCH" "busybox-static:$ARCH"
} | sha256sum | cut -c1-16)
BASE=$CACHE/$SUITE-$ARCH-$KEY
if [ -s "$BASE/initrd.img" ]; then
    echo "=== the cached $SUITE system $BASE"
else
    echo "=== a $SUITE system for $ARCH: mmdebstrap (${PACKAGES[*]}), kernel, initramfs"
    built=$EPOCHREALTIME
    rm -rf "$BASE.new"
    mkdir -p "$BASE.new"
    make_base "$BASE.new"
    for old in "$CACHE/$SUITE-$ARCH"-*; do
        [ "$old" = "$BASE.new" ] || rm -rf "$old"
    done
    mv "$BASE.new" "$BASE"
    figure "$ARCH: the $SUITE system made in $(since "$built") s"
fi

# ---- The image: the base, the packages installed with apt as a vendor's image build installs
# them (policy-rc.d keeps services from starting), the site's settings and the test's own parts.

ROOT=$WORK/root
echo "=== the image: apt-get install ${DEBS[*]##*/}"
mkdir "$ROOT"
tar -C "$ROOT" -xf "$BASE/base.tar"
cp "${DEBS[@]}" "$ROOT/tmp/"
printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
chmod 755 "$ROOT/usr/sbin/policy-rc.d"
mount -t proc proc "$ROOT/proc"
chroot "$ROOT" apt-get install -y -q -o Dpkg::Use-Pty=0 "${DEBS[@]/#"$WORK/out"//tmp}" >"$WORK/apt.log" 2>&1 ||
    fail "apt-get install: $(tail -n 5 "$WORK/apt.log")"
umount "$ROOT/proc"
rm "$ROOT/usr/sbin/policy-rc.d" "$ROOT"/tmp/*.deb
[ -L "$ROOT/etc/systemd/system/multi-user.target.wants/kovex4.service" ] || fail "the unit is not enabled"
ok "installed with apt; kovex4.service enabled"

# The site: the plain settings on the PCI UART, and a second settings file for Modbus over TLS on
# port 802 with 16 clients, whose certificates the test makes.
mkdir -p "$ROOT/srv/site" "$WORK/certs"
$PY "$TLS_PEER" certs "$WORK/certs" >/dev/null
cp "$WORK/certs"/{ca.pem,gateway.pem,gateway.key} "$ROOT/srv/site/"
printf '%s\n' MOD_KOVEX4_ENABLED=1 "MOD_KOVEX4_DEVICE=$UART_TTY" MOD_KOVEX4_BAUDRATE=9600 \
    MOD_KOVEX4_PORT=502 MOD_KOVEX4_STATION=1 >"$ROOT/opt/kovex4/etc/settings"
{
    printf '%s\n' MOD_KOVEX4_ENABLED=1 "MOD_KOVEX4_DEVICE=$UART_TTY" MOD_KOVEX4_BAUDRATE=9600 \
        MOD_KOVEX4_PORT=802 MOD_KOVEX4_STATION=1 MOD_KOVEX4_CLIENTS=16 MOD_KOVEX4_TLS_WRITERS=operator
    for key in CERT:gateway.pem KEY:gateway.key CA:ca.pem; do
        echo "MOD_KOVEX4_TLS_${key%%:*}=/srv/site/${key#*:}"
    done
} >"$ROOT/srv/site/settings.tls"
# The same, publishing registers 1025-1026 every 10 s to the broker on the host, over TLS with the
# same files (the broker's certificate carries the address the guest reaches it at).
{
    cat "$ROOT/srv/site/settings.tls"
    printf '%s\n' "MOD_KOVEX4_MQTT_HOST=$BROKER_ADDR" "MOD_KOVEX4_MQTT_PORT=$BROKER_GUEST_PORT" \
        MOD_KOVEX4_DATA_PERIOD=10 MOD_KOVEX4_START1=1025 MOD_KOVEX4_COUNT1=2
} >"$ROOT/srv/site/settings.mqtt"
# For the boot with the clock at LATER: certificates valid from 2026 to 2045 (and a client's that
# expired in 2038), and settings for Modbus over TLS on port 802 of the guest's network address,
# pushing registers 1025-1026 every 10 s over TLS to a receiver in the guest (127.0.0.2, port 802).
if [ -n "$LATER" ]; then
    mkdir -p "$ROOT/srv/site/later" "$WORK/lasting"
    $PY "$TLS_PEER" lasting "$WORK/lasting" >/dev/null
    cp "$WORK/lasting"/{ca.pem,gateway.pem,gateway.key,receiver.pem,receiver.key} "$ROOT/srv/site/later/"
    {
        printf '%s\n' MOD_KOVEX4_ENABLED=1 "MOD_KOVEX4_DEVICE=$UART_TTY" MOD_KOVEX4_BAUDRATE=9600 \
            MOD_KOVEX4_PORT=802 MOD_KOVEX4_LISTEN=10.0.2.15 MOD_KOVEX4_STATION=1 \
            MOD_KOVEX4_TLS_WRITERS=operator MOD_KOVEX4_IPADDR=127.0.0.2 \
            "MOD_KOVEX4_DATA_PERIOD=$PUSH_PERIOD" MOD_KOVEX4_START1=1025 MOD_KOVEX4_COUNT1=2
        for key in CERT:gateway.pem KEY:gateway.key CA:ca.pem; do
            echo "MOD_KOVEX4_TLS_${key%%:*}=/srv/site/later/${key#*:}"
        done
    } >"$ROOT/srv/site/later/settings"
fi
gid=$(awk -F: '$1 == "kovex4" { print $3 }' "$ROOT/etc/group")
chown -R "0:$gid" "$ROOT/srv/site"
find "$ROOT/srv/site" -type f -exec chmod 640 {} +
# The network: the emulator's user network, configured by systemd-networkd.
printf '[Match]\nName=en* eth*\n[Network]\nAddress=10.0.2.15/24\nGateway=10.0.2.2\n' \
    >"$ROOT/etc/systemd/network/10-qemu.network"
ln -s /lib/systemd/system/systemd-networkd.service "$ROOT/etc/systemd/system/multi-user.target.wants/"
echo gateway >"$ROOT/etc/hostname"
# The test's command channel: a root shell on a virtio serial port (see guest below); it says
# which boot it runs in when it starts.
cat >"$ROOT/etc/systemd/system/test-shell.service" <<'EOF'
[Unit]
Description=command channel of the system test
StartLimitIntervalSec=0
[Service]
ExecStart=/bin/sh -c 'while [ ! -e /dev/virtio-ports/shell ]; do sleep 0.1; done; exec 0<>/dev/virtio-ports/shell 1>&0 2>&0; echo "@@boot $(cat /proc/sys/kernel/random/boot_id)"; exec sh'
Restart=always
RestartSec=1
[Install]
WantedBy=multi-user.target
EOF
ln -s /etc/systemd/system/test-shell.service "$ROOT/etc/systemd/system/multi-user.target.wants/"
# The daemon's resident memory, for the figures (see memory below).
cat >"$ROOT/root/memory" <<'EOF'
#!/bin/sh
# The daemon's resident memory: VmRSS, its anonymous pages (heap, stacks, the libraries' written
# data) and its file pages (program and libraries, shared with other processes that map the same
# files), what of it no other process maps (private), and its control group's memory (the pages
# the service brought in). With "files": the resident size of each file it maps, largest first.
pid=$(systemctl show -p MainPID --value kovex4)
if [ "${1:-}" = files ]; then
    awk '/^[0-9a-f]+-[0-9a-f]+ / { name = NF >= 6 ? $6 : "anonymous"; sub(".*/", "", name) }
        /^Rss:/ { rss[name] += $2 }
        END { for (name in rss) if (rss[name] > 0) print rss[name], name }' "/proc/$pid/smaps" |
        sort -rn | awk '{ printf "%s%s %d kB", (NR > 1 ? ", " : ""), $2, $1 }'
    echo
    exit
fi
kb() { sed -n "s/^$1:[^0-9]*\([0-9]*\) kB/\1/p" "$2"; }
rollup=/proc/$pid/smaps_rollup
echo "VmRSS $(kb VmRSS "/proc/$pid/status") kB (RssAnon $(kb RssAnon "/proc/$pid/status") kB," \
    "RssFile $(kb RssFile "/proc/$pid/status") kB; private $(($(kb Private_Clean "$rollup") +
    $(kb Private_Dirty "$rollup"))) kB), cgroup $(($(systemctl show -p MemoryCurrent --value kovex4) / 1024)) kB"
EOF
chmod 755 "$ROOT/root/memory"
mke2fs -q -t ext4 -L root -d "$ROOT" "$WORK/disk.img" "$(($(du -sm "$ROOT" | cut -f1) + 200))M" >/dev/null
# The image as it is before its first boot, for the boot at LATER.
[ -z "$LATER" ] || cp --sparse=always "$WORK/disk.img" "$WORK/later.img"

# ---- The guest ----

# free_port: a free TCP port of 127.0.0.1 below the ephemeral range, where other programs' own
# "any free port" choices (and the connections they try there) never land.
free_port() {
    $PY -c '
import random, socket
while True:
    s, port = socket.socket(), random.randrange(20000, 32000)
    try:
        s.bind(("127.0.0.1", port))
        print(port)
        break
    except OSError:
        s.close()'
}
# The field device: the packages' kovex4-devsim serving the UART's host side, with the items the
# clients expect. It runs in the image's own files (chroot), with the image's libraries, which
# need not be those of this machine's release; for armhf through the emulator named, copied in
# (binfmt_misc's registration is the machine's, which others may change meanwhile).
start_sim() {
    [ ${#EMULATOR[@]} = 0 ] || [ -x "$ROOT${EMULATOR[0]}" ] || cp "${EMULATOR[0]}" "$ROOT${EMULATOR[0]}"
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -m --propagation private /bin/sh -e -c 'mkdir -p "$1/dev/pts"; mount --bind /dev/pts "$1/dev/pts"; shift; exec chroot "$@"' \
        start-sim "$ROOT" "$ROOT" "${EMULATOR[@]}" /opt/kovex4/bin/kovex4-devsim --tty "$UART" \
        --set i:1=100 --set i:2=2000 --set i:3=30000 >"$WORK/devsim.log" 2>&1 &
    SIM_PID=$!
}

# boot DISK [OPTION...]: starts the emulator on the disk image DISK, with the options given too,
# and the field device on its UART. The gateway's ports are forwarded from 127.0.0.1's PORT (502)
# and TLS_PORT (802); the guest's connections to BROKER_ADDR:BROKER_GUEST_PORT go to the broker
# on 127.0.0.1's BROKER_PORT, through a relay the emulator starts for each (the user network's
# forward into the host, which restrict=on leaves in place).
SHELL_IN='' SHELL_OUT='' BROKER_PORT=''
boot() {
    local disk=$1
    shift
    PORT=$(free_port) TLS_PORT=$PORT
    until [ "$TLS_PORT" != "$PORT" ]; do TLS_PORT=$(free_port); done
    until [ -n "$BROKER_PORT" ] && [ "$BROKER_PORT" != "$PORT" ] && [ "$BROKER_PORT" != "$TLS_PORT" ]; do
        BROKER_PORT=$(free_port)
    done
    rm -f "$WORK/shell.in" "$WORK/shell.out"
    mkfifo "$WORK/shell.in" "$WORK/shell.out"
    BOOTED=$EPOCHREALTIME
    "${QEMU[@]}" -m 512 -smp 1 -nodefaults -no-user-config -display none \
        -kernel "$BASE/vmlinuz" -initrd "$BASE/initrd.img" -append "console=$CONSOLE panic=0" \
        -serial "file:$WORK/console.log" \
        -drive "file=$disk,format=raw,if=none,id=disk" -device virtio-blk-pci,drive=disk \
        -netdev "user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:$PORT-:502,hostfwd=tcp:127.0.0.1:$TLS_PORT-:802,guestfwd=tcp:$BROKER_ADDR:$BROKER_GUEST_PORT-cmd:$PY $MQTT_PEER relay $BROKER_PORT" \
        -device virtio-net-pci,netdev=net \
        -chardev pty,id=uart -device pci-serial,chardev=uart \
        -chardev "pipe,id=shell,path=$WORK/shell" -device virtio-serial-pci \
        -device virtserialport,chardev=shell,name=shell "$@" >"$WORK/qemu.log" 2>&1 &
    QEMU_PID=$!
    [ -z "$SHELL_IN" ] || exec {SHELL_IN}>&- {SHELL_OUT}>&-
    exec {SHELL_IN}<>"$WORK/shell.in" {SHELL_OUT}<>"$WORK/shell.out"
    for _ in $(seq 300); do
        UART=$(sed -n 's/^char device redirected to \(.*\) (label uart)$/\1/p' "$WORK/qemu.log")
        [ -z "$UART" ] && kill -0 "$QEMU_PID" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$UART" ] || fail "no pty for the UART: $(cat "$WORK/qemu.log")"
    start_sim
}

# halt: ends the emulator (the disk is not needed again) and the field device.
halt() {
    ns_stop "$SIM_PID" "$QEMU_PID"
    SIM_PID='' QEMU_PID='' BOOT_ID=''
}

# guest COMMAND: runs COMMAND in a subshell of the guest's root shell (standard input /dev/null),
# prints its output (with its errors) and returns its exit status; it fails after 10 minutes
# without output. The shell reads the command from a virtio serial port, whose host side is a
# pair of FIFOs; a numbered marker ends each answer.
GUEST_SEQ=0
guest() {
    local line seq=$((GUEST_SEQ += 1))
    printf '( %s\n) </dev/null; echo "@@%d $?"\n' "$1" "$seq" >&"$SHELL_IN"
    while IFS= read -r -t "${GUEST_WAIT:-600}" line <&"$SHELL_OUT"; do
        if [[ $line == "@@$seq "* ]]; then return "${line#* }"; fi
        [[ $line == "@@"* ]] || printf '%s\n' "$line"
    done
    fail "the guest's shell did not answer: $1"
}
# wait_shell: waits up to 15 minutes for the guest's shell to start (in a boot other than
# $BOOT_ID) and sets BOOT_ID.
BOOT_ID=''
wait_shell() {
    local line
    while IFS= read -r -t 900 line <&"$SHELL_OUT"; do
        if [[ $line == "@@boot "* ]] && [ "${line#@@boot }" != "$BOOT_ID" ]; then
            BOOT_ID=${line#@@boot }
            return 0
        fi
    done
    fail "the guest did not boot to its shell"
}
# mb OPTIONS... [-- VALUES...]: mbpoll against the gateway's plain port, once, 5 s time-out; with
# values, it writes them.
mb() {
    local options=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    mbpoll -m tcp -p "$PORT" -a 1 -1 -o 5 "${options[@]}" 127.0.0.1 "${@:2}"
}
# wait_answer LIMIT: polls a read of registers 1025-1026 until it gives the device's values
# (100, 2000), at most LIMIT seconds.
wait_answer() {
    local deadline=$((SECONDS + $1))
    until mb -r 1025 -c 2 2>&1 | tr -d '\t' | grep -q '^\[1026\]: *2000'; do
        [ "$SECONDS" -lt "$deadline" ] && kill -0 "$QEMU_PID" 2>/dev/null || return 1
        sleep 0.2
    done
}
# guest_until SECONDS COMMAND: runs COMMAND in the guest every tenth of a second until it succeeds,
# for SECONDS seconds at most; the status of its last run.
guest_until() {
    guest "end=\$((\$(date +%s) + $1)); until ( $2 ); do [ \$(date +%s) -lt \$end ] || exit 1; sleep 0.1; done"
}
# journal PATTERN: waits up to 30 s for a line of kovex4 matching PATTERN (grep -E) in this
# boot's journal, and prints the last such line.
journal() {
    guest_until 30 "journalctl -b -t kovex4 -o cat | grep -E '$1' | tail -n 1 | grep ."
}
# wait_active: waits up to 5 minutes for the unit to be active.
wait_active() {
    guest_until 300 'systemctl is-active -q kovex4' || fail "kovex4 is not active: $(guest 'systemctl status --no-pager kovex4')"
}
main_pid() { guest 'systemctl show -p MainPID --value kovex4'; }

# ---- The checks ----

# check_later: the image as it was before the first boot, booted with the emulator's real-time
# clock at LATER.
check_later() {
    echo "=== the image booted again, its clock at $LATER: plain reads, the log's times"
    local year=${LATER:0:4} now line out started times
    boot "$WORK/later.img" -rtc "base=$LATER"
    wait_shell
    wait_active
    wait_answer 120 || fail "no answer from the gateway $(since "$BOOTED") s after the start"
    figure "$ARCH at $LATER: boot to the first answer: $(since "$BOOTED") s"
    now=$(guest 'date -u "+%Y-%m-%d %H:%M:%S UTC"')
    [[ $now == "$year-"* ]] || fail "the guest's clock is at $now, not in $year"
    mb -r 1025 -c 3 >"$WORK/mb.out" 2>&1 && grep -q '^\[1027\]:.*30000' "$WORK/mb.out" ||
        fail "mbpoll read: $(cat "$WORK/mb.out")"
    line=$(journal ' started$|^started') || fail "no start line of kovex4 in the journal"
    line=$(guest 'journalctl -b -t kovex4 -o short-iso --no-pager | grep -v "^--" | tail -n 1')
    [[ $line == "$year-"* ]] || fail "the journal's line of kovex4 is not of $year: $line"
    ok "the clock at $now; kovex4.service active; mbpoll read 100 2000 30000; the journal: $line"

    echo "=== at $LATER: Modbus over TLS and the push over TLS (certificates from 2026 to 2045)"
    guest "systemctl stop kovex4 && install -m 640 -g kovex4 /srv/site/later/settings /opt/kovex4/etc/settings &&
        systemd-run -q --unit=kovex4-receiver /opt/kovex4/bin/kovex4-pushrecv --bind 127.0.0.2 --port 802 \
        --tls-cert /srv/site/later/receiver.pem --tls-key /srv/site/later/receiver.key \
        --tls-ca /srv/site/later/ca.pem && systemctl start kovex4" || fail "kovex4 did not start with the TLS settings"
    started=$(guest 'systemctl show -p ExecMainStartTimestampMonotonic --value kovex4')
    out=$($PY "$TLS_PEER" client "$TLS_PORT" "$WORK/lasting" writer)
    [ "$out" = "read 100 2000 write ok" ] || fail "TLS client valid from 2026 to 2045: $out"
    out=$($PY "$TLS_PEER" client "$TLS_PORT" "$WORK/lasting" lapsed)
    [ "$out" = "handshake failed" ] || fail "TLS client whose certificate expired in 2038: $out"
    line=$(journal '^TLS handshake with 10\.0\.2\.2 failed: ') || fail "no refusal line"
    grep -qi expired <<<"$line" || fail "the certificate that expired in 2038 was refused for another reason: $line"
    ok "TLS: the client valid until 2045 reads and writes; the one that expired in 2038 is refused: $line"
    # The k-th push (from 0) is due 60 + k * PUSH_PERIOD s after the start; the receiver's journal
    # lines come after the push. Earlier is a fault; later is load, and shown.
    guest_until 300 "[ \$(journalctl -b -u kovex4-receiver -o cat | grep -c '^slot unit=1 .* values=100,2000$') -ge 3 ]" ||
        fail "fewer than 3 pushes in 300 s: $(guest 'journalctl -b -u kovex4-receiver -o cat --no-pager | tail -n 5')"
    times=$(guest "journalctl -b -u kovex4-receiver -o short-monotonic --no-pager |
        sed -n 's/^\[ *\([0-9.]*\)\].* slot unit=1 .*/\1/p' | head -n 3")
    out=$(awk -v start="$started" -v period="$PUSH_PERIOD" '
        { at = $1 - start / 1e6; due = 60 + (NR - 1) * period
          if (at < due - 1) early = early sprintf(" push %d at %.1f s, due at %d s;", NR, at, due)
          line = line sprintf("%s%.1f s", NR > 1 ? ", " : "", at) }
        END { if (early != "") { print "early:" early; exit 1 } print line }' <<<"$times") ||
        fail "the push came before its time: $out"
    figure "$ARCH at $LATER: pushes over TLS $out after the start (due at 60, 70, 80 s)"
    line=$(guest 'journalctl -b -u kovex4-receiver -o short-iso --no-pager | grep " slot unit=1 " | tail -n 1')
    [[ $line == "$year-"* ]] || fail "the receiver's journal line is not of $year: $line"
    ok "pushed over TLS on schedule: $line"
    out=$(guest 'journalctl -b -p warning -o cat | grep -i kovex4') && fail "warnings about kovex4: $out"
    ok "no warning about kovex4 in the journal of this boot"
}

check_boot() {
    echo "=== boot: systemd as PID 1, the unit active (READY=1), the first answer"
    # No connection is tried before the guest's network is up: the emulator's user network would
    # keep trying to pass it on and deliver it to the gateway much later, where it would replace
    # a client of the test.
    wait_shell
    wait_active
    wait_answer 60 || fail "no answer from the gateway $(since "$BOOTED") s after the start"
    figure "$ARCH: boot to the first answer: $(since "$BOOTED") s (emulator started to mbpoll's first good read)"
    guest '[ "$(cat /proc/1/comm)" = systemd ] && systemctl is-system-running --wait' ||
        fail "the system is not up: $(guest 'systemctl --failed --no-legend')"
    # The PCI device is the tty's device (Debian 12's kernel) or above it (13's: serial ports and
    # their controllers come between).
    guest "d=\$(readlink -f /sys/class/tty/$UART_TTY/device); until [ -e \$d/vendor ] || [ \$d = /sys ]; do d=\${d%/*}; done
        grep -qx 0x1b36 \$d/vendor && dmesg | grep -E '$UART_TTY .* is a 16550A'" ||
        fail "$UART_TTY is not the PCI 16550"
    ok "systemd is PID 1, the system is running, kovex4.service active; $UART_TTY is the PCI 16550"
    guest 'systemd-analyze security --no-pager --threshold=20 kovex4 | tail -n 1' ||
        fail "systemd-analyze security rates the unit above 2.0"
}

check_modbus() {
    echo "=== mbpoll reads and writes; the counters (SIGUSR1) and the trace (SIGUSR2) through the unit"
    mb -r 1025 -c 3 >"$WORK/mb.out" 2>&1 && grep -q '^\[1027\]:.*30000' "$WORK/mb.out" ||
        fail "mbpoll read: $(cat "$WORK/mb.out")"
    # Two values: function 16 (one value would be function 6, which the settings leave off).
    mb -r 1027 -- 4321 8765 >"$WORK/mb.out" 2>&1 || fail "mbpoll write: $(cat "$WORK/mb.out")"
    mb -r 1027 -c 2 >"$WORK/mb.out" 2>&1 && tr -d '\t' <"$WORK/mb.out" | grep -qx '\[1027\]: *4321' &&
        tr -d '\t' <"$WORK/mb.out" | grep -qx '\[1028\]: *8765' || fail "mbpoll read back: $(cat "$WORK/mb.out")"
    ok "mbpoll read 100 2000 30000 from registers 1025-1027, wrote 4321 8765 to 1027-1028 and read them back"
    guest 'systemctl kill -s SIGUSR1 kovex4' || fail "systemctl kill -s SIGUSR1"
    journal 'counters: .* requests_fc3=[1-9][0-9]* requests_fc16=1 ' || fail "no counters in the journal"
    guest 'systemctl kill -s SIGUSR2 kovex4' || fail "systemctl kill -s SIGUSR2"
    journal '^traffic trace on$' >/dev/null || fail "the trace did not start"
    mb -r 1025 >/dev/null
    journal '^trace 10\.0\.2\.2 modbus request: ' >/dev/null && journal '^trace 10\.0\.2\.2 device reply: ' ||
        fail "no trace lines of the read"
    guest 'systemctl kill -s SIGUSR2 kovex4' && journal '^traffic trace off$' >/dev/null ||
        fail "the trace did not stop"
    ok "counters and trace through systemctl kill and the journal"
}

# memory [files]: the daemon's resident memory now, with "files" that of each file it maps (the
# image's /root/memory, above).
memory() {
    guest "/root/memory ${1:-}"
}
check_figures() {
    echo "=== figures"
    local rtt
    rtt=$($PY -B "$LOAD_PEER" load "$PORT" "$WORK/certs" plain 1 50 </dev/null) || fail "rtt: $rtt"
    figure "$ARCH: a 2-register read from the host through the emulated UART: $rtt"
    figure "$ARCH: the daemon's resident memory under systemd: $(memory)"
}

check_kill9() {
    echo "=== kill -9: systemd restarts the daemon"
    local pid killed
    pid=$(main_pid)
    killed=$EPOCHREALTIME
    guest "kill -9 $pid"
    wait_answer 120 || fail "no answer after kill -9"
    figure "$ARCH: kill -9 to the next answer: $(since "$killed") s (RestartSec=5)"
    [ "$(main_pid)" != "$pid" ] || fail "the daemon was not restarted"
    ok "restarted after kill -9 ($pid -> $(main_pid))"
}

check_watchdog() {
    echo "=== kill -STOP: the watchdog fires after WatchdogSec, systemd restarts the daemon"
    local pid stopped
    pid=$(main_pid)
    stopped=$EPOCHREALTIME
    guest "kill -STOP $pid"
    guest_until 180 'journalctl -b -u kovex4 -o cat | grep -q "Watchdog timeout"' ||
        fail "no watchdog timeout within 180 s"
    figure "$ARCH: kill -STOP to the watchdog's timeout: $(since "$stopped") s (WatchdogSec=60)"
    wait_answer 120 || fail "no answer after the watchdog's restart"
    figure "$ARCH: kill -STOP to the next answer: $(since "$stopped") s"
    [ "$(main_pid)" != "$pid" ] || fail "the daemon was not restarted"
    ok "the watchdog ended the stopped daemon ($pid), systemd restarted it ($(main_pid))"
}

check_uart() {
    echo "=== the UART's host side closed and reopened"
    ns_stop "$SIM_PID"
    SIM_PID=''
    mb -r 1025 >"$WORK/mb.out" 2>&1 || true
    ! grep -q '^\[1025\]' "$WORK/mb.out" || fail "a read answered without the device: $(cat "$WORK/mb.out")"
    journal '^read failed \(RN 1025, WC 1\)$' || fail "no \"read failed\" line"
    ok "without the host side the read fails: $(grep -m1 -i 'fail\|error' "$WORK/mb.out")"
    start_sim
    wait_answer 60 || fail "no answer after the host side was reopened"
    ok "the host side reopened: answers again"
}

check_tls() {
    echo "=== Modbus over TLS with roles: the second settings file"
    # Started again over a stale lock file of root's, which ExecStartPre=+ removes.
    guest "systemctl stop kovex4 && printf '%10d\\n' 999999 >/run/lock/LCK..$UART_TTY &&
        install -m 640 -g kovex4 /srv/site/settings.tls /opt/kovex4/etc/settings && systemctl start kovex4" ||
        fail "kovex4 did not start with the TLS settings over a stale lock"
    [ "$(guest "cat /run/lock/LCK..$UART_TTY")" -eq "$(main_pid)" ] || fail "the lock is not the daemon's"
    ok "started over root's stale lock file (ExecStartPre=+), the lock is the daemon's"
    local out
    out=$($PY "$TLS_PEER" client "$TLS_PORT" "$WORK/certs" writer)
    [ "$out" = "read 100 2000 write ok" ] || fail "TLS writer: $out"
    out=$($PY "$TLS_PEER" client "$TLS_PORT" "$WORK/certs" reader)
    [ "$out" = "read 100 2000 write exception 1" ] || fail "TLS reader: $out"
    out=$($PY "$TLS_PEER" client "$TLS_PORT" "$WORK/certs" foreign)
    [ "$out" = "handshake failed" ] || fail "TLS client of another authority: $out"
    journal '^TLS connection from 10\.0\.2\.2 established \(role operator\)$' >/dev/null &&
        journal '^TLS connection from 10\.0\.2\.2 established \(role viewer\)$' >/dev/null ||
        fail "no TLS connection lines"
    ok "TLS: role operator reads and writes, role viewer only reads, another authority is refused"
    echo "=== 16 TLS clients"
    coproc PEER { $PY -B "$LOAD_PEER" load "$TLS_PORT" "$WORK/certs" writer 16 10; }
    PEER_PID=$PEER_PID
    local line
    IFS= read -r -t 600 line <&"${PEER[0]}" || fail "16 TLS clients: no result"
    [[ $line == "16 clients"* ]] || fail "16 TLS clients: $line"
    figure "$ARCH: 16 TLS clients: $line"
    figure "$ARCH: the daemon's resident memory with 16 TLS clients: $(memory)"
    figure "$ARCH: with 16 TLS clients, resident per file: $(memory files)"
    local fd=${PEER[1]}
    exec {fd}>&-
    wait "$PEER_PID" || true
    PEER_PID=''
}

check_mqtt() {
    echo "=== MQTT over TLS: publication from the guest to Debian's mosquitto on the host"
    local out deadline
    mkdir "$WORK/broker"
    # Client certificates of the site's authority, the broker's own certificate for its addresses.
    $PY "$MQTT_PEER" broker "$WORK/broker" "$BROKER_PORT" --tls "$WORK/certs" --cert broker \
        >"$WORK/broker/out" 2>&1 &
    BROKER_PID=$!
    deadline=$((SECONDS + 30))
    until grep -q "listen socket on port $BROKER_PORT" "$WORK/broker/broker.log" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] && kill -0 "$BROKER_PID" 2>/dev/null ||
            fail "the broker did not start: $(cat "$WORK/broker/out" "$WORK/broker/broker.log" 2>/dev/null)"
        sleep 0.1
    done
    guest "systemctl stop kovex4 && install -m 640 -g kovex4 /srv/site/settings.mqtt /opt/kovex4/etc/settings &&
        systemctl start kovex4" || fail "kovex4 did not start with the MQTT settings"
    journal "^MQTT connection to ${BROKER_ADDR//./\\.} established\$" >/dev/null ||
        fail "no MQTT connection: $(guest 'journalctl -b -t kovex4 -o cat --no-pager | tail -n 5')"
    # The status (retained, or live if the subscriber came first) and the first slot message that
    # follows, which the gateway sends every 10 s.
    out=$(mosquitto_sub -h 127.0.0.1 -p "$BROKER_PORT" --cafile "$WORK/certs/ca.pem" \
        --cert "$WORK/certs/writer.pem" --key "$WORK/certs/writer.key" -i test-sub \
        -t 'kovex4/gateway/#' -F '%t %p' -C 2 -W 120 2>&1) ||
        fail "no messages from the gateway at the broker: $out $(tail -n 5 "$WORK/broker/broker.log")"
    [ "$(head -n 1 <<<"$out")" = "kovex4/gateway/status online" ] || fail "no status \"online\": $out"
    grep -Eqx 'kovex4/gateway/slot/1 \{"slot":1,"start":1025,"time":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{3}Z","values":\[100,2000\]\}' \
        <<<"$(tail -n 1 <<<"$out")" || fail "not the device's values: $out"
    ok "published over TLS to the broker on the host: $(tr '\n' ';' <<<"$out")"
    figure "$ARCH: the daemon's resident memory with MQTT and TLS on: $(memory)"
    figure "$ARCH: with MQTT and TLS on, resident per file: $(memory files)"
}

check_reboot() {
    echo "=== reboot: the service is back with its settings"
    local old=$BOOT_ID rebooted=$EPOCHREALTIME out
    printf 'systemctl reboot\n' >&"$SHELL_IN"
    wait_shell
    wait_active
    out=$($PY "$TLS_PEER" client "$TLS_PORT" "$WORK/certs" writer)
    [ "$out" = "read 100 2000 write ok" ] || fail "TLS writer after the reboot: $out"
    figure "$ARCH: reboot to the first TLS answer: $(since "$rebooted") s"
    # The gateway may start before the guest's network is configured: its first tries fail
    # ("Network is unreachable") and it tries again at most a minute apart.
    guest_until 120 "journalctl -b -t kovex4 -o cat | grep -qE '^MQTT connection to ${BROKER_ADDR//./\\.} established\$'" ||
        fail "no MQTT connection after the reboot: $(guest 'journalctl -b -t kovex4 -o cat --no-pager | grep MQTT | tail -n 3')"
    ok "after the reboot the service runs with the TLS and MQTT settings"
    # Nothing in this boot (the unit's start, the sandbox, the TLS clients) was worth a warning.
    out=$(guest 'journalctl -b -p warning -o cat | grep -i kovex4') && fail "warnings about kovex4: $out"
    ok "no warning about kovex4 in the journal of this boot"
}

check_purge() {
    echo "=== apt-get purge"
    guest 'rm -r /srv/site && apt-get purge -y -q kovex4 kovex4-tools >/tmp/purge.log 2>&1' ||
        fail "apt-get purge: $(guest 'tail -n 5 /tmp/purge.log')"
    local left
    left=$(guest 'systemctl is-active kovex4; getent passwd kovex4; getent group kovex4; dpkg -l | grep kovex4; ls /run/lock | grep LCK; find / \( -path /proc -o -path /sys \) -prune -o \( -name "*kovex4*" -o -nouser -o -nogroup \) -print')
    [ "$left" = "inactive" ] || fail "left after purging: $left"
    ok "purged: the service stopped; no user, group, package, lock file or file of kovex4 is left"
}

boot "$WORK/disk.img"
check_boot
check_figures
check_modbus
check_kill9
check_uart
check_watchdog
check_tls
check_mqtt
check_reboot
check_purge
if [ -n "$LATER" ]; then
    halt
    check_later
fi
echo "=== figures ($ARCH)"
printf '%s\n' "${FIGURES[@]}"
echo "system test passed ($ARCH) in $(since "$START") s"
