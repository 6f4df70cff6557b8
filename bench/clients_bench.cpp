// SPDX-License-Identifier: Apache-2.0
// kovex4-clients-bench: several Modbus TCP clients polling the real daemon as fast as they can,
// with MOD_KOVEX4_CLIENTS set to their number. Prints, for 1, 4 and 16 clients (or the counts
// given as arguments), the total requests per second, the median and 99th percentile latency of
// each client, and the spread between the busiest and the least served client.
//
// Each client keeps one read of 2 registers ('i' items behind 0x0400) outstanding; every request
// goes to the simulated field device on its pseudo-terminal, so the clients share that one line.
// Run as root (the daemon runs in a private mount namespace): kovex4-clients-bench [SECONDS] [N...]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

// The program the end-to-end harness starts (see harness_binary.h).
const char* bench_daemon_binary = KOVEX4_DAEMON;

namespace {

using Clock = std::chrono::steady_clock;

struct ClientFigures {
    std::vector<double> latency_us;
    unsigned failures = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void poll_daemon(unsigned port, uint16_t tid, const std::atomic<bool>& go,
                 const std::atomic<bool>& stop, ClientFigures& out, std::atomic<unsigned>& done) {
    const int fd = connect_local(port);
    if (fd < 0) {
        ++out.failures;
        ++done;
        return;
    }
    const std::vector<uint8_t> request = {
        uint8_t(tid >> 8), uint8_t(tid), 0, 0, 0, 6, 1, 3, 0x04, 0x00, 0, 2};
    while (!go)
        std::this_thread::yield();
    while (!stop) {
        const auto t0 = Clock::now();
        const std::vector<uint8_t> answer = request_reply(fd, request, 10000);
        if (answer.size() != 13) {
            ++out.failures;
            break;
        }
        out.latency_us.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(fd);
    ++done;
}

bool run(unsigned clients, double seconds) {
    Daemon d;
    d.sim().with([](DevSim& s) {
        s.keep_requests = false;
        s.items['i'][1] = 1;
        s.items['i'][2] = 2;
    });
    if (!d.start(d.settings("MOD_KOVEX4_CLIENTS=" + std::to_string(clients) + "\n")) ||
        !d.wait_listening()) {
        std::fprintf(stderr, "the daemon did not start\n");
        return false;
    }
    std::vector<ClientFigures> figures(clients);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false}, stop{false};
    std::atomic<unsigned> done{0};
    for (unsigned i = 0; i < clients; ++i)
        threads.emplace_back(poll_daemon, d.port(), uint16_t(i + 1), std::cref(go), std::cref(stop),
                             std::ref(figures[i]), std::ref(done));
    // All connections are accepted (one per loop iteration) before the clock starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + 20 * clients));
    d.logs();
    go = true;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    // The daemon logs each connection's end, and waits while its log socket is full.
    while (done < clients) {
        d.logs();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (std::thread& t : threads)
        t.join();

    size_t total = 0, least = SIZE_MAX, most = 0;
    unsigned failures = 0;
    std::vector<double> medians, p99s;
    for (const ClientFigures& f : figures) {
        total += f.latency_us.size();
        least = std::min(least, f.latency_us.size());
        most = std::max(most, f.latency_us.size());
        failures += f.failures;
        medians.push_back(percentile(f.latency_us, 0.5));
        p99s.push_back(percentile(f.latency_us, 0.99));
    }
    std::printf("%2u clients: %7.0f requests/s in all; per client median %6.0f-%6.0f us, "
                "99th percentile %6.0f-%6.0f us; least/most served %zu/%zu (spread %.1f %%)%s\n",
                clients, static_cast<double>(total) / elapsed,
                *std::min_element(medians.begin(), medians.end()),
                *std::max_element(medians.begin(), medians.end()),
                *std::min_element(p99s.begin(), p99s.end()),
                *std::max_element(p99s.begin(), p99s.end()), least, most,
                most == 0 ? 0.0 : 100.0 * static_cast<double>(most - least) / most,
                failures != 0 ? " FAILURES" : "");

    return failures == 0;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    std::vector<unsigned> counts;
    for (int i = 2; i < argc; ++i)
        counts.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    if (counts.empty())
        counts = {1, 4, 16};
    bool ok = true;
    for (unsigned n : counts)
        ok = run(n, seconds) && ok;
    return ok ? 0 : 1;
}
