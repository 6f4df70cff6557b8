#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets with clang and runs each one for a bounded time on a copy of its
# seed corpus, printing the executions, the coverage reached and the peak resident memory of each.
# Usage: scripts/fuzz.sh [seconds per target, default 20]. The build folder is build-fuzz, or
# $KOVEX4_FUZZ_BUILD. Exits non-zero when a target finds a failure; the input is kept there.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
deps_install clang libclang-rt-14-dev cmake ninja-build

seconds=${1:-20}
build=${KOVEX4_FUZZ_BUILD:-build-fuzz}
targets=(request_path device_reply settings_reader queue_record)

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build"

work=$(mktemp -d "${TMPDIR:-/tmp}/kovex4-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
build_abs=$(cd "$build" && pwd)
status=0
for target in "${targets[@]}"; do
    corpus="$work/$target"
    mkdir -p "$corpus"
    cp fuzz/corpus/"$target"/* "$corpus"/
    seeds=$(ls "$corpus" | wc -l)
    if "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
        -artifact_prefix="$build_abs/$target-" "$corpus" >"$work/$target.log" 2>&1; then
        # "#123456  DONE   cov: 366 ft: 1769 corp: 182/13906b ..." and "stat::peak_rss_mb: 71"
        awk -v t="$target" -v s="$seconds" -v seeds="$seeds" '
            $2 == "DONE" { sub("#", "", $1); runs = $1; cov = $4; ft = $6; split($8, c, "/") }
            $1 == "stat::peak_rss_mb:" { peak = $2 }
            END { printf "=== %s: %s s, %s executions, coverage %s edges (%s features), " \
                         "corpus %s inputs from %s seeds, peak memory %s MB\n",
                         t, s, runs, cov, ft, c[1], seeds, peak }' "$work/$target.log"
    else
        cp "$work/$target.log" "$build_abs/$target.log"
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$work/$target.log" | tail -n 40
        echo "=== $target: FAILED (input kept as $build_abs/$target-*, log as $target.log)"
        status=1
    fi
done
exit $status
