// SPDX-License-Identifier: Apache-2.0
// kovex4-bench: what the gateway adds to the time that loopback TCP and the serial line need.
// Runs the real kovex4 binary (through the end-to-end harness) against the simulated field
// device and prints latency against the floor, throughput, daemon CPU and instructions per
// request, latency against the wire time of paced lines, start-up time and resident memory.
// Every answer is compared with the expected bytes, so a fast wrong answer ends the run.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "device/link.h"
#include "harness.h"

#ifndef KOVEX4_DAEMON
#error "KOVEX4_DAEMON must name the kovex4 binary"
#endif

const char* bench_daemon_binary = KOVEX4_DAEMON;

namespace {

// The daemon under test; --daemon compares another build of it.
std::string g_daemon = KOVEX4_DAEMON;

struct Options {
    int rounds = 5;            // repetitions; the quietest one is reported
    int samples = 2000;        // requests per case and round
    double paced_budget = 1;   // seconds per case and round on a paced line
    int startups = 5;          // fresh daemons for the start-up time
    int footprint = 10000;     // requests between two resident-memory readings
    int callgrind = 1000;      // requests per case under callgrind; 0: skipped
    int quiet_wait = 20;       // seconds to wait for an idle machine before a round
    std::string keep_profiles; // folder to keep the callgrind output files in
    std::string only;          // one phase: latency, throughput, footprint, paced, callgrind

