#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes the Debian packages of a native build folder (kovex4 and kovex4-tools, amd64 here) and
# installs them with dpkg the way a user would, but inside private mount and network namespaces:
# /etc, /usr and /var (with the dpkg database and /etc/passwd) are copy-on-write views, /opt, /run,
# /var/lock and /dev the test's own, so nothing on the machine changes; port 502 is the
# namespace's own.
#  - Installing creates the system user kovex4 (group kovex4, member of dialout) and the settings
#    file (root:kovex4 0640); the unit is in systemd's folder of the release the package was made
#    on (/lib/systemd/system on Debian 12, /usr/lib/systemd/system on 13), passes systemd-analyze verify
#    and is rated 2.5 or lower by systemd-analyze security; the unit and the init script are
#    enabled (starting them is left to policy-rc.d, which forbids it in the test).
#    Reinstalling keeps a changed settings file.
#  - SysV: the init script starts the daemon (as root) against the package's simulator, a Modbus
#    TCP client reads and writes through it on port 502, and the init script stops it.
#  - systemd: the daemon runs as the unit runs it (its ExecStart, its User with that user's groups,
#    its one capability, no new privileges, the file system read-only except its ReadWritePaths)
#    and serves a read and a write on port 502. The unit's ExecStopPost, run the same way,
#    removes the lock file the daemon left. Both are traced: every system call they make must
#    pass the unit's SystemCallFilter and every socket they create its RestrictAddressFamilies.
#  - Removal keeps the settings and masks the unit; purging removes the settings, the user and its
#    group, the init script and what was registered: /etc/passwd, group, shadow and gshadow are
#    as before the installation.
#   bash scripts/test-package.sh BUILD_DIR      (run as root; it fails otherwise)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
PY=/usr/bin/python3
# shellcheck source=scripts/namespace.sh
. "$SRC/scripts/namespace.sh"

fail() {
    echo "test-package.sh: $*" >&2
    exit 1
}
ok() { echo "ok: $*"; }

# ---- Inside the namespaces (the script runs itself again through unshare) ----

# unit_value KEY: the values of KEY= in the installed unit ($UNIT), one per line.
unit_value() {
    sed -n "s/^$1=//p" "$UNIT"
}

# expand_syscalls NAME...: the system calls of the names given (@group or call), one per line.
expand_syscalls() {
    local name entry
    for name in "$@"; do
        if [[ $name != @* ]]; then
            echo "$name"
            continue
        fi
        systemd-analyze syscall-filter --no-pager "$name" | sed -n '2,$ { /^ *#/d; s/^ *//; /^$/d; p }' |
            while read -r entry; do expand_syscalls "$entry"; done
    done
}

