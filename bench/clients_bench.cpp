// SPDX-License-Identifier: Apache-2.0
// kovex4-clients-bench: several Modbus TCP clients polling the real daemon as fast as they can,
// with MOD_KOVEX4_CLIENTS set to their number. Prints, for 1, 4 and 16 clients (or the counts
// given as arguments), the total requests per second, the median and 99th percentile latency of
// each client, and the spread between the busiest and the least served client.
//
// Without options each client keeps one read of 2 registers ('i' items behind 0x0400)
// outstanding, and every request goes to the simulated field device on its pseudo-terminal, which
// answers at once. With --line BAUD the device sits behind a line paced at BAUD bit/s in both
// directions (10 bits a byte), the clients read 10 registers, and every count runs without a cache
// and with MOD_KOVEX4_CACHE_MS=1000; the device transactions per second come from the daemon's
// counters line, beside the most the line allows for that read. --pipelining measures, on such a
// line with two clients allowed, how long a client's one read waits when it arrives 0.15 s after
// another client sent 40 reads in one segment. --push measures a master's worst wait while a push
// waits for its answer, on a receiver that sends nothing and on one that streams empty headers,
// each for SECONDS (default 15, longer than the slot's 10 s budget); with --line BAUD the device
// sits behind a paced line, so that one device transaction stands out from the machine's noise.
// --flood RATE measures a client reading every 0.1 s with MOD_KOVEX4_CLIENTS=16 while idle
// connections come from another address at RATE a second. --daemon PATH measures another build of
// kovex4. Run as root (the daemon runs in a private mount namespace):
//   kovex4-clients-bench [--line BAUD] [--pipelining] [--push] [--flood RATE] [--daemon PATH]
//                        [SECONDS] [N...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "harness.h"
#include "sys/sockets.h"

// The program the end-to-end harness starts (see harness_binary.h).
const char* bench_daemon_binary = KOVEX4_DAEMON;