    bool runs(const char* phase) const { return only.empty() || only == phase; }
    bool quick = false;
};

// ---- the four cases -----------------------------------------------------------------------

constexpr uint16_t kI1 = 0x1234;
constexpr uint16_t kI2 = 0x5678;
constexpr uint8_t kBlock[10] = {0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8};

uint8_t h_value(int k) {
    return static_cast<uint8_t>(k * 37 + 11);
}

void fill_device(DevSim& s) {
    s.items['i'][1] = kI1;
    s.items['i'][2] = kI2;
    for (int k = 1; k <= 100; ++k)
        s.items['H'][k] = h_value(k);
    std::copy(std::begin(kBlock), std::end(kBlock), s.block.begin());
}

// A Modbus TCP frame: transaction id 0, protocol 0, unit 1, then `pdu`.
Bytes mbap(const Bytes& pdu) {
    Bytes body(1 + pdu.size(), 1);
    std::copy(pdu.begin(), pdu.end(), body.begin() + 1);
    return mbap_wire(0, 0, static_cast<uint16_t>(body.size()), body);
}

void set_tid(Bytes& frame, uint16_t tid) {
    frame[0] = static_cast<uint8_t>(tid >> 8);
    frame[1] = static_cast<uint8_t>(tid);
}

struct Case {
    const char* name;
    Bytes request;
    Bytes expected;
    std::vector<SerialExchange> serial; // taken from the first exchange through the daemon
};

std::vector<Case> make_cases() {
    Bytes h_answer = {3, 250};
    for (int k = 1; k <= 125; ++k) {
        h_answer.push_back(0);
        h_answer.push_back(k <= 100 ? h_value(k) : 0); // 0x0264 and up have no map row
    }
    Bytes block_answer = {3, 18, kBlock[1], kBlock[0]};
    for (int k = 2; k < 10; ++k) {
        block_answer.push_back(0);
        block_answer.push_back(kBlock[k]);
    }
    return {
        {"fc3 2 regs 0x0400",
         mbap({3, 0x04, 0x00, 0, 2}),
         mbap({3, 4, kI1 >> 8, kI1 & 0xFF, kI2 >> 8, kI2 & 0xFF}),
         {}},
        {"fc3 125 'H' 0x0200", mbap({3, 0x02, 0x00, 0, 125}), mbap(h_answer), {}},
        {"fc16 2 regs 0x0400",
         mbap({16, 0x04, 0x00, 0, 2, 4, kI1 >> 8, kI1 & 0xFF, kI2 >> 8, kI2 & 0xFF}),
         mbap({16, 0x04, 0x00, 0, 2}),
         {}},
        {"block 0x0600 x9", mbap({3, 0x06, 0x00, 0, 9}), mbap(block_answer), {}},
    };
}

// ---- running requests ---------------------------------------------------------------------

struct Client {
    int fd = -1;
    uint16_t tid = 0;
};

// `n` requests of `c`, each answer checked; the round-trip times go to `samples` if given.
bool run_requests(Client& client, const Case& c, int n, std::vector<int64_t>* samples) {
    Bytes request = c.request;
    Bytes want = c.expected;
    Bytes got(want.size());
    for (int i = 0; i < n; ++i) {
        ++client.tid;
        set_tid(request, client.tid);
        set_tid(want, client.tid);
        const int64_t t0 = now_ns();
        const bool ok = exchange(client.fd, request, got);
        const int64_t t1 = now_ns();
        if (!ok || got != want) {
            std::fprintf(stderr, "kovex4-bench: %s: %s answer\n", c.name, ok ? "wrong" : "no");
            return false;
        }
        if (samples != nullptr)
            samples->push_back(t1 - t0);
    }
    return true;
}

// The serial exchanges behind one request of `c`: the requests the simulator recorded, framed
// as the daemon frames them, and the simulator's answers to them.
bool capture_serial(Daemon& d, Client& client, Case& c) {
    d.sim().with([](DevSim& s) {
        s.requests.clear();
        s.keep_requests = true;
    });
    if (!run_requests(client, c, 1, nullptr))
        return false;
    const std::vector<SimRequest> seen = d.sim().with([](DevSim& s) {
        s.keep_requests = false;
        return s.requests;
    });
    auto device = std::make_unique<DevSim>();
    fill_device(*device);
    for (const SimRequest& r : seen) {
        DevRequest request{};
        request.station = r.station;
        request.frame_class = DEV_CLASS_LONG;
        request.command = r.command;
        request.data_len = static_cast<uint8_t>(r.data.size());
        std::copy(r.data.begin(), r.data.end(), request.data.begin());
        SerialExchange e;
        e.request.resize(512);
        e.request.resize(dev_frame_request(request, e.request.data()));
        std::vector<SimReply> plans;
        devsim_feed(*device, e.request.data(), e.request.size(), plans);
        for (const SimReply& plan : plans)
            for (const Bytes& part : plan.writes)
                e.reply.insert(e.reply.end(), part.begin(), part.end());
        c.serial.push_back(e);
    }
    return !c.serial.empty();
}

bool start_daemon(Daemon& d, const std::string& settings, Client& client, int timeout_ms = 5000) {
    if (!d.start(settings) || !d.wait_listening(timeout_ms))
        return false;
    client.fd = connect_local(d.port());
    return client.fd >= 0;
}

size_t serial_bytes(const Case& c) {
    size_t n = 0;
    for (const SerialExchange& e : c.serial)
        n += e.request.size() + e.reply.size();
    return n;
}

// Keeps, per figure, the summary of the quietest round (lowest median).
void keep_best(Summary& best, const Summary& s) {
    if (best.n == 0 || s.median_us < best.median_us)
        best = s;
}

const char* verdict(bool ok) {
    return ok ? "ok" : "MISSED";
}

// ---- phases -------------------------------------------------------------------------------

struct LatencyResult {
    Summary gateway;
    Summary floor;
    Summary floor_sim;       // the floor with the simulator answering on the pty
    double cpu_us = 0;       // daemon CPU per request
    double floor_cpu_us = 0; // CPU of the floor's server side per exchange
    double busy = 0;         // share of the CPUs other processes used before the round
};

// Share of all CPUs in use (by anything) over `ms` milliseconds, from /proc/stat.
double cpu_busy(int ms) {
    const auto sample = [](uint64_t& idle, uint64_t& total) {
        std::ifstream in("/proc/stat");
        std::string cpu;
        in >> cpu;
        idle = total = 0;
        uint64_t v;
        for (int i = 0; i < 8 && in >> v; ++i) {
            total += v;
            if (i == 3 || i == 4) // idle, iowait
                idle += v;
        }
    };
    uint64_t idle0, total0, idle1, total1;
    sample(idle0, total0);
    usleep(static_cast<useconds_t>(ms) * 1000);
    sample(idle1, total1);
    const double dt = static_cast<double>(total1 - total0);
    return dt > 0 ? 1.0 - static_cast<double>(idle1 - idle0) / dt : 0;
}

// Other developers may be compiling: wait (a bounded time) for the machine to calm down.
double wait_for_quiet(const Options& o) {
    const int64_t t0 = now_ns();
    double busy = cpu_busy(300);
    while (busy > 0.15 && now_ns() - t0 < static_cast<int64_t>(o.quiet_wait) * 1000000000) {
        usleep(2000000);
        busy = cpu_busy(300);
    }
    return busy;
}

// The CPU per exchange of a relay that does no work: the TCP server's poll, read and send plus
// the pty side's write, poll and read, which are the daemon's system calls except its drain of
// the line. `n` more exchanges measure the pty side; the server counts all it answered.
bool floor_cpu(TcpFloor& tcp, PtyFloor& pty, const Case& c, int n, double& us) {
    Bytes answer(c.expected.size());
    Bytes scratch;
    uint64_t pty_ns = 0;
    for (int i = 0; i < n; ++i) {
        if (!exchange(tcp.client(), c.request, answer))
            return false;
        const uint64_t cpu0 = thread_cpu_ns();
        if (!pty.run_cycle(scratch))
            return false;
        pty_ns += thread_cpu_ns() - cpu0;
    }
    us = (tcp.finish() + static_cast<double>(pty_ns) / n) / 1000.0;
    return true;
}

// One round of case `c`: blocks of gateway requests alternate with blocks of floor exchanges
// (and of floor exchanges answered by the simulator), so that all see the same load.
bool latency_round(const Options& o, Daemon& d, Client& client, const Case& c, LatencyResult& out) {
    constexpr int kBlocks = 10;
    constexpr int kWarmUp = 50;
    TcpFloor tcp(c.request.size(), c.expected);
    PtyFloor raw(c.serial);
    auto device = std::make_unique<DevSim>();
    fill_device(*device);
    PtyFloor simulated(c.serial, device.get());
    Bytes answer(c.expected.size());
    Bytes scratch;
    const auto floor_exchange = [&](PtyFloor& pty) {
        return exchange(tcp.client(), c.request, answer) && pty.run_cycle(scratch);
    };
    // `n` floor exchanges through `pty`, timed into `samples` when given.
    const auto run_floor = [&](PtyFloor& pty, int n, std::vector<int64_t>* samples) {
        for (int i = 0; i < n; ++i) {
            const int64_t t0 = now_ns();
            if (!floor_exchange(pty)) {
                std::fprintf(stderr, "kovex4-bench: floor exchange failed\n");
                return false;
            }
            if (samples != nullptr)
                samples->push_back(now_ns() - t0);
        }
        return true;
    };
    if (!run_floor(raw, kWarmUp, nullptr) || !run_floor(simulated, kWarmUp, nullptr) ||
        !run_requests(client, c, kWarmUp, nullptr))
        return false;
    std::vector<int64_t> gateway;
    std::vector<int64_t> floor;
    std::vector<int64_t> floor_sim;
    uint64_t cpu_ns = 0;
    const int per_block = std::max(1, o.samples / kBlocks);
    for (int b = 0; b < kBlocks; ++b) {
        ProcFigures before;
        ProcFigures after;
        proc_figures(d.pid(), before);
        if (!run_requests(client, c, per_block, &gateway))
            return false;
        proc_figures(d.pid(), after);
        cpu_ns += after.run_ns - before.run_ns;
        if (!run_floor(raw, per_block, &floor) || !run_floor(simulated, per_block, &floor_sim))
            return false;
    }
    if (!floor_cpu(tcp, raw, c, per_block, out.floor_cpu_us))
        return false;
    out.gateway = summarise(gateway);
    out.floor = summarise(floor);
    out.floor_sim = summarise(floor_sim);
    out.cpu_us = static_cast<double>(cpu_ns) / 1000.0 / static_cast<double>(gateway.size());
    return true;
}

bool latency_phase(const Options& o, Daemon& d, Client& client, std::vector<Case>& cases) {
    std::printf("\n== Latency through kovex4 against the floor (simulator answering at once)\n");
    std::vector<LatencyResult> best(cases.size());
    for (int round = 0; round < o.rounds; ++round) {
        const double busy = wait_for_quiet(o);
        for (size_t k = 0; k < cases.size(); ++k) {
            LatencyResult r;
            if (!latency_round(o, d, client, cases[k], r))
                return false;
            r.busy = busy;
            // The quietest round is the one whose gateway and floor medians are lowest together.
            if (best[k].gateway.n == 0 || r.gateway.median_us + r.floor.median_us <
                                              best[k].gateway.median_us + best[k].floor.median_us)
                best[k] = r;
        }
        d.logs();
    }
    std::printf("%d rounds of %d requests per case, gateway and floors alternating in blocks; "
                "figures of the\nquietest round. floor = raw TCP request/answer of the same sizes "
                "+ the same raw pty exchanges;\n+sim = the same with the simulator answering on "
                "the pty (the device's own share).\n",
                o.rounds, o.samples);
    std::printf("%-19s %3s %8s %8s %9s %9s %6s %6s %8s %6s %7s %7s %4s %5s\n", "case", "ser",
                "gw med", "gw p99", "floor med", "floor p99", "ratio", "r p99", "+sim med",
                "r +sim", "cpu/req", "fl cpu", "busy", "<1.5x");
    for (size_t k = 0; k < cases.size(); ++k) {
        const LatencyResult& r = best[k];
        const double ratio = r.gateway.median_us / r.floor.median_us;
        std::printf("%-19s %3zu %6.1fus %6.1fus %7.1fus %7.1fus %5.2fx %5.2fx %6.1fus %5.2fx "
                    "%5.1fus %5.1fus %3.0f%% %5s\n",
                    cases[k].name, cases[k].serial.size(), r.gateway.median_us, r.gateway.p99_us,
                    r.floor.median_us, r.floor.p99_us, ratio, r.gateway.p99_us / r.floor.p99_us,
                    r.floor_sim.median_us, r.gateway.median_us / r.floor_sim.median_us, r.cpu_us,
                    r.floor_cpu_us, r.busy * 100, verdict(ratio <= 1.5));
    }
    std::printf("ser: serial round trips per request; cpu/req: daemon time on a CPU "
                "(/proc/PID/schedstat) per request;\nfl cpu: CPU of the floor's TCP server and pty "
                "requester per exchange (the same system calls\ndoing nothing else); busy: CPU use "
                "by other processes just before the round.\n");
    return true;
}

bool throughput_phase(const Options& o, Client& client, const Case& c) {
    std::printf("\n== Throughput on one connection (%s)\n", c.name);
    constexpr int kWindow = 16; // 16 requests of 12 bytes fit one 256-byte read of the daemon
    double best_sequential = 0;
    double best_pipelined = 0;
    for (int round = 0; round < o.rounds; ++round) {
        const int n = o.samples;
        int64_t t0 = now_ns();
        if (!run_requests(client, c, n, nullptr))
            return false;
        best_sequential = std::max(best_sequential, n * 1e9 / static_cast<double>(now_ns() - t0));

        Bytes burst;
        Bytes want;
        for (int i = 0; i < kWindow; ++i) {
            Bytes r = c.request;
            Bytes e = c.expected;
            set_tid(r, static_cast<uint16_t>(0x8000 + i));
            set_tid(e, static_cast<uint16_t>(0x8000 + i));
            burst.insert(burst.end(), r.begin(), r.end());
            want.insert(want.end(), e.begin(), e.end());
        }
        Bytes got(want.size());
        const int bursts = std::max(1, n / kWindow);
        t0 = now_ns();
        for (int b = 0; b < bursts; ++b) {
            if (!exchange(client.fd, burst, got) || got != want) {
                std::fprintf(stderr, "kovex4-bench: pipelined answers wrong\n");
                return false;
            }
        }
        best_pipelined =
            std::max(best_pipelined, bursts * kWindow * 1e9 / static_cast<double>(now_ns() - t0));
    }
    std::printf("one request at a time:       %8.0f requests/s\n", best_sequential);
    std::printf("%d requests in flight:       %8.0f requests/s\n", kWindow, best_pipelined);
    return true;
}

bool startup_and_footprint_phase(const Options& o, const Case& c) {
    std::printf("\n== Start-up and resident memory\n");
    std::vector<int64_t> to_exec;
    std::vector<int64_t> to_listen;
    std::vector<int64_t> to_answer;
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0)
        return false;
    for (int run = 0; run < o.startups; ++run) {
        Daemon d;
        d.sim().with([](DevSim& s) {
            fill_device(s);
            s.keep_requests = false;
        });
        Client client;
        const int64_t t0 = now_ns();
        if (!d.start(d.settings()))
            return false;
        const std::string exe_link = "/proc/" + std::to_string(d.pid()) + "/exe";
        int64_t exec_at = 0;
        while (client.fd < 0 && now_ns() - t0 < 5000000000) {
            char exe[PATH_MAX] = {};
            if (exec_at == 0 && readlink(exe_link.c_str(), exe, sizeof exe - 1) > 0 &&
                std::strcmp(exe, self) != 0)
                exec_at = now_ns();
            client.fd = connect_local(d.port());
            if (client.fd < 0)
                usleep(100);
        }
        const int64_t listening_at = now_ns();
        ProcFigures at_listen;
        proc_figures(d.pid(), at_listen);
        if (client.fd < 0 || !run_requests(client, c, 1, nullptr))
            return false;
        to_answer.push_back(now_ns() - t0);
        to_listen.push_back(listening_at - t0);
        to_exec.push_back(listening_at - (exec_at != 0 ? exec_at : t0));
        if (run + 1 == o.startups) {
            ProcFigures f[3];
            proc_figures(d.pid(), f[0]);
            for (int phase = 1; phase <= 2; ++phase) {
                if (!run_requests(client, c, o.footprint, nullptr))
                    return false;
                d.logs();
                proc_figures(d.pid(), f[phase]);
            }
            const double ticks = static_cast<double>(f[2].cpu_ticks - f[0].cpu_ticks);
            const double run_ns = static_cast<double>(f[2].run_ns - f[0].run_ns);
            std::printf("%-40s %8ld kB\n", "VmRSS when accepting TCP", at_listen.rss_kb);
            std::printf("%-40s %8ld kB\n", "VmRSS after the first request", f[0].rss_kb);
            std::printf("%-40s %8ld kB\n",
                        ("VmRSS after " + std::to_string(o.footprint) + " requests").c_str(),
                        f[1].rss_kb);
            std::printf("%-40s %8ld kB (peak VmHWM %ld kB) %s\n",
                        ("VmRSS after " + std::to_string(2 * o.footprint) + " requests").c_str(),
                        f[2].rss_kb, f[2].hwm_kb, f[2].rss_kb == f[1].rss_kb ? "flat" : "CHANGED");
            std::printf("daemon CPU per request (%s), %d requests:\n", c.name, 2 * o.footprint);
            std::printf("  utime+stime (/proc/PID/stat)      %8.1f us (%.0f ticks of %ld/s)\n",
                        ticks * 1e6 / clock_ticks_per_second() / (2 * o.footprint), ticks,
                        clock_ticks_per_second());
            const double cpu_us = run_ns / 1000.0 / (2 * o.footprint);
            std::printf("  on-CPU time (/proc/PID/schedstat) %8.1f us   target < 20 us: %s\n",
                        cpu_us, verdict(cpu_us < 20));
            TcpFloor tcp(c.request.size(), c.expected);
            PtyFloor pty(c.serial);
            double floor_us = 0;
            if (!floor_cpu(tcp, pty, c, 2 * o.footprint, floor_us))
                return false;
            std::printf("  relay doing no work, same calls   %8.1f us   the daemon's own share "
                        "%.1f us\n",
                        floor_us, cpu_us - floor_us);
        }
        close(client.fd);
    }
    const auto ms = [](std::vector<int64_t> v) {
        std::sort(v.begin(), v.end());
        return std::make_pair(v.front() / 1e6, v[v.size() / 2] / 1e6);
    };
    std::printf("start-up over %d fresh daemons (min / median):\n", o.startups);
    std::printf("  exec of kovex4 -> accepting TCP           %6.2f / %6.2f ms\n", ms(to_exec).first,
                ms(to_exec).second);
    std::printf("  harness start -> accepting TCP            %6.2f / %6.2f ms\n",
                ms(to_listen).first, ms(to_listen).second);
    std::printf("  harness start -> first answer (%s) %6.2f / %6.2f ms\n", c.name,
                ms(to_answer).first, ms(to_answer).second);
    std::printf("  (the harness start includes fork and the private mount namespace set-up)\n");
    return true;
}

