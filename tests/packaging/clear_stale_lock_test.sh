#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# packaging/clear-stale-lock against settings files and lock files in a temporary folder: it finds
# the device as the gateway reads the settings and removes only a lock whose process is gone;
# it and the init script's removal of a stopped gateway's locks take only regular files as locks.
#   bash tests/packaging/clear_stale_lock_test.sh SOURCE_DIR
set -u
script=$1/packaging/clear-stale-lock
init=$1/packaging/kovex4.init
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sh -c 'exit 0' &
dead=$!
wait "$dead"
failures=0
checks=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }

# check SETTINGS_TEXT LOCK_NAME LOCK_TEXT WANT(removed|kept)
check() {
    printf '%b' "$1" >"$dir/settings"
    rm -f "$dir"/LCK..*
    printf '%b' "$3" >"$dir/LCK..$2"
    sh "$script" "$dir/settings" "$dir" >/dev/null
    local got=kept
    [ -e "$dir/LCK..$2" ] || got=removed
    checks=$((checks + 1))
    [ "$got" = "$4" ] ||
        fail "settings $(printf '%q' "$1"), LCK..$2 holding $(printf '%q' "$3"): $got, want $4"
}

stale=$(printf '%10d\\n' "$dead")
live=$(printf '%10d\\n' $$)
check 'MOD_KOVEX4_DEVICE=ttyS1\n' ttyS1 "$stale" removed
check 'MOD_KOVEX4_DEVICE=ttyS1\n' ttyS1 "$live" kept
check 'MOD_KOVEX4_DEVICE=ttyS1\n' ttyS1 'garbage\n' kept
check 'MOD_KOVEX4_DEVICE=ttyS1\n' ttyS1 '' kept
check 'mod_kovex4_device="serial/by-id/usb-x"\r\n' usb-x "$stale" removed
check 'MOD_KOVEX4_DEVICE=ttyS2\nMOD_KOVEX4_DEVICE=ttyS1\n' ttyS1 "$stale" kept
check 'MOD_KOVEX4_DEVICE =ttyS1\nMOD_KOVEX4_DEVICEX=ttyS1\n' ttyS1 "$stale" kept
check 'MOD_KOVEX4_DEVICE=ttyS1\n' ttyS2 "$stale" kept
check '\0357\0273\0277MOD_KOVEX4_DEVICE=ttyS1\n' ttyS1 "$stale" removed
check 'OTHER=x\n\0357\0273\0277MOD_KOVEX4_DEVICE=ttyS1\n' ttyS1 "$stale" kept
# A name that is a symbolic link has the lock of the device it points to (here reached from /dev
# through "..": the test cannot add links to /dev).
mkdir "$dir/by-id"
: >"$dir/ttyREAL"
ln -s ../ttyREAL "$dir/by-id/usb-y"
check "MOD_KOVEX4_DEVICE=..$dir/by-id/usb-y\n" ttyREAL "$stale" removed
check "MOD_KOVEX4_DEVICE=..$dir/by-id/usb-y\n" usb-y "$stale" kept
# No settings file: the device name is empty, as for the gateway.
rm -f "$dir/settings"
printf '%b' "$stale" >"$dir/LCK.."
sh "$script" "$dir/settings" "$dir" >/dev/null
checks=$((checks + 1))
[ ! -e "$dir/LCK.." ] || fail "no settings file: LCK.. kept"

# Only regular files are locks. A symbolic link to a file only root may read, whose first line is
# the id of a process that is gone, and a FIFO are left alone by both scripts: nothing is read
# from them, printed or removed, and the FIFO holds neither script up.
printf 'MOD_KOVEX4_DEVICE=ttyS1\n' >"$dir/settings"
printf '%b' "$stale" >"$dir/secret"
chmod 600 "$dir/secret"
# The init script's function, run by sh as the init script runs it.
remove_locks_of=$(sed -n '/^remove_locks_of()/,/^}/p' "$init")
remove_locks() {
    LOCKDIR=$dir timeout 10 sh -c "$remove_locks_of"'
remove_locks_of "$1"' sh "$1"
}
kept() { [ -L "$dir/LCK..ttyS1" ] || [ -p "$dir/LCK..ttyS1" ]; }
for make in "ln -s $dir/secret" mkfifo; do
    rm -f "$dir/LCK..ttyS1"
    $make "$dir/LCK..ttyS1"
    out=$(timeout 10 sh "$script" "$dir/settings" "$dir" 2>&1)
    checks=$((checks + 2))
    [ -z "$out" ] && kept ||
        fail "clear-stale-lock and $make in the lock folder: printed $(printf '%q' "$out")"
    remove_locks "$dead"
    kept || fail "the init script's lock removal took $make in the lock folder for a lock"
done
# ... while a regular file holding the stopped gateway's id is removed, another's kept.
rm -f "$dir/LCK..ttyS1"
printf '%b' "$stale" >"$dir/LCK..ttyS1"
printf '%b' "$live" >"$dir/LCK..ttyS2"
remove_locks "$dead"
checks=$((checks + 1))
[ ! -e "$dir/LCK..ttyS1" ] && [ -e "$dir/LCK..ttyS2" ] || fail "the init script's lock removal"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" = 0 ]
