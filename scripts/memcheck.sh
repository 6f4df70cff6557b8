#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the end-to-end smoke tests (DaemonTest.*) with the daemon under valgrind's memcheck and
# fails when valgrind reports an error or memory that is definitely lost. The tests end the
# daemon with SIGTERM, so memory still reachable at that point is fine.
# Usage: scripts/memcheck.sh [build folder, default build]. Run as root (the tests use private
# mount namespaces); the build folder must be a native build without sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
deps_install "${KOVEX4_BUILD_DEPS[@]}" "${KOVEX4_PEER_DEPS[@]}" valgrind

build=${1:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target test_e2e_memcheck
# The test harness copies each run's valgrind log here when the test ends.
logs="$build/tests/soak/memcheck-logs"
rm -rf "$logs"

echo "=== memcheck: end-to-end smoke tests with the daemon under valgrind"
"$build/tests/soak/test_e2e_memcheck" --gtest_filter='DaemonTest.*' --gtest_brief=1

runs=0
errors=0
lost=0
status=0
for log in "$logs"/*.log; do
    [ -e "$log" ] || continue
    runs=$((runs + 1))
    # "==123== ERROR SUMMARY: 0 errors from 0 contexts ..."; missing when valgrind was killed.
    n=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$log" | tr -d ,)
    # "==123==    definitely lost: 0 bytes in 0 blocks"; absent when nothing was left at all.
    bytes=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tr -d ,)
    if [ -z "$n" ] || [ "$n" -ne 0 ] || [ "${bytes:-0}" -ne 0 ]; then
        echo "--- $log"
        cat "$log"
        status=1
    fi
    errors=$((errors + ${n:-1}))
    lost=$((lost + ${bytes:-0}))
done
if [ "$runs" -eq 0 ]; then
    echo "=== memcheck: FAILED, no valgrind log was written"
    exit 1
fi
echo "=== memcheck: $runs daemon runs, $errors errors, $lost bytes definitely lost"
exit $status