// The same exchanges without the gateway: a raw TCP request/answer, then the serial requests
// written straight to a paced line and its answers read back.
bool paced_floor(TcpFloor& tcp, PacedLine& line, const Case& c, int n,
                 std::vector<int64_t>& samples) {
    Bytes answer(c.expected.size());
    Bytes reply;
    for (int i = 0; i < n; ++i) {
        const int64_t t0 = now_ns();
        if (!exchange(tcp.client(), c.request, answer))
            return false;
        for (const SerialExchange& e : c.serial) {
            reply.resize(e.reply.size());
            if (!write_all(line.slave(), e.request.data(), e.request.size()) ||
                !read_exact(line.slave(), reply.data(), reply.size()) || reply != e.reply)
                return false;
        }
        samples.push_back(now_ns() - t0);
    }
    return true;
}

bool paced_phase(const Options& o, std::vector<Case>& cases) {
    std::printf("\n== Latency against the wire time of a paced serial line (10 bits a byte)\n");
    std::printf("wire = request and reply bytes of every serial exchange at the line speed; the "
                "line hands\neach byte over only when it would have been completely sent. floor "
                "= the same TCP and\nserial exchanges without the gateway (the limit this "
                "measurement can reach); gw adds = the\ngateway's median minus the floor's, as a "
                "share of the wire time.\n");
    std::printf("%-7s %-19s %5s %8s %8s %8s %7s %7s %7s %7s %6s\n", "bit/s", "case", "bytes",
                "wire", "med", "p99", "ratio", "r p99", "floor", "gw adds", "target");
    const auto device = [] {
        auto sim = std::make_unique<DevSim>();
        fill_device(*sim);
        sim->keep_requests = false;
        return sim;
    };
    for (const unsigned baud : {115200u, 9600u}) {
        PacedLine line(baud, device());
        PacedLine floor_line(baud, device());
        Daemon d;
        Client client;
        const std::string settings = "MOD_KOVEX4_DEVICE=" + line.path().substr(5) +
                                     "\nMOD_KOVEX4_BAUDRATE=" + std::to_string(baud) +
                                     "\nMOD_KOVEX4_PORT=" + std::to_string(d.port()) +
                                     "\nMOD_KOVEX4_STATION=1\n";
        if (!start_daemon(d, settings, client))
            return false;
        const double target = baud == 9600 ? 1.01 : 1.05;
        std::vector<Summary> best(cases.size());
        std::vector<Summary> best_floor(cases.size());
        for (int round = 0; round < std::min(o.rounds, 3); ++round) {
            wait_for_quiet(o);
            for (size_t k = 0; k < cases.size(); ++k) {
                const Case& c = cases[k];
                const int64_t wire = line.byte_ns(serial_bytes(c));
                const int n = std::clamp(static_cast<int>(o.paced_budget * 1e9 / wire), 5, 400);
                TcpFloor tcp(c.request.size(), c.expected);
                std::vector<int64_t> samples;
                std::vector<int64_t> floor;
                if (!run_requests(client, c, 1, nullptr) || !run_requests(client, c, n, &samples) ||
                    !paced_floor(tcp, floor_line, c, n, floor)) {
                    std::fprintf(stderr, "kovex4-bench: paced exchange failed\n");
                    return false;
                }
                keep_best(best[k], summarise(samples));
                keep_best(best_floor[k], summarise(floor));
            }
        }
        for (size_t k = 0; k < cases.size(); ++k) {
            const double wire_us = line.byte_ns(serial_bytes(cases[k])) / 1000.0;
            const double ratio = best[k].median_us / wire_us;
            std::printf("%-7u %-19s %5zu %6.2fms %6.2fms %6.2fms %6.3fx %6.3fx %6.3fx %6.2f%% "
                        "%5.2fx %s\n",
                        baud, cases[k].name, serial_bytes(cases[k]), wire_us / 1000,
                        best[k].median_us / 1000, best[k].p99_us / 1000, ratio,
                        best[k].p99_us / wire_us, best_floor[k].median_us / wire_us,
                        (best[k].median_us - best_floor[k].median_us) / wire_us * 100, target,
                        verdict(ratio <= target));
        }
        d.logs();
        close(client.fd);
    }
    return true;
}

