#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# packaging/clear-stale-lock against settings files and lock files in a temporary folder: it finds
# the device as the gateway reads the settings and removes only a lock whose process is gone.
#   bash tests/packaging/clear_stale_lock_test.sh SOURCE_DIR
set -u
script=$1/packaging/clear-stale-lock
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sh -c 'exit 0' &
dead=$!
wait "$dead"
failures=0

# check SETTINGS_TEXT LOCK_NAME LOCK_TEXT WANT(removed|kept)
check() {
    printf '%b' "$1" >"$dir/settings"
    rm -f "$dir"/LCK..*
    printf '%b' "$3" >"$dir/LCK..$2"
    sh "$script" "$dir/settings" "$dir" >/dev/null
    local got=kept
    [ -e "$dir/LCK..$2" ] || got=removed
    if [ "$got" != "$4" ]; then
        echo "FAIL: settings $(printf '%q' "$1"), LCK..$2 holding $(printf '%q' "$3"): $got, want $4"
        failures=$((failures + 1))
    fi
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
# No settings file: the device name is empty, as for the gateway.
rm -f "$dir/settings"
printf '%b' "$stale" >"$dir/LCK.."
sh "$script" "$dir/settings" "$dir" >/dev/null
[ ! -e "$dir/LCK.." ] || { echo "FAIL: no settings file: LCK.. kept"; failures=$((failures + 1)); }

echo "$((9 - failures)) passed, $failures failed"
[ "$failures" = 0 ]
