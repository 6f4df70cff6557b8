#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Performance figures of the kovex4 daemon (docs/performance.md explains them): builds the
# benchmark programs in Release (folder build-bench, or KOVEX4_BENCH_BUILD), runs the
# micro-benchmarks of the request path's functions, then the end-to-end benchmark of the real
# binary against the simulated field device: latency against the floor of loopback TCP and a
# pseudo-terminal, throughput, daemon CPU and instructions per request, latency against the wire
# time of 115200 and 9600 bit/s lines, start-up time and resident memory; then several clients at
# once, on the simulator and on a 9600 bit/s line without and with the register cache.
# Run as root on Debian (the daemon runs in a private mount namespace). Options are passed to
# kovex4-bench: --quick (a short smoke run), --rounds N, --samples N, --quiet-wait SECONDS,
# --no-callgrind, --daemon PATH (measure another build of kovex4).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${KOVEX4_BENCH_BUILD:-build-bench}

[ "$(id -u)" = 0 ] || {
    echo "bench.sh: run as root (the daemon is started in a private mount namespace)" >&2
    exit 1
}
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
deps_install "${KOVEX4_BUILD_DEPS[@]}" libbenchmark-dev valgrind

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVEX4_BENCH=ON \
    -DKOVEX4_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target kovex4 kovex4-bench kovex4-microbench kovex4-clients-bench \
    kovex4-tls-bench |
    tail -n 1

echo
echo "=== Micro-benchmarks (Google Benchmark; fastest of 5 repetitions)"
# Debian's libbenchmark reports itself as a debug build; that concerns the library's own
# bookkeeping, not the code measured.
"$BUILD/bench/kovex4-microbench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    2>&1 | grep -v -e '^\*\*\*WARNING' | grep -E -v '_(mean|median|stddev|cv) '

echo
echo "=== End-to-end benchmark of $BUILD/src/service/kovex4"
"$BUILD/bench/kovex4-bench" "$@"

echo
echo "=== Several clients at once (MOD_KOVEX4_CLIENTS), each polling as fast as it can, 10 s each"
"$BUILD/bench/kovex4-clients-bench" 10 1 4 16

echo
echo "=== Modbus over TLS against plain Modbus TCP: reads, handshakes, memory with 16 clients"
"$BUILD/bench/kovex4-tls-bench" 2000 200

echo
echo "=== Several clients on a 9600 bit/s line, without and with MOD_KOVEX4_CACHE_MS=1000, 10 s each"
"$BUILD/bench/kovex4-clients-bench" --line 9600 10 1 4 16

echo
echo "=== A read arriving while another client's batch of 40 reads is served (MOD_KOVEX4_CLIENTS=2)"
"$BUILD/bench/kovex4-clients-bench" --pipelining --line 9600

echo
echo "=== A master polling while a push waits 15 s on a receiver that sends nothing, then on one that streams"
"$BUILD/bench/kovex4-clients-bench" --push 15

echo
echo "=== A client with a certificate connecting 20 times under a flood of idle connections from another address"
"$BUILD/bench/kovex4-tls-bench" --flood 1000

echo
echo "=== A plain client reading every 0.1 s with MOD_KOVEX4_CLIENTS=16 under 200 idle connections a second"
"$BUILD/bench/kovex4-clients-bench" --flood 200 20