// Instructions of the daemon under callgrind ("summary:" of its output file).
long long callgrind_total(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("summary: ", 0) == 0)
            return std::stoll(line.substr(9));
    return -1;
}

bool callgrind_phase(const Options& o, const std::vector<Case>& cases) {
    std::printf("\n== Instructions per request (daemon under valgrind --tool=callgrind)\n");
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        std::printf("valgrind not installed: skipped\n");
        return true;
    }
    TempDir dir;
    const std::string script = dir.file("kovex4-callgrind");
    std::ofstream(script) << "#!/bin/sh\nexec /usr/bin/valgrind --tool=callgrind -q "
                             "--callgrind-out-file=/opt/kovex4/etc/callgrind.out "
                          << g_daemon << "\n";
    chmod(script.c_str(), 0755);
    bench_daemon_binary = script.c_str();
    // One daemon per case, plus one that only starts and takes a connection: the difference
    // divided by the number of requests is what one request costs.
    const auto measure = [&](const Case* c, int n, const std::string& name) -> long long {
        Daemon d;
        d.sim().with([](DevSim& s) {
            fill_device(s);
            s.keep_requests = false;
        });
        Client client;
        if (!start_daemon(d, d.settings(), client, 60000))
            return -1;
        const int closed = d.count_log("TCP connection from 127.0.0.1 closed");
        if (c != nullptr && !run_requests(client, *c, n, nullptr))
            return -1;
        close(client.fd);
        // The close is the last thing the daemon does for this run: wait for its log line.
        for (int i = 0; i < 1000 && d.count_log("TCP connection from 127.0.0.1 closed") == closed;
             ++i)
            usleep(10000);
        d.stop();
        const std::string out = d.dir().file("etc/callgrind.out");
        if (!o.keep_profiles.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(o.keep_profiles, ec);
            std::filesystem::copy_file(out, o.keep_profiles + "/callgrind." + name + ".out",
                                       std::filesystem::copy_options::overwrite_existing, ec);
        }
        return callgrind_total(out);
    };
    const long long base = measure(nullptr, 0, "idle");
    bool ok = base > 0;
    for (size_t k = 0; ok && k < cases.size(); ++k) {
        const long long total = measure(&cases[k], o.callgrind, "case" + std::to_string(k + 1));
        ok = total > base;
        if (ok)
            std::printf("%-20s %10.0f instructions/request (user space, %d requests)\n",
                        cases[k].name, static_cast<double>(total - base) / o.callgrind,
                        o.callgrind);
    }
    bench_daemon_binary = g_daemon.c_str();
    if (!ok)
        std::fprintf(stderr, "kovex4-bench: callgrind run failed\n");
    return ok;
}

