// SPDX-License-Identifier: Apache-2.0
// kovex4-tls-bench: what Modbus over TLS costs against plain Modbus TCP on this machine. Runs the
// real kovex4 binary (through the end-to-end harness) against the simulated field device, once
// plain and once with the TLS settings (certificates made by tests/e2e/tls_peer.py with openssl),
// and prints the median and 99th percentile of a 2-register read, the handshake time and the
// daemon's own CPU time and instructions for one full handshake, its CPU time for one resumed on
// an earlier session, the daemon's resident memory with 16 clients of each kind connected, and
// the worst wait of a client's reads while hostile peers attack the handshake. Every answer is
// checked.
// With --flood [RATE] [DAEMON] it measures only how often a client with a certificate connects,
// and how fast, while idle connections come from another address at RATE a second (default 1000).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "harness.h"
#include "sys/deadline.h"
#include "sys/tls.h"

#ifndef KOVEX4_DAEMON
#error "KOVEX4_DAEMON must name the kovex4 binary"
#endif

const char* bench_daemon_binary = KOVEX4_DAEMON;

namespace {

constexpr int kClients = 16;
const Bytes kRequest = read_request(1, 0x0400, 2);
const Bytes kAnswer = {0, 1, 0, 0, 0, 7, 1, 3, 4, 0x12, 0x34, 0x56, 0x78};

struct TlsClient {
    int fd = -1;
    TlsSession session;
    ~TlsClient() {
        tls_session_close(session);
        if (fd >= 0)
            close(fd);
    }
};

// Connects and completes the handshake, on the last session when `resume`; false (with the
// reason printed) when it failed.
bool tls_connect(const TlsCredentials& credentials, unsigned port, TlsClient& client,
                 bool resume = false) {
    client.fd = connect_local(port);
    if (client.fd < 0 ||
        !tls_session_open(client.session, credentials.client, client.fd, nullptr, resume) ||
        !tls_handshake_until(client.session, wait_clock_us() + 10000000)) {
        char reason[TLS_REASON_SIZE];
        tls_reason(client.session, reason, sizeof reason);
        std::fprintf(stderr, "handshake failed: %s\n", reason);
        return false;
    }
    return true;
}

bool tls_exchange(TlsClient& client, Bytes& reply, int64_t timeout_us = 5000000) {
    if (!tls_send_all(client.session, kRequest.data(), kRequest.size(),
                      wait_clock_us() + timeout_us))
        return false;
    size_t got = 0;
    while (got < reply.size()) {
        if (!tls_pending(client.session) &&
            wait_fd(client.fd, WaitFor::read, wait_clock_us() + timeout_us) <= 0)
            return false;
        const ssize_t n = tls_recv(client.session, reply.data() + got, reply.size() - got);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            return false;
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return true;
}

void print(const char* what, const Summary& s) {
    std::printf("%-34s median %8.1f us   p99 %8.1f us   (n=%zu)\n", what, s.median_us, s.p99_us,
                s.n);
}

// The daemon with its simulated device answering registers 1025-1026 with kAnswer's values.
std::unique_ptr<Daemon> start(const std::string& extra) {
    auto d = std::make_unique<Daemon>();
    d->sim().with([](DevSim& s) {
        s.items['i'][1] = 0x1234;
        s.items['i'][2] = 0x5678;
    });
    if (!d->start(d->settings("MOD_KOVEX4_CLIENTS=16\n" + extra)) || !d->wait_listening()) {
        std::fprintf(stderr, "the daemon did not start\n");
        std::exit(1);
    }
    return d;
}

long rss_kb(const Daemon& d) {
    ProcFigures figures;
    return proc_figures(d.pid(), figures) ? figures.rss_kb : -1;
}

uint64_t run_ns(const Daemon& d) {
    ProcFigures figures;
    return proc_figures(d.pid(), figures) ? figures.run_ns : 0;
}

// A client reading back to back for `seconds` while `attackers` (tls_peer.py command lines) run:
// prints how many answers it got and its worst wait. False when a read failed.
bool reads_under_attack(const TlsCredentials& credentials, const Daemon& d, const char* what,
                        const std::vector<std::string>& attackers, double seconds) {
    TlsClient client;
    if (!tls_connect(credentials, d.port(), client))
        return false;
    std::vector<pid_t> pids;
    for (size_t i = 0; i < attackers.size(); ++i)
        pids.push_back(spawn_to_file({"/bin/sh", "-c", attackers[i]},
                                     d.dir().file("attacker" + std::to_string(i))));
    Bytes reply(kAnswer.size());
    int64_t worst = 0;
    size_t answers = 0;
    bool ok = true;
    const int64_t start = now_ns();
    while (ok && seconds_since(start) < seconds) {
        const int64_t t0 = now_ns();
        ok = tls_exchange(client, reply, 60000000) && reply == kAnswer;
        worst = std::max(worst, now_ns() - t0);
        answers += ok;
    }
    // The attackers are ended whatever happened, so that a failed read leaves none behind.
    for (pid_t pid : pids)
        end_process(pid);
    if (!ok)
        return std::fprintf(stderr, "%s: a read failed\n", what), false;
    std::printf("  %-54s %7zu answers in %.0f s, worst wait %7.1f ms\n", what, answers, seconds,
                static_cast<double>(worst) / 1e6);
    return true;
}

// Instructions the daemon executes in its handshake code (callgrind, collecting only inside
// tls_handshake_step) for `count` full handshakes, or with `resume` for one full handshake and
// `count` that resume the session of the one before (each client reads an answer, before which
// the new ticket arrives); -1 without valgrind.
double handshake_instructions(const TlsCredentials& credentials, const std::string& settings,
                              int count, bool resume) {
    if (access("/usr/bin/valgrind", X_OK) != 0)
        return -1;
    auto d = std::make_unique<Daemon>(std::vector<std::string>{
        "/usr/bin/valgrind", "-q", "--tool=callgrind", "--callgrind-out-file={log}",
        "--collect-atstart=no", "--toggle-collect=tls_handshake_step*"});
    if (!d->start(d->settings(settings)) || !d->wait_listening(60000))
        return -1;
    Bytes reply(kAnswer.size());
    for (int i = 0; i < count + (resume ? 1 : 0); ++i) {
        TlsClient client;
        if (!tls_connect(credentials, d->port(), client, resume) ||
            (resume && !tls_exchange(client, reply)))
            return -1;
    }
    const std::string log = d->wrapper_log();
    d->stop();
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("summary: ", 0) == 0 || line.rfind("totals: ", 0) == 0)
            return std::strtod(line.c_str() + line.find(' '), nullptr);
    return -1;
}

// A client with a certificate connecting `tries` times from 127.0.0.1, one connection after the
// other, while a thread opens idle connections from 127.0.0.2 at `rate` a second and holds each
// for 2 s: prints how many of its handshakes succeeded and how long they took.
bool flood_connects(const TlsCredentials& credentials, const std::string& tls, int rate,
                    int tries) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    auto d = start(tls);
    std::atomic<bool> stop{false};
    std::atomic<long> opened{0};
    const unsigned port = d->port();
    std::thread flooder([&] {
        std::deque<std::pair<int64_t, int>> held;
        // Rate 0: no flood, for the handshake's usual time.
        const int64_t step = rate > 0 ? 1000000000 / rate : 0;
        for (int64_t next = rate > 0 ? now_ns() : INT64_MAX; !stop;) {
            const int64_t now = now_ns();
            while (!held.empty() && now - held.front().first > 2000000000) {
                close(held.front().second);
                held.pop_front();
            }
            if (now < next) {
                std::this_thread::sleep_for(
                    std::chrono::nanoseconds(std::min<int64_t>(next - now, 10000000)));
                continue;
            }
            next += step;
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            const sockaddr_in from{AF_INET, 0, {htonl(0x7F000002)}, {}};
            const sockaddr_in to{
                AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
            if (fd < 0)
                continue;
            bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
            connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            held.emplace_back(now, fd);
            ++opened;
        }
        for (const auto& [at, fd] : held)
            close(fd);
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int connected = 0;
    std::vector<int64_t> ns;
    for (int i = 0; i < tries; ++i) {
        TlsClient client;
        const int64_t t0 = now_ns();
        if (tls_connect(credentials, port, client)) {
            ++connected;
            ns.push_back(now_ns() - t0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    flooder.join();
    const Summary s = summarise(ns);
    std::sort(ns.begin(), ns.end());
    std::printf("%d idle connections a second from 127.0.0.2 (%ld in all, each held 2 s): a client "
                "with a certificate from 127.0.0.1 connected %d times in %d; handshake median "
                "%.1f ms, worst %.1f ms\n",
                rate, opened.load(), connected, tries, s.median_us / 1000,
                ns.empty() ? 0.0 : static_cast<double>(ns.back()) / 1e6);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--flood") {
        if (argc > 3)
            bench_daemon_binary = argv[3];
        TempDir dir;
        const std::string certs = dir.path();
        TlsCredentials credentials;
        char reason[TLS_REASON_SIZE];
        if (run_command("/usr/bin/python3 " KOVEX4_TLS_PEER " certs " + certs) != "ok\n" ||
            !tls_credentials_load(credentials, (certs + "/writer.pem").c_str(),
                                  (certs + "/writer.key").c_str(), (certs + "/ca.pem").c_str(),
                                  reason, sizeof reason))
            return std::fprintf(stderr, "the certificates could not be made\n"), 1;
        const std::string tls = "MOD_KOVEX4_TLS_CERT=" + certs +
                                "/gateway.pem\nMOD_KOVEX4_TLS_KEY=" + certs +
                                "/gateway.key\nMOD_KOVEX4_TLS_CA=" + certs + "/ca.pem\n";
        const bool ok = flood_connects(credentials, tls, argc > 2 ? std::atoi(argv[2]) : 1000, 20);
        tls_credentials_free(credentials);
        return ok ? 0 : 1;
    }
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int handshakes = argc > 2 ? std::atoi(argv[2]) : 200;
    const double attack_seconds = argc > 3 ? std::atof(argv[3]) : 20;
    if (geteuid() != 0) {
        std::fprintf(stderr, "kovex4-tls-bench needs root (private mount namespaces)\n");
        return 1;
    }
    TempDir dir;
    const std::string certs = dir.path();
    if (run_command("/usr/bin/python3 " KOVEX4_TLS_PEER " certs " + certs) != "ok\n") {
        std::fprintf(stderr, "the certificates could not be made\n");
        return 1;
    }
    TlsCredentials credentials;
    char reason[TLS_REASON_SIZE];
    if (!tls_credentials_load(credentials, (certs + "/writer.pem").c_str(),
                              (certs + "/writer.key").c_str(), (certs + "/ca.pem").c_str(), reason,
                              sizeof reason)) {
        std::fprintf(stderr, "client credentials: %s\n", reason);
        return 1;
    }
    Bytes reply(kAnswer.size());

    std::printf("2-register read (function 3) through the gateway and the simulated device, "
                "%d samples:\n",
                samples);
    long plain_rss_idle = 0, plain_rss_16 = 0;
    {
        auto d = start("");
        const int fd = connect_local(d->port());
        std::vector<int64_t> ns;
        for (int i = 0; i < samples; ++i) {
            const int64_t t0 = now_ns();
            if (!exchange(fd, kRequest, reply) || reply != kAnswer)
                return std::fprintf(stderr, "plain: wrong answer\n"), 1;
            ns.push_back(now_ns() - t0);
        }
        close(fd);
        print("plain Modbus TCP", summarise(ns));
        plain_rss_idle = rss_kb(*d);
        std::vector<int> fds;
        for (int i = 0; i < kClients; ++i) {
            fds.push_back(connect_local(d->port()));
            if (!exchange(fds.back(), kRequest, reply) || reply != kAnswer)
                return std::fprintf(stderr, "plain: wrong answer\n"), 1;
        }
        plain_rss_16 = rss_kb(*d);
        for (int f : fds)
            close(f);
    }
    const std::string tls = "MOD_KOVEX4_TLS_CERT=" + certs +
                            "/gateway.pem\nMOD_KOVEX4_TLS_KEY=" + certs +
                            "/gateway.key\nMOD_KOVEX4_TLS_CA=" + certs + "/ca.pem\n";
    auto d = start(tls);
    double read_cpu_us = 0; // the gateway's CPU time for one read over TLS
    {
        TlsClient client;
        if (!tls_connect(credentials, d->port(), client))
            return 1;
        std::vector<int64_t> ns;
        const uint64_t cpu_before = run_ns(*d);
        for (int i = 0; i < samples; ++i) {
            const int64_t t0 = now_ns();
            if (!tls_exchange(client, reply) || reply != kAnswer)
                return std::fprintf(stderr, "TLS: wrong answer\n"), 1;
            ns.push_back(now_ns() - t0);
        }
        read_cpu_us = static_cast<double>(run_ns(*d) - cpu_before) / samples / 1e3;
        print("Modbus over TLS 1.3", summarise(ns));
    }
    {
        std::vector<int64_t> ns;
        const uint64_t cpu_before = run_ns(*d);
        for (int i = 0; i < handshakes; ++i) {
            TlsClient client;
            const int64_t t0 = now_ns();
            if (!tls_connect(credentials, d->port(), client))
                return 1;
            ns.push_back(now_ns() - t0);
        }
        const double cpu_us = static_cast<double>(run_ns(*d) - cpu_before) / handshakes / 1e3;
        std::printf("\nTLS 1.3 handshake (connect to established, EC P-256 certificates, client "
                    "certificate verified), %d samples:\n",
                    handshakes);
        print("handshake", summarise(ns));
        // The time one new client holds up everyone else, which a slow core multiplies.
        std::printf("  the gateway's own CPU time: %.0f us a handshake\n", cpu_us);
        // A client that comes back on the session its last connection made. A TLS 1.3 session
        // serves once: each connection reads an answer, before which the gateway's new ticket
        // arrives, and the gateway's CPU time for that read is taken off.
        {
            TlsClient first;
            if (!tls_connect(credentials, d->port(), first) || !tls_exchange(first, reply))
                return std::fprintf(stderr, "TLS: no first session\n"), 1;
        }
        std::vector<int64_t> resumed_ns;
        const uint64_t resumed_before = run_ns(*d);
        for (int i = 0; i < handshakes; ++i) {
            TlsClient client;
            const int64_t t0 = now_ns();
            if (!tls_connect(credentials, d->port(), client, true))
                return 1;
            resumed_ns.push_back(now_ns() - t0);
            if (!client.session.resumed)
                return std::fprintf(stderr, "TLS: the session was not resumed\n"), 1;
            if (!tls_exchange(client, reply) || reply != kAnswer)
                return std::fprintf(stderr, "TLS: wrong answer\n"), 1;
        }
        const double resumed_us =
            static_cast<double>(run_ns(*d) - resumed_before) / handshakes / 1e3 - read_cpu_us;
        print("resumed handshake", summarise(resumed_ns));
        std::printf("  the gateway's own CPU time: %.0f us a resumed handshake (%.0f us a read)\n",
                    resumed_us, read_cpu_us);
        const double full = handshake_instructions(credentials, tls, 20, false) / 20;
        const double resumed = (handshake_instructions(credentials, tls, 20, true) - full) / 20;
        if (full > 0 && resumed > 0)
            std::printf("  the gateway's instructions in its handshake code: %.2f million a full "
                        "handshake, %.2f million a resumed one (callgrind, 20 handshakes)\n",
                        full / 1e6, resumed / 1e6);
    }
    const long tls_rss_idle = rss_kb(*d);
    {
        std::vector<std::unique_ptr<TlsClient>> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<TlsClient>());
            if (!tls_connect(credentials, d->port(), *clients.back()) ||
                !tls_exchange(*clients.back(), reply) || reply != kAnswer)
                return std::fprintf(stderr, "TLS: client %d failed\n", i), 1;
        }
        const long tls_rss_16 = rss_kb(*d);
        std::printf("\nResident memory of the daemon (VmRSS):\n");
        std::printf("  plain, no client: %ld KiB; with %d clients: %ld KiB\n", plain_rss_idle,
                    kClients, plain_rss_16);
        std::printf("  TLS, no client:   %ld KiB; with %d clients: %ld KiB (%ld KiB a client)\n",
                    tls_rss_idle, kClients, tls_rss_16, (tls_rss_16 - tls_rss_idle) / kClients);
    }
    // Another client's reads while peers without a valid certificate attack the handshake.
    std::printf("\nA TLS client's reads while hostile peers attack the handshake:\n");
    const std::string peer = "exec /usr/bin/python3 " KOVEX4_TLS_PEER " ";
    const std::string port = std::to_string(d->port()), time = std::to_string(attack_seconds);
    const std::string heavy = peer + "hostile " + port + " " + certs + " heavy 1.3 " + time;
    if (!reads_under_attack(credentials, *d, "no attack", {}, attack_seconds) ||
        !reads_under_attack(credentials, *d, "two peers presenting RSA-8192 chains", {heavy, heavy},
                            attack_seconds) ||
        !reads_under_attack(credentials, *d, "20 handshakes a second, impostor certificates",
                            {peer + "flood " + port + " " + certs + " 20 " + time}, attack_seconds))
        return 1;
    tls_credentials_free(credentials);
    return 0;
}
