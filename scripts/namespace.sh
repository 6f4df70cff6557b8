# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# Sourced by scripts/demo.sh, scripts/footprint.sh and scripts/test-package.sh: runs the kovex4
# daemon in a private mount namespace, so that nothing on the machine changes. Inside it the
# daemon has its own settings folder (/opt/kovex4/etc), lock folder (/var/lock) and /dev (the
# pseudo-terminals, null, zero, random, urandom, a /dev/log socket and links to its serial
# device). Its syslog lines arrive on a datagram socket outside the namespace.
#
# Outside the namespace: ns_workdir, ns_syslog_start, ns_stop, ns_run_daemon, ns_run_tool.
# Inside it (a shell started with unshare that sources this file again, see ns_run_daemon):
# ns_mount_settings, ns_mount_lock, ns_private_dev, ns_read_only_except.

NS_HELPER=$(readlink -f "${BASH_SOURCE[0]}")
NS_PY=/usr/bin/python3

# ns_workdir NAME: creates and prints a temporary folder "${TMPDIR:-/tmp}/kovex4-NAME.XXXXXX".
# It must not lie below a folder that the namespaces cover.
ns_workdir() {
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/kovex4-$1.XXXXXX") || return 1
    dir=$(readlink -f "$dir")
    case "$dir/" in
    /opt/* | /etc/* | /run/* | /dev/* | /proc/* | /sys/* | /var/lib/dpkg/* | /var/lib/systemd/* | \
        /var/cache/man/*)
        echo "TMPDIR: $dir is below a folder the private namespace covers; choose another TMPDIR" >&2
        rmdir "$dir"
        return 1
        ;;
    esac
    echo "$dir"
}

# ns_syslog_start SOCKET FILE: a syslog reader on the datagram socket SOCKET (which becomes a
# daemon's /dev/log, writable by every user like the real one), writing each message to FILE as
# "facility.level tag[pid]: message". Sets NS_SYSLOG_PID.
ns_syslog_start() {
    # shellcheck disable=SC2016 # Python, not shell
    $NS_PY -u -c '
import os, re, socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1] + ".new")
os.chmod(sys.argv[1] + ".new", 0o666)
os.rename(sys.argv[1] + ".new", sys.argv[1])
out = open(sys.argv[2], "a", buffering=1)
levels = ["emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"]
while True:
    text = sock.recv(4096).decode(errors="replace").rstrip("\n\0")
    m = re.match(r"<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d )?(.*)", text, re.S)
    if m:
        pri = int(m.group(1))
        text = "%s.%s %s" % ("daemon" if pri >> 3 == 3 else "facility%d" % (pri >> 3),
                             levels[pri & 7], m.group(3))
    out.write(text + "\n")
' "$1" "$2" &
    # shellcheck disable=SC2034 # read by the scripts that source this file
    NS_SYSLOG_PID=$!
    local tenths=50
    while [ ! -S "$1" ]; do
        tenths=$((tenths - 1))
        if [ "$tenths" -le 0 ]; then
            echo "the syslog reader did not start" >&2
            return 1
        fi
        sleep 0.1
    done
}

# ns_stop PID...: ends the processes given (the empty string is skipped) and waits for them.
ns_stop() {
    local pid
    for pid in "$@"; do
        if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    done
    for pid in "$@"; do
        if [ -n "$pid" ]; then wait "$pid" 2>/dev/null || true; fi
    done
}

# ns_run_daemon WORK BINARY DEVICE TARGET [LOG_SOCKET]: runs BINARY in a new private mount
# namespace where WORK/etc is /opt/kovex4/etc, WORK/lock is /var/lock and /dev is private, with
# /dev/DEVICE a link to TARGET and, when given, /dev/log bound to LOG_SOCKET (without one the log
# lines go nowhere). WORK/dev must be an empty folder. Run it in the background: the shell
# becomes the daemon, so the background job's pid is the daemon's.
ns_run_daemon() {
    local work=$1 binary=$2 device=$3 target=$4 log=${5:-}
    # shellcheck disable=SC2016 # expanded by the inner shell
    exec unshare -m --propagation private /bin/bash -e -c '
. "$1"
ns_mount_settings "$2/etc"
ns_mount_lock "$2/lock"
ns_private_dev "$2/dev" "$5" "$4=$6"
exec "$3"
' kovex4-ns "$NS_HELPER" "$work" "$binary" "$device" "$log" "$target"
}

# ns_run_tool WORK SCRATCH DEVICE TARGET COMMAND...: runs COMMAND in a new private mount namespace
# that looks like the daemon's of ns_run_daemon (WORK/etc is /opt/kovex4/etc, WORK/lock is
# /var/lock, /dev private with /dev/DEVICE a link to TARGET, built in the empty folder SCRATCH),
# so that a tool such as kovex4-probe finds the gateway's settings, lock files and device where
# the gateway does. Returns COMMAND's exit status.
ns_run_tool() {
    local work=$1 scratch=$2 device=$3 target=$4
    shift 4
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -m --propagation private /bin/bash -e -c '
. "$1"
ns_mount_settings "$2/etc"
ns_mount_lock "$2/lock"
ns_private_dev "$3" "" "$4=$5"
shift 5
exec "$@"
' kovex4-ns "$NS_HELPER" "$work" "$scratch" "$device" "$target" "$@"
}

# ns_mount_settings DIR: DIR becomes /opt/kovex4/etc. When the machine has no such folder, a
# tmpfs on /opt holds the mount point.
ns_mount_settings() {
    if [ ! -d /opt/kovex4/etc ]; then
        mount -t tmpfs -o mode=755 kovex4-ns /opt
        mkdir -p /opt/kovex4/etc
    fi
    mount --bind "$1" /opt/kovex4/etc
}

# ns_mount_lock DIR: DIR becomes the lock folder /var/lock (on Debian a link to /run/lock), open
# to every user with the sticky bit like the real one.
ns_mount_lock() {
    chmod 1777 "$1"
    [ -d /var/lock ] || mkdir -p "$(readlink -f /var/lock)"
    mount --bind "$1" /var/lock
}

# ns_private_dev SCRATCH [LOG_SOCKET [NAME=TARGET]...]: replaces /dev with a tmpfs, built in the
# empty folder SCRATCH, holding the pseudo-terminals (pts, ptmx), null, zero, random, urandom,
# fd, /dev/log bound to LOG_SOCKET when it is not empty, and a link /dev/NAME -> TARGET for each
# NAME=TARGET (NAME may name subfolders).
ns_private_dev() {
    local dev=$1 log=${2:-} node link
    shift 2 || shift $#
    mount -t tmpfs -o mode=755 kovex4-ns "$dev"
    mkdir "$dev/pts"
    mount --bind /dev/pts "$dev/pts"
    for node in null zero random urandom; do
        touch "$dev/$node"
        mount --bind "/dev/$node" "$dev/$node"
    done
    ln -s /proc/self/fd "$dev/fd"
    ln -s pts/ptmx "$dev/ptmx"
    if [ -n "$log" ]; then
        touch "$dev/log"
        mount --bind "$log" "$dev/log"
    fi
    for link in "$@"; do
        mkdir -p "$(dirname "$dev/${link%%=*}")"
        ln -s "${link#*=}" "$dev/${link%%=*}"
    done
    mount --move "$dev" /dev
}

# ns_read_only_except PATH...: makes every mount of this namespace read-only except /proc, /sys,
# /dev and the mounts at the PATHs given, as systemd's ProtectSystem=strict does with
# ReadWritePaths=. Mounts below /mnt and /media are left alone: they are the machine's own.
ns_read_only_except() {
    local target keep
    while read -r target; do
        target=$(printf '%b' "$target")
        case "$target" in
        /proc | /proc/* | /sys | /sys/* | /dev | /dev/* | /mnt/* | /media/*) continue ;;
        esac
        for keep in "$@"; do
            [ "$target" = "$keep" ] && continue 2
        done
        mount -o remount,bind,ro "$target"
    done < <(findmnt -rn -o TARGET)
}