void print_machine() {
    utsname u{};
    uname(&u);
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("machine: %s %s, %ld CPUs, load average %.2f %.2f %.2f\n", u.sysname, u.release,
                sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
}

bool parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            o.quick = true;
            o.rounds = 1;
            o.samples = 100;
            o.paced_budget = 0.05;
            o.startups = 1;
            o.footprint = 200;
            o.callgrind = 0;
            o.quiet_wait = 0;
        } else if (a == "--rounds" && i + 1 < argc) {
            o.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--samples" && i + 1 < argc) {
            o.samples = std::max(10, std::atoi(argv[++i]));
        } else if (a == "--quiet-wait" && i + 1 < argc) {
            o.quiet_wait = std::max(0, std::atoi(argv[++i]));
        } else if (a == "--daemon" && i + 1 < argc) {
            g_daemon = argv[++i];
        } else if (a == "--keep-profiles" && i + 1 < argc) {
            o.keep_profiles = argv[++i];
        } else if (a == "--only" && i + 1 < argc) {
            o.only = argv[++i];
        } else if (a == "--no-callgrind") {
            o.callgrind = 0;
        } else {
            std::fprintf(stderr, "usage: kovex4-bench [--quick] [--rounds N] [--samples N] "
                                 "[--quiet-wait SECONDS] [--no-callgrind] [--keep-profiles DIR]\n"
                                 "                    [--daemon PATH] [--only PHASE]\n");
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, o))
        return 2;
    bench_daemon_binary = g_daemon.c_str();
    if (geteuid() != 0) {
        std::fprintf(stderr, "kovex4-bench: run as root (the daemon runs in a private mount "
                             "namespace)\n");
        return 2;
    }
    print_machine();
    std::vector<Case> cases = make_cases();
    bool ok = true;
    {
        Daemon d;
        d.sim().with([](DevSim& s) { fill_device(s); });
        Client client;
        ok = start_daemon(d, d.settings(), client);
        for (Case& c : cases)
            ok = ok && capture_serial(d, client, c);
        if (ok) {
            std::printf("serial exchanges per case (request + reply bytes):\n");
            for (const Case& c : cases) {
                std::printf("  %-20s", c.name);
                for (const SerialExchange& e : c.serial)
                    std::printf(" %zu+%zu", e.request.size(), e.reply.size());
                std::printf("\n");
            }
        }
        ok = ok && (!o.runs("latency") || latency_phase(o, d, client, cases)) &&
             (!o.runs("throughput") || throughput_phase(o, client, cases[0]));
        if (client.fd >= 0)
            close(client.fd);
    }
    ok = ok && (!o.runs("footprint") || startup_and_footprint_phase(o, cases[0])) &&
         (!o.runs("paced") || paced_phase(o, cases));
    if (ok && o.callgrind > 0 && o.runs("callgrind"))
        ok = callgrind_phase(o, cases);
    print_machine();
    if (!ok) {
        std::fprintf(stderr, "kovex4-bench: failed\n");
        return 1;
    }
    return 0;
}