namespace {

using Clock = std::chrono::steady_clock;

struct ClientFigures {
    std::vector<double> latency_us;
    unsigned failures = 0;
};

// One measurement: how many clients, for how long, on which line, reading how many registers.
struct Setup {
    unsigned clients = 1;
    double seconds = 10;
    unsigned baud = 0;     // 0: the simulator answers at once
    uint32_t cache_ms = 0; // MOD_KOVEX4_CACHE_MS; 0: none
    uint16_t quantity = 2; // registers per read, from 0x0400
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

Bytes read_of(uint16_t tid, uint16_t quantity) {
    return {uint8_t(tid >> 8), uint8_t(tid), 0, 0, 0, 6, 1, 3, 0x04, 0x00, 0, uint8_t(quantity)};
}

// Serial bytes of one read of `items` 'i' items: the request carries 3 bytes an item after 9 of
// frame and count, the reply 2 bytes an item after 14.
size_t read_wire_bytes(size_t items) {
    return 9 + 3 * items + 14 + 2 * items;
}

void poll_daemon(unsigned port, uint16_t tid, uint16_t quantity, const std::atomic<bool>& go,
                 const std::atomic<bool>& stop, ClientFigures& out, std::atomic<unsigned>& done) {
    const int fd = connect_local(port);
    if (fd < 0) {
        ++out.failures;
        ++done;
        return;
    }
    const Bytes request = read_of(tid, quantity);
    while (!go)
        std::this_thread::yield();
    while (!stop) {
        const auto t0 = Clock::now();
        const Bytes answer = request_reply(fd, request, 20000);
        if (answer.size() != 9u + 2u * quantity) {
            ++out.failures;
            break;
        }
        out.latency_us.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(fd);
    ++done;
}

// The device's items behind 0x0400 ... 0x0409.
std::unique_ptr<DevSim> device() {
    auto sim = std::make_unique<DevSim>();
    sim->keep_requests = false;
    for (int i = 1; i <= 10; ++i)
        sim->items['i'][i] = uint16_t(i);
    return sim;
}

// The daemon's device_transactions counter: asks for the counters line and waits for a new one.
long long device_transactions(Daemon& d) {
    const auto last = [&] {
        long long value = -1;
        size_t lines = 0;
        for (const LogLine& l : d.logs())
            if (l.text.rfind("counters: ", 0) == 0) {
                ++lines;
                const size_t at = l.text.find(" device_transactions=");
                if (at != std::string::npos)
                    value = std::atoll(l.text.c_str() + at + 21);
            }
        return std::pair(lines, value);
    };
    const size_t before = last().first;
    kill(d.pid(), SIGUSR1);
    for (int i = 0; i < 1000 && last().first == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return last().second;
}

// Starts the daemon for `setup`, on `line` when given; false (reported) when it does not start.
bool start(Daemon& d, const Setup& setup, const PacedLine* line) {
    std::string extra = "MOD_KOVEX4_CLIENTS=" + std::to_string(setup.clients) + "\n";
    if (setup.cache_ms != 0)
        extra += "MOD_KOVEX4_CACHE_MS=" + std::to_string(setup.cache_ms) + "\n";
    const std::string settings = line == nullptr
                                     ? d.settings(extra)
                                     : "MOD_KOVEX4_DEVICE=" + line->path().substr(5) +
                                           "\nMOD_KOVEX4_BAUDRATE=" + std::to_string(setup.baud) +
                                           "\nMOD_KOVEX4_PORT=" + std::to_string(d.port()) +
                                           "\nMOD_KOVEX4_STATION=1\n" + extra;
    if (!d.start(settings) || !d.wait_listening()) {
        std::fprintf(stderr, "the daemon did not start\n");
        return false;
    }
    return true;
}

bool run(const Setup& setup) {
    Daemon d;
    d.sim().with([](DevSim& s) {
        s.keep_requests = false;
        s.items['i'][1] = 1;
        s.items['i'][2] = 2;
    });
    std::unique_ptr<PacedLine> line;
    if (setup.baud != 0)
        line = std::make_unique<PacedLine>(setup.baud, device());
    if (!start(d, setup, line.get()))
        return false;
    const unsigned clients = setup.clients;
    std::vector<ClientFigures> figures(clients);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false}, stop{false};
    std::atomic<unsigned> done{0};
    for (unsigned i = 0; i < clients; ++i)
        threads.emplace_back(poll_daemon, d.port(), uint16_t(i + 1), setup.quantity, std::cref(go),
                             std::cref(stop), std::ref(figures[i]), std::ref(done));
    // All connections are accepted (one per loop iteration) before the clock starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + 20 * clients));
    const long long transactions_before = line ? device_transactions(d) : 0;
    go = true;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(setup.seconds));
    stop = true;
    // The daemon logs each connection's end, and waits while its log socket is full. The window
    // closes with the last answer, so that requests and device transactions cover the same time.
    while (done < clients) {
        d.logs();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    for (std::thread& t : threads)
        t.join();
    const long long transactions = line ? device_transactions(d) - transactions_before : 0;

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
    const double spread = most == 0 ? 0.0 : 100.0 * static_cast<double>(most - least) / most;
    const char* failed = failures != 0 ? " FAILURES" : "";
    if (!line) {
        std::printf("%2u clients: %7.0f requests/s in all; per client median %6.0f-%6.0f us, "
                    "99th percentile %6.0f-%6.0f us; least/most served %zu/%zu (spread %.1f "
                    "%%)%s\n",
                    clients, static_cast<double>(total) / elapsed,
                    *std::min_element(medians.begin(), medians.end()),
                    *std::max_element(medians.begin(), medians.end()),
                    *std::min_element(p99s.begin(), p99s.end()),
                    *std::max_element(p99s.begin(), p99s.end()), least, most, spread, failed);
    } else {
        std::printf("%5u %2u %8.1f %9.1f-%-9.1f %9.1f-%-9.1f %7zu/%-7zu %5.1f%% %8.2f%s\n",
                    setup.cache_ms, clients, static_cast<double>(total) / elapsed,
                    *std::min_element(medians.begin(), medians.end()) / 1000,
                    *std::max_element(medians.begin(), medians.end()) / 1000,
                    *std::min_element(p99s.begin(), p99s.end()) / 1000,
                    *std::max_element(p99s.begin(), p99s.end()) / 1000, least, most, spread,
                    static_cast<double>(transactions) / elapsed, failed);
    }
    return failures == 0;
}

// A read arriving during a batch: client A sends 40 reads in one segment, client B one read 0.15 s
// later; prints how long B waited and how long A's batch took.
bool pipelining(unsigned baud) {
    const uint16_t quantity = 10;
    Setup setup;
    setup.clients = 2;
    setup.baud = baud;
    PacedLine line(baud, device());
    Daemon d;
    if (!start(d, setup, &line))
        return false;
    const int a = connect_local(d.port()), b = connect_local(d.port());
    if (a < 0 || b < 0)
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Bytes batch;
    for (uint16_t k = 0; k < 40; ++k) {
        const Bytes request = read_of(k, quantity);
        batch.insert(batch.end(), request.begin(), request.end());
    }
    const auto t0 = Clock::now();
    bool ok = send(a, batch.data(), batch.size(), MSG_NOSIGNAL) == ssize_t(batch.size());
    double a_done = 0;
    std::thread reader([&] {
        for (int k = 0; k < 40 && ok; ++k)
            ok = read_frame(a, 20000).size() == 9u + 2u * quantity;
        a_done = std::chrono::duration<double>(Clock::now() - t0).count();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto t1 = Clock::now();
    const bool b_ok = request_reply(b, read_of(99, quantity), 20000).size() == 9u + 2u * quantity;
    const double b_wait = std::chrono::duration<double>(Clock::now() - t1).count();
    reader.join();
    close(a);
    close(b);
    d.logs();
    const double exchange = static_cast<double>(line.byte_ns(read_wire_bytes(quantity))) / 1e9;
    std::printf("%u bit/s, one device exchange %.1f ms: the quiet client waited %.3f s "
                "(%.1f exchanges); the 40 reads took %.2f s%s\n",
                baud, exchange * 1000, b_wait, b_wait / exchange, a_done,
                ok && b_ok ? "" : " FAILURES");
    return ok && b_ok;
}

// A master polling back to back while the push waits: the receiver (this program's, on
// 127.0.0.1, the daemon listening on 127.0.0.2) takes a push's request and then, for `hold`
// seconds, sends nothing (first push) or streams empty headers a megabyte at a time (second
// push), until the gateway gives up; it never answers. Prints the master's worst and median wait
// while each push was held, against a read when no push runs (about one device transaction).
bool push_waits(double hold, unsigned baud) {
    Daemon d;
    d.sim().with([](DevSim& s) {
        s.keep_requests = false;
        s.items['i'][5] = 1; // the alarm register of slot 1: pushed every second
    });
    // On a paced line the device's items are 1 ... 10, the alarm register's 5.
    std::unique_ptr<PacedLine> line;
    if (baud != 0)
        line = std::make_unique<PacedLine>(baud, device());
    const std::string push = "MOD_KOVEX4_LISTEN=127.0.0.2\nMOD_KOVEX4_IPADDR=127.0.0.1\n"
                             "MOD_KOVEX4_ALARM_PERIOD=1\nMOD_KOVEX4_START1=1025\n"
                             "MOD_KOVEX4_COUNT1=2\nMOD_KOVEX4_ALARM1=1029\n";
    const std::string settings = line == nullptr
                                     ? d.settings(push)
                                     : "MOD_KOVEX4_DEVICE=" + line->path().substr(5) +
                                           "\nMOD_KOVEX4_BAUDRATE=" + std::to_string(baud) +
                                           "\nMOD_KOVEX4_PORT=" + std::to_string(d.port()) +
                                           "\nMOD_KOVEX4_STATION=1\n" + push;
    const int listen_fd = socket_open_tcp_server(d.port(), 0x7F000001);
    if (listen_fd < 0 || !d.start(settings)) {
        std::fprintf(stderr, "the daemon did not start\n");
        return false;
    }
    using Window = std::pair<Clock::time_point, Clock::time_point>;
    std::vector<Window> held; // [first byte of a push request, end of the hold)
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        for (int kind = 0; kind < 2; ++kind) {
            pollfd p{listen_fd, POLLIN, 0};
            if (poll(&p, 1, 120000) <= 0)
                break;
            const int conn = accept(listen_fd, nullptr, nullptr);
            uint8_t request[512];
            if (recv(conn, request, sizeof request, 0) <= 0) {
                close(conn);
                break;
            }
            const Clock::time_point from = Clock::now();
            const auto until = from + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(hold));
            const Bytes chunk(1 << 20, 0);
            // The hold ends early when the gateway gives up and closes the connection.
            for (bool open = true; open && Clock::now() < until;) {
                pollfd events{conn, static_cast<short>(kind == 0 ? POLLIN : POLLOUT), 0};
                if (poll(&events, 1, 10) <= 0)
                    continue;
                if (kind == 0 || (events.revents & (POLLERR | POLLHUP)) != 0)
                    open = recv(conn, request, sizeof request, MSG_DONTWAIT) > 0;
                else
                    open =
                        send(conn, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0 ||
                        errno == EAGAIN;
            }
            held.emplace_back(from, Clock::now());
            close(conn);
        }
        done = true;
    });
    int master = -1;
    eventually([&] { return (master = connect_local(d.port(), "127.0.0.2")) >= 0; }, 5000);
    std::vector<Window> reads;
    bool ok = master >= 0;
    for (uint16_t tid = 0; ok && !done; ++tid) {
        const auto t0 = Clock::now();
        ok = request_reply(master, read_of(tid, 2), 60000).size() == 13u;
        reads.emplace_back(t0, Clock::now());
    }
    receiver.join();
    close(listen_fd);
    if (master >= 0)
        close(master);
    d.logs();
    const auto ms = [](Clock::duration t) {
        return std::chrono::duration<double, std::milli>(t).count();
    };
    std::vector<double> idle;
    for (const Window& r : reads)
        if (held.empty() || r.second < held[0].first)
            idle.push_back(ms(r.second - r.first));
    if (line != nullptr)
        std::printf("%u bit/s line: one device exchange of such a read %.1f ms on the wire\n", baud,
                    static_cast<double>(line->byte_ns(read_wire_bytes(2))) / 1e6);
    std::printf("a read when no push runs: median %.2f ms, worst %.2f ms (%zu reads)\n",
                percentile(idle, 0.5), percentile(idle, 1.0), idle.size());
    const char* kinds[] = {"sends nothing", "streams empty headers"};
    for (size_t k = 0; k < held.size(); ++k) {
        std::vector<double> waits;
        for (const Window& r : reads)
            if (r.second > held[k].first && r.first < held[k].second)
                waits.push_back(ms(r.second - r.first));
        std::printf("receiver that %s for %.0f s: the master's worst wait %.2f ms, median "
                    "%.2f ms (%zu reads)\n",
                    kinds[k], ms(held[k].second - held[k].first) / 1000, percentile(waits, 1.0),
                    percentile(waits, 0.5), waits.size());
    }
    if (!ok || held.size() != 2)
        std::printf("FAILURES\n");
    return ok && held.size() == 2;
}

// With MOD_KOVEX4_CLIENTS=16, a client at 127.0.0.1 reads every 0.1 s for `seconds` while idle
// connections come from 127.0.0.2 at `rate` a second, each held 2 s: prints how many answers it
// got and how often its connection was closed under it.
bool plain_flood(double seconds, int rate) {
    Daemon d;
    d.sim().with([](DevSim& s) { s.keep_requests = false; });
    Setup setup;
    setup.clients = 16;
    if (!start(d, setup, nullptr))
        return false;
    std::atomic<bool> stop{false};
    std::thread flooder([&] {
        std::vector<std::pair<Clock::time_point, int>> held;
        const auto step = std::chrono::microseconds(1000000 / std::max(rate, 1));
        for (auto next = Clock::now(); !stop; next += step) {
            std::this_thread::sleep_until(next);
            const sockaddr_in from{AF_INET, 0, {htonl(0x7F000002)}, {}};
            const sockaddr_in to{
                AF_INET, htons(static_cast<uint16_t>(d.port())), {htonl(INADDR_LOOPBACK)}, {}};
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
            connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            held.emplace_back(Clock::now(), fd);
            while (!held.empty() && Clock::now() - held.front().first > std::chrono::seconds(2)) {
                close(held.front().second);
                held.erase(held.begin());
            }
        }
        for (const auto& [at, fd] : held)
            close(fd);
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int answers = 0, closed = 0, fd = connect_local(d.port());
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    for (uint16_t tid = 0; Clock::now() < end; ++tid) {
        if (request_reply(fd, read_of(tid, 2), 2000).size() == 13u) {
            ++answers;
        } else {
            ++closed;
            close(fd);
            fd = connect_local(d.port());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    flooder.join();
    close(fd);
    d.logs();
    std::printf("MOD_KOVEX4_CLIENTS=16, %d idle connections a second from 127.0.0.2: a client "
                "reading every 0.1 s for %.0f s got %d answers, its connection closed %d times\n",
                rate, seconds, answers, closed);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    unsigned baud = 0;
    bool pipelined = false, push = false;
    int flood = -1;
    std::vector<double> numbers;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--line" && i + 1 < argc)
            baud = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (arg == "--daemon" && i + 1 < argc)
            bench_daemon_binary = argv[++i];
        else if (arg == "--pipelining")
            pipelined = true;
        else if (arg == "--push")
            push = true;
        else if (arg == "--flood" && i + 1 < argc)
            flood = std::atoi(argv[++i]);
        else
            numbers.push_back(std::atof(argv[i]));
    }
    if (pipelined)
        return pipelining(baud != 0 ? baud : 9600) ? 0 : 1;
    if (push)
        return push_waits(numbers.empty() ? 15 : numbers[0], baud) ? 0 : 1;
    if (flood >= 0)
        return plain_flood(numbers.empty() ? 20 : numbers[0], flood) ? 0 : 1;
    Setup setup;
    setup.seconds = numbers.empty() ? 10 : numbers[0];
    std::vector<unsigned> counts;
    for (size_t i = 1; i < numbers.size(); ++i)
        counts.push_back(static_cast<unsigned>(numbers[i]));
    if (counts.empty())
        counts = {1, 4, 16};
    bool ok = true;
    if (baud == 0) {
        for (unsigned n : counts) {
            setup.clients = n;
            ok = run(setup) && ok;
        }
        return ok ? 0 : 1;
    }
    setup.baud = baud;
    setup.quantity = 10;
    const double wire_ms = static_cast<double>(read_wire_bytes(10)) * 10 * 1000 / baud;
    std::printf("%u bit/s line, each client reading 0x0400 x10 (%zu serial bytes, %.1f ms on "
                "the wire:\nat most %.2f device transactions/s)\n",
                baud, read_wire_bytes(10), wire_ms, 1000 / wire_ms);
    std::printf("%5s %2s %8s %-19s %-19s %-15s %6s %8s\n", "cache", "n", "req/s", "median ms",
                "p99 ms", "least/most", "spread", "dev tx/s");
    for (const uint32_t cache_ms : {0u, 1000u}) {
        setup.cache_ms = cache_ms;
        for (unsigned n : counts) {
            setup.clients = n;
            ok = run(setup) && ok;
        }
    }
    return ok ? 0 : 1;
}
