#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time on a copy of its
# seed corpus, printing libFuzzer's final statistics (executions, coverage).
# Usage: scripts/fuzz.sh [seconds per target, default 20]. The build folder is build-fuzz, or
# $KOVEX4_FUZZ_BUILD. Exits non-zero when a target finds a failure; the input is kept there.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
deps_install clang libclang-rt-14-dev cmake ninja-build

seconds=${1:-20}
build=${KOVEX4_FUZZ_BUILD:-build-fuzz}
targets=(request_path)

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build_abs=$(cd "$build" && pwd)
status=0
for target in "${targets[@]}"; do
    corpus="$work/$target"
    mkdir -p "$corpus"
    cp fuzz/corpus/"$target"/* "$corpus"/
    echo "=== $target: ${seconds} s on $(ls "$corpus" | wc -l) seed inputs"
    if "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
        -artifact_prefix="$build_abs/$target-" "$corpus" >"$work/$target.log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE|^Done [0-9]+ runs|^stat::number_of_executed_units' \
            "$work/$target.log" || true
    else
        tail -n 60 "$work/$target.log"
        echo "=== $target: FAILED (input kept as $build_abs/$target-*)"
        status=1
    fi
done
exit $status