# allowed_syscalls: the system calls the unit's SystemCallFilter= lines let through, one per line:
# the first lists what is allowed, each ~ line takes its calls away.
allowed_syscalls() {
    local filter allowed=""
    while read -r filter; do
        if [[ $filter == ~* ]]; then
            # shellcheck disable=SC2086 # a list of names
            allowed=$(comm -23 <(echo "$allowed") <(expand_syscalls ${filter#\~} | sort -u))
        else
            # shellcheck disable=SC2086
            allowed=$( (echo "$allowed"; expand_syscalls $filter) | sed '/^$/d' | sort -u)
        fi
    done < <(unit_value SystemCallFilter)
    echo "$allowed"
}

# as_unit_user PATHS CAPS COMMAND...: runs COMMAND the way the unit runs its commands: as its User
# and Group with the user's groups, with the capabilities CAPS (setpriv's list, "-all,+cap")
# inherited, ambient and bounding, no new privileges, and in a mount namespace where only the
# PATHS (ReadWritePaths) are writable. TRACE, when set, is the command that runs all this.
TRACE=()
as_unit_user() {
    local paths=$1 caps=$2
    shift 2
    # shellcheck disable=SC2016,SC2086 # expanded by the inner shell; PATHS is a list
    "${TRACE[@]}" unshare -m --propagation private /bin/bash -e -c '
. "$1"
ns_read_only_except $2
shift 2
exec "$@"' as-unit-user "$NS_HELPER" "$paths" setpriv --reuid="$(unit_value User)" \
        --regid="$(unit_value Group)" --init-groups --inh-caps="$caps" --ambient-caps="$caps" \
        --bounding-set="$caps" --no-new-privs -- "$@"
}

# with_tmp COMMAND...: runs COMMAND with a writable /tmp of its own (systemd-analyze needs one).
with_tmp() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -m --propagation private /bin/bash -e -c 'mount -t tmpfs kovex4-package /tmp; exec "$@"' \
        with-tmp "$@"
}

# wait_lock_owner FILE: waits up to 10 s for the lock file FILE, then prints the pid in it.
wait_lock_owner() {
    local owner=''
    for _ in $(seq 100); do
        [ -s "$1" ] && read -r owner <"$1" && [ -n "$owner" ] && break
        sleep 0.1
    done
    [ -n "$owner" ] || return 1
    echo "$owner"
}

# in_syslog PATTERN: waits up to 10 s for a line matching PATTERN (grep) in the syslog file: the
# reader writes each message a moment after the daemon sent it, maybe after the daemon has ended.
in_syslog() {
    for _ in $(seq 100); do
        grep -q "$1" "$work/syslog" && return 0
        sleep 0.1
    done
    return 1
}

inside() {
    local work=$1 daemon_deb=$2 tools_deb=$3 src=$4
    UNIT=$5
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C
    ip link set lo up
    # /etc, /usr, /var (and /lib where it is not a link into /usr) become copy-on-write views whose
    # changes go to a tmpfs of this namespace; /opt and /run are empty tmpfs. (The root file
    # system stays writable: purging, dpkg removes the folders it created, /opt included, and
    # that fails on a read-only root; /opt is a mount point here, so it stays.)
    local dir
    mount -t tmpfs -o mode=700 kovex4-package "$work/layers"
    for dir in /etc /usr /var /lib; do
        [ -d "$dir" ] && [ ! -L "$dir" ] || continue
        mkdir -p "$work/layers$dir/upper" "$work/layers$dir/work"
        mount -t overlay kovex4-package \
            -o "lowerdir=$dir,upperdir=$work/layers$dir/upper,workdir=$work/layers$dir/work" "$dir"
    done
    mount -t tmpfs kovex4-package /opt
    mount -t tmpfs kovex4-package /run
    # Services are started the Debian way, through invoke-rc.d and deb-systemd-invoke; here, as on a
    # machine that builds images, policy-rc.d forbids it, so that what the package enables is
    # checked without it running (systemd does not run here either).
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    ns_mount_lock "$work/lock"
    ns_private_dev "$work/dev" "$work/log.sock"

    # The processes started here (globals: the trap runs after this function has returned).
    sim_pid='' daemon_pid='' tracer=''
    # shellcheck disable=SC2317 # called by the trap
    cleanup_inside() {
        if [ -s /run/kovex4.pid ]; then kill "$(cat /run/kovex4.pid)" 2>/dev/null || true; fi
        ns_stop "$daemon_pid" "$tracer" "$sim_pid"
    }
    trap cleanup_inside EXIT
    local settings=/opt/kovex4/etc/settings unit=$UNIT
    dpkg_run() {
        dpkg --log=/dev/null "$@" >"$work/dpkg.out" 2>&1 || fail "dpkg $*: $(cat "$work/dpkg.out")"
    }

    echo "=== dpkg -i kovex4 kovex4-tools (fresh)"
    dpkg_run -i "$daemon_deb" "$tools_deb"
    cat "$work/dpkg.out"
    grep -q "restart the gateway: systemctl restart kovex4" "$work/dpkg.out" &&
        ! grep -q "enable --now" "$work/dpkg.out" ||
        fail "the install message does not say that the gateway is enabled and started"
    ok "the install message: the gateway is enabled and started; restart it after editing the settings"
    local uid gid dialout
    uid=$(id -u kovex4) || fail "no user kovex4"
    gid=$(getent group kovex4 | cut -d: -f3) || fail "no group kovex4"
    dialout=$(getent group dialout | cut -d: -f3)
    [ "$(id -g kovex4)" = "$gid" ] && [ "$uid" -lt 1000 ] || fail "kovex4 is not a system user: $(id kovex4)"
    [ "$(id -nG kovex4 | tr ' ' '\n' | sort | tr '\n' ' ')" = "dialout kovex4 " ] ||
        fail "groups of kovex4: $(id -nG kovex4), want kovex4 dialout"
    [ "$(getent passwd kovex4 | cut -d: -f6,7)" = /nonexistent:/usr/sbin/nologin ] ||
        fail "kovex4 has a home or a shell: $(getent passwd kovex4)"
    ok "system user kovex4 ($uid), groups kovex4 and dialout, no home, no shell"
    cmp -s "$settings" /opt/kovex4/etc/settings.example || fail "settings not created from the example"
    [ "$(stat -c %U:%G:%a "$settings")" = root:kovex4:640 ] ||
        fail "settings are $(stat -c %U:%G:%a "$settings"), want root:kovex4:640"
    ok "etc/settings created from settings.example, root:kovex4 0640"

    [ -f "$unit" ] && [ ! -e /opt/kovex4/lib ] || fail "the unit is not (only) in ${unit%/*}"
    grep -qx "ExecStart=/opt/kovex4/bin/kovex4" "$unit" || fail "the unit starts another program"
    with_tmp systemd-analyze verify "$unit" >"$work/verify.out" 2>&1 ||
        fail "systemd-analyze verify: $(cat "$work/verify.out")"
    [ ! -s "$work/verify.out" ] || fail "systemd-analyze verify: $(cat "$work/verify.out")"
    with_tmp systemd-analyze security --offline=true --threshold=25 --no-pager "$unit" >"$work/security.out" 2>&1 ||
        fail "systemd-analyze security rates the unit above 2.5: $(tail -n 1 "$work/security.out")"
    ok "$unit passes systemd-analyze verify; $(tail -n 1 "$work/security.out" | sed 's/^-> //')"
    grep -qx "DAEMON=/opt/kovex4/bin/kovex4" /etc/init.d/kovex4 || fail "init script names another daemon"
    [ "$(find /etc/rc[2-5].d -name 'S*kovex4' | wc -l)" = 4 ] ||
        fail "the init script is not enabled: $(find /etc/rc?.d -name '*kovex4')"
    [ -e /var/lib/systemd/deb-systemd-helper-enabled/kovex4.service.dsh-also ] ||
        fail "the unit is not registered with deb-systemd-helper"
    # The link names the unit through /lib or /usr/lib, as the release's deb-systemd-helper finds it.
    [ "$(readlink -f /etc/systemd/system/multi-user.target.wants/kovex4.service)" = "$(readlink -f "$unit")" ] ||
        fail "installing did not enable the unit"
    [ ! -e /run/kovex4.pid ] && [ -z "$(ls /var/lock)" ] || fail "policy-rc.d did not keep the daemon from starting"
    ok "/etc/init.d/kovex4 and the unit enabled; starting left to policy-rc.d (which forbids it here)"
    for page in 8/kovex4 5/kovex4-settings 1/kovex4-devsim 1/kovex4-pushrecv 1/kovex4-probe; do
        [ "$(man -w "${page%%/*}" "${page#*/}")" = "/usr/share/man/man${page%%/*}/${page#*/}.${page%%/*}.gz" ] ||
            fail "man ${page%%/*} ${page#*/} is not found"
    done
    ok "man kovex4, kovex4-settings, kovex4-devsim, kovex4-pushrecv, kovex4-probe"
    for tool in kovex4-probe kovex4-devsim kovex4-pushrecv; do
        [ "$(command -v "$tool")" = "/usr/bin/$tool" ] && [ "$(readlink -f "/usr/bin/$tool")" = "/opt/kovex4/bin/$tool" ] ||
            fail "$tool is not on PATH as a link to /opt/kovex4/bin/$tool"
        "$tool" --help >"$work/help.out" 2>&1 || fail "$tool --help: $(cat "$work/help.out")"
    done
    ! command -v kovex4 >/dev/null || fail "the daemon is on PATH: $(command -v kovex4)"
    ok "kovex4-probe, kovex4-devsim and kovex4-pushrecv on PATH (links into /opt/kovex4/bin); the daemon not"

    cat >"$settings" <<EOF
MOD_KOVEX4_ENABLED=1
MOD_KOVEX4_DEVICE=ttyPKG0
MOD_KOVEX4_BAUDRATE=9600
MOD_KOVEX4_PORT=502
MOD_KOVEX4_STATION=1
EOF
    cp "$settings" "$work/settings.site"
    echo "=== dpkg -i kovex4 (again, site settings in place)"
    dpkg_run -i "$daemon_deb"
    cmp -s "$settings" "$work/settings.site" || fail "reinstalling changed etc/settings"
    [ "$(stat -c %U:%G:%a "$settings")" = root:kovex4:640 ] || fail "reinstalling changed the settings' owner or mode"
    [ ! -e /run/kovex4.pid ] && [ -z "$(ls /var/lock)" ] || fail "reinstalling started the daemon"
    ok "etc/settings kept; the daemon not started"

    # start_sim: a fresh simulator (holding the values the client expects) on /dev/ttyPKG0, and
    # its lock file's name in `lock`.
    local lock
    start_sim() {
        ns_stop "$sim_pid"
        mapfile -t sim_args < <($PY "$src/scripts/demo_client.py" devsim-args)
        /opt/kovex4/bin/kovex4-devsim "${sim_args[@]}" --link /dev/ttyPKG0 >"$work/devsim.out" 2>&1 &
        sim_pid=$!
        for _ in $(seq 50); do
            [ -L /dev/ttyPKG0 ] && break
            sleep 0.1
        done
        [ -L /dev/ttyPKG0 ] || fail "kovex4-devsim: $(cat "$work/devsim.out")"
        # The lock is named after the pty the link points to.
        lock=/var/lock/LCK..$(basename "$(readlink /dev/ttyPKG0)")
    }
    echo "=== simulator; kovex4-probe line; SysV: init script start (as root)"
    start_sim
    /opt/kovex4/bin/kovex4-probe line --register 0x400:2 >"$work/probe.out" 2>&1 ||
        fail "kovex4-probe line: $(cat "$work/probe.out")"
    [ ! -e "$lock" ] || fail "kovex4-probe line left its lock file"
    ok "kovex4-probe line reads the simulator through the site settings and releases the lock"
    /etc/init.d/kovex4 start || fail "init script start: status $?"
    /etc/init.d/kovex4 status || fail "status after start: $?"
    local pid
    pid=$(cat /run/kovex4.pid)
    [ "$(readlink "/proc/$pid/exe")" = /opt/kovex4/bin/kovex4 ] || fail "pid $pid is not the installed daemon"
    ok "daemon pid $pid runs /opt/kovex4/bin/kovex4"
    $PY "$src/scripts/demo_client.py" run 502 >"$work/client.out" 2>&1 || fail "client: $(cat "$work/client.out")"
    ok "a Modbus TCP client reads and writes through it on port 502"
    in_syslog "kovex4\[$pid\]: started" || fail "no \"started\" log line: $(cat "$work/syslog")"
    in_syslog "kovex4\[$pid\]: TCP connection from 127.0.0.1 established" || fail "no connection log line"
    ok "syslog: started, TCP connection from 127.0.0.1 established"
    /opt/kovex4/bin/kovex4-probe status --log "$work/syslog" >"$work/probe.out" 2>&1 ||
        fail "kovex4-probe status: $(cat "$work/probe.out")"
    grep -q "requests_fc3" "$work/probe.out" || fail "kovex4-probe status: $(cat "$work/probe.out")"
    ok "kovex4-probe status shows the counters the daemon logs"
    /etc/init.d/kovex4 stop || fail "init script stop: status $?"
    local rc=0
    /etc/init.d/kovex4 status || rc=$?
    [ "$rc" = 3 ] || fail "status after stop: $rc, want 3"
    ! kill -0 "$pid" 2>/dev/null || fail "daemon $pid still runs"
    [ ! -e "$lock" ] || fail "lock file left behind"
    ok "init script stop: the daemon ended, its lock file removed"

    echo "=== systemd: the daemon as the unit runs it"
    local user caps rw start cap
    user=$(unit_value User)
    caps=$(unit_value AmbientCapabilities)
    rw=$(unit_value ReadWritePaths)
    start=$(unit_value ExecStart)
    [ "$user" = kovex4 ] && [ "$(unit_value Group)" = kovex4 ] || fail "the unit runs as $user"
    [ "$caps" = CAP_NET_BIND_SERVICE ] && [ "$(unit_value CapabilityBoundingSet)" = "$caps" ] ||
        fail "the unit's capabilities: ambient $caps, bounding $(unit_value CapabilityBoundingSet)"
    [ "$(unit_value NoNewPrivileges)" = yes ] && [ "$(unit_value ProtectSystem)" = strict ] ||
        fail "the unit lacks NoNewPrivileges=yes or ProtectSystem=strict"
    cap=${caps#CAP_}
    cap=${cap,,}
    # The simulator's pty, like a serial line, belongs to the group dialout.
    start_sim
    chgrp dialout "$(readlink /dev/ttyPKG0)"
    chmod 660 "$(readlink /dev/ttyPKG0)"
    : >"$work/syslog"
    TRACE=(strace -f -qq -o "$work/strace.out")
    # shellcheck disable=SC2086 # ExecStart holds the program and its arguments
    as_unit_user "$rw" "-all,+$cap" $start >"$work/daemon.out" 2>&1 &
    tracer=$!
    TRACE=()
    daemon_pid=$(wait_lock_owner "$lock") ||
        fail "the daemon did not take its lock: $(cat "$work/daemon.out" "$work/syslog")"
    [ "$(readlink "/proc/$daemon_pid/exe")" = "$start" ] || fail "pid $daemon_pid is not $start"
    local status want=0000000000000400 # CAP_NET_BIND_SERVICE only
    status=$(cat "/proc/$daemon_pid/status")
    grep -Eq "^Uid:\s+$uid\s+$uid\s+$uid\s+$uid$" <<<"$status" &&
        grep -Eq "^Gid:\s+$gid\s+$gid\s+$gid\s+$gid$" <<<"$status" ||
        fail "the daemon's ids: $(grep -E '^(Uid|Gid)' <<<"$status")"
    [ "$(sed -n 's/^Groups:\s*//p' <<<"$status" | tr ' ' '\n' | sed '/^$/d' | sort -n | tr '\n' ' ')" = \
        "$(printf '%s\n' "$gid" "$dialout" | sort -n | tr '\n' ' ')" ] ||
        fail "the daemon's groups: $(grep '^Groups' <<<"$status")"
    for field in CapInh CapPrm CapEff CapBnd CapAmb; do
        grep -q "^$field:\s*$want$" <<<"$status" || fail "the daemon's $(grep "^$field" <<<"$status"), want $want"
    done
    grep -q '^NoNewPrivs:\s*1$' <<<"$status" || fail "the daemon may gain privileges"
    ok "daemon pid $daemon_pid runs $start as kovex4 (groups kovex4, dialout) with CAP_NET_BIND_SERVICE only"
    $PY "$src/scripts/demo_client.py" run 502 >"$work/client.out" 2>&1 || fail "client: $(cat "$work/client.out")"
    in_syslog "kovex4\[$daemon_pid\]: TCP connection from 127.0.0.1 established" ||
        fail "no connection log line: $(cat "$work/syslog")"
    ok "a Modbus TCP client reads and writes through it on port 502; it logs to syslog"
    kill "$daemon_pid"
    wait "$tracer" || true
    tracer=''
    [ -e "$lock" ] || fail "the daemon removed its own lock file"
    local stop_post
    read -ra stop_post <<<"$(unit_value ExecStopPost)"
    TRACE=(strace -f -qq -o "$work/strace.out" -A)
    as_unit_user "$rw" "-all,+$cap" "${stop_post[@]}" || fail "ExecStopPost ${stop_post[*]} failed"
    TRACE=()
    [ ! -e "$lock" ] || fail "ExecStopPost left the lock file"
    ok "the unit's ExecStopPost removed the lock file"

    # The system calls and socket families of the daemon and of ExecStopPost's program: those of
    # the traced process after it started the program.
    local program trace calls denied family allowed
    allowed=$(allowed_syscalls)
    for program in "$start" "${stop_post[0]}"; do
        trace=$(awk -v program="$program" '
            $2 ~ "^execve\\(\"" program "\"" { pid = $1; next }
            pid && $1 == pid && match($2, /^[a-z0-9_]+\(/) {
                print substr($2, 1, RLENGTH - 1)
                if ($2 ~ /^socket\(AF_/) print "family " substr($2, 8, length($2) - 8)
            }
        ' "$work/strace.out" | sort -u)
        calls=$(grep -v '^family ' <<<"$trace") || fail "no system calls of $program in the trace"
        denied=$(comm -23 <(echo "$calls") <(echo "$allowed"))
        [ -z "$denied" ] || fail "the unit's SystemCallFilter denies what $program calls: $denied"
        ok "the system calls of $program pass SystemCallFilter: $(tr '\n' ' ' <<<"$calls")"
        while read -r family; do
            [[ " $(unit_value RestrictAddressFamilies) " == *" $family "* ]] ||
                fail "$program creates $family sockets, which RestrictAddressFamilies denies"
            ok "$program creates $family sockets, which RestrictAddressFamilies allows"
        done < <(sed -n 's/^family //p' <<<"$trace")
    done

    echo "=== systemd: a stale lock file of root's does not block the service"
    # A gateway started by hand as root left its lock; its process is gone. The user kovex4 cannot
    # take it over in the sticky lock folder ...
    local dead start_pre
    start_sim # holding the values the client expects
    chgrp dialout "$(readlink /dev/ttyPKG0)"
    chmod 660 "$(readlink /dev/ttyPKG0)"
    sh -c 'exit 0' &
    dead=$!
    wait "$dead"
    printf '%10d\n' "$dead" >"$lock"
    [ "$(stat -c %U "$lock")" = root ] || fail "the stale lock is not root's"
    local rc=0
    # shellcheck disable=SC2086
    as_unit_user "$rw" "-all,+$cap" $start >"$work/daemon.out" 2>&1 || rc=$?
    [ "$rc" = 1 ] && in_syslog "device /dev/ttyPKG0 is locked" ||
        fail "the daemon as kovex4 did not stop at the stale lock (status $rc): $(tail -n 3 "$work/syslog")"
    ok "without ExecStartPre the daemon as kovex4 stops at root's stale lock: device /dev/ttyPKG0 is locked"
    # ... so the unit's ExecStartPre, run with full privileges ("+"), removes it first, and then
    # leaves alone a lock whose process runs.
    start_pre=$(unit_value ExecStartPre)
    [[ $start_pre == +/opt/kovex4/* ]] || fail "ExecStartPre=$start_pre does not run as root"
    read -ra start_pre <<<"${start_pre#+}"
    "${start_pre[@]}" >"$work/pre.out" 2>&1 || fail "ExecStartPre failed: $(cat "$work/pre.out")"
    [ ! -e "$lock" ] || fail "ExecStartPre left the stale lock: $(cat "$work/pre.out")"
    ok "ExecStartPre: $(cat "$work/pre.out")"
    printf '%10d\n' "$sim_pid" >"$lock"
    "${start_pre[@]}" >"$work/pre.out" 2>&1 || fail "ExecStartPre failed: $(cat "$work/pre.out")"
    [ -e "$lock" ] || fail "ExecStartPre removed the lock of a running process"
    rm "$lock"
    ok "ExecStartPre leaves the lock of a running process alone"
    printf '%10d\n' "$dead" >"$lock"
    "${start_pre[@]}" >"$work/pre.out" 2>&1 || fail "ExecStartPre failed: $(cat "$work/pre.out")"
    # shellcheck disable=SC2086
    as_unit_user "$rw" "-all,+$cap" $start >"$work/daemon.out" 2>&1 &
    tracer=$!
    daemon_pid=$(wait_lock_owner "$lock") ||
        fail "the daemon did not take the line: $(cat "$work/daemon.out"; tail -n 3 "$work/syslog")"
    [ "$(readlink "/proc/$daemon_pid/exe")" = "$start" ] || fail "pid $daemon_pid is not $start"
    $PY "$src/scripts/demo_client.py" run 502 >"$work/client.out" 2>&1 || fail "client: $(cat "$work/client.out")"
    ok "after ExecStartPre the daemon as kovex4 (pid $daemon_pid) takes the line and serves on port 502"
    kill "$daemon_pid"
    wait "$tracer" || true
    tracer='' daemon_pid=''
    rm -f "$lock"

    echo "=== dpkg -r, dpkg --purge"
    ns_stop "$sim_pid"
    sim_pid=''
    dpkg_run -r kovex4 kovex4-tools
    [ ! -e /opt/kovex4/bin ] && [ ! -e "$unit" ] || fail "files left after dpkg -r: $(find /opt)"
    cmp -s "$settings" "$work/settings.site" || fail "dpkg -r changed etc/settings"
    [ "$(readlink /etc/systemd/system/kovex4.service)" = /dev/null ] || fail "dpkg -r did not mask the unit"
    id kovex4 >/dev/null || fail "dpkg -r removed the user"
    ok "removed; etc/settings and the user kept, the unit masked"
    dpkg_run --purge kovex4 kovex4-tools
    [ ! -e /opt/kovex4 ] || fail "left after purging: $(find /opt/kovex4)"
    ! getent passwd kovex4 >/dev/null && ! getent group kovex4 >/dev/null || fail "the user or group kovex4 is left"
    [ ! -e /etc/init.d/kovex4 ] && [ -z "$(find /etc/rc?.d -name '*kovex4')" ] || fail "the init script or its links are left"
    [ ! -e /etc/systemd/system/kovex4.service ] && [ -z "$(find /var/lib/systemd -name '*kovex4*')" ] ||
        fail "the unit's mask or state is left"
    for file in passwd group shadow gshadow; do
        cmp -s "/etc/$file" "$work/before/$file" || fail "/etc/$file differs from before the installation"
    done
    ok "purged: settings, user, group, init script and registrations gone; /etc/passwd etc. as before"
}

if [ "${1:-}" = --inside ]; then
    shift
    inside "$@"
    exit 0
fi

# ---- Outside: the packages, the copies, the syslog reader ----

BUILD=$(cd "${1:?usage: test-package.sh BUILD_DIR}" && pwd)
if [ "$(id -u)" != 0 ]; then
    echo "FAILED: needs root (private namespaces, dpkg)"
    exit 1
fi
for tool in cpack dpkg dpkg-deb unshare setpriv findmnt ip strace systemd-analyze man $PY; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done

WORK=$(ns_workdir package)
cleanup() {
    ns_stop "${NS_SYSLOG_PID:-}"
    rm -rf "$WORK"
}
trap cleanup EXIT

echo "=== cpack"
(cd "$BUILD" && cpack -G DEB -B "$WORK/out" >"$WORK/cpack.log" 2>&1) || fail "cpack: $(cat "$WORK/cpack.log")"
ARCH=$(dpkg --print-architecture)
DAEMON_DEB=$(echo "$WORK"/out/kovex4_*_"$ARCH".deb)
TOOLS_DEB=$(echo "$WORK"/out/kovex4-tools_*_"$ARCH".deb)
[ -f "$DAEMON_DEB" ] && [ -f "$TOOLS_DEB" ] || fail "no $ARCH packages in $WORK/out: $(ls "$WORK/out")"
basename "$DAEMON_DEB"
basename "$TOOLS_DEB"

echo "=== content"
# files DEB: the files (not folders) of the package, one per line.
files() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort
}
# The unit, in the folder of systemd's units on the release the package was made for.
UNIT=/$(files "$DAEMON_DEB" | grep -xE '(usr/)?lib/systemd/system/kovex4\.service') ||
    fail "$(basename "$DAEMON_DEB") has no kovex4.service in a folder of systemd's units"
# The daemon's package holds exactly these files (and never etc/settings).
DOCS=()
for doc in "$SRC"/docs/*.md; do DOCS+=("usr/share/doc/kovex4/$(basename "$doc")"); done
diff <(printf '%s\n' opt/kovex4/bin/kovex4 opt/kovex4/libexec/clear-stale-lock \
    opt/kovex4/etc/settings.example etc/init.d/kovex4 \
    "${UNIT#/}" usr/share/man/man8/kovex4.8.gz \
    usr/share/man/man5/kovex4-settings.5.gz usr/share/doc/kovex4/copyright \
    usr/share/doc/kovex4/changelog.gz usr/share/lintian/overrides/kovex4 "${DOCS[@]}" | sort) \
    <(files "$DAEMON_DEB") >"$WORK/content.diff" ||
    fail "$(basename "$DAEMON_DEB") holds other files (< missing, > unexpected):
$(cat "$WORK/content.diff")"
# The tools' package holds the simulator, the push receiver and the probe, and any other
# commissioning program with its manual page, but not the daemon.
files "$TOOLS_DEB" >"$WORK/content"
for want in opt/kovex4/bin/kovex4-devsim opt/kovex4/bin/kovex4-pushrecv opt/kovex4/bin/kovex4-probe \
    usr/share/man/man1/kovex4-devsim.1.gz usr/share/man/man1/kovex4-pushrecv.1.gz \
    usr/share/man/man1/kovex4-probe.1.gz \
    usr/share/doc/kovex4-tools/copyright usr/share/doc/kovex4-tools/changelog.gz \
    usr/share/lintian/overrides/kovex4-tools; do
    grep -qx "$want" "$WORK/content" || fail "$(basename "$TOOLS_DEB") lacks $want"
done
! grep -Ev '^(opt/kovex4/bin/kovex4-[a-z]+|usr/bin/kovex4-[a-z]+|usr/share/man/man1/kovex4-[a-z]+\.1\.gz|usr/share/doc/kovex4-tools/.*)$' \
    "$WORK/content" | grep -vx usr/share/lintian/overrides/kovex4-tools ||
    fail "$(basename "$TOOLS_DEB") holds more than commissioning programs (above)"
[ "$(dpkg-deb --info "$DAEMON_DEB" conffiles)" = /etc/init.d/kovex4 ] || fail "conffiles: not just the init script"
for deb in "$DAEMON_DEB" "$TOOLS_DEB"; do
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$ARCH" ] || fail "$(basename "$deb"): architecture is not $ARCH"
done
echo "kovex4: daemon, init script (a conffile), unit, settings.example, documents, manual pages"
echo "kovex4-tools: simulator, push receiver, probe, manual pages; neither holds etc/settings"

mkdir "$WORK/layers" "$WORK/lock" "$WORK/dev" "$WORK/before"
for file in passwd group shadow gshadow; do cp -a "/etc/$file" "$WORK/before/"; done
# The daemon's syslog lines arrive on a datagram socket that becomes its /dev/log.
ns_syslog_start "$WORK/log.sock" "$WORK/syslog"

unshare -m -n --propagation private /bin/bash "$SRC/scripts/test-package.sh" --inside \
    "$WORK" "$DAEMON_DEB" "$TOOLS_DEB" "$SRC" "$UNIT"
echo "package test passed"
