// SPDX-License-Identifier: Apache-2.0
// The fleet benchmark: N gateways (the real binary, each with its simulated field device on its
// own pseudo-terminal, in its own private mount namespace) publish one slot every second to one
// Debian mosquitto on 127.0.0.1, and one subscriber (libmosquitto) takes every message. For each
// N it prints the messages per second the subscriber received, the messages lost (queued by a
// gateway and never received: must be 0), the delay from the device read (the message's "time")
// to the subscriber, and each gateway's resident memory and CPU.
// Usage: kovex4-fleet-bench [--seconds S] [--tls] [--daemon PATH] [N ...] (default 10 100 300).
// With --tls the broker asks for client certificates and every connection is TLS (certificates
// made by tests/e2e/tls_peer.py with openssl).
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "bench_support.h"
#include "harness.h"

const char* bench_daemon_binary = KOVEX4_DAEMON;

namespace {

constexpr int WAIT_MS = 120000;

// The subscriber: every message of the fleet, with the delay from its read time to now.
struct Received {
    std::mutex mutex;
    std::map<int, std::set<int64_t>> by_gateway; // gateway -> read times
    std::vector<int64_t> delays_ms;
    uint64_t messages = 0;
};

int64_t utc_ms() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// "2024-05-01T12:00:00.123Z" in milliseconds since 1970, or -1.
int64_t parse_utc(const char* text) {
    std::tm parts{};
    int ms = 0;
    if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms) != 7)
        return -1;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return int64_t{timegm(&parts)} * 1000 + ms;
}

void on_message(mosquitto*, void* data, const mosquitto_message* m) {
    Received& r = *static_cast<Received*>(data);
    const int64_t now = utc_ms();
    int gateway = -1;
    if (std::sscanf(m->topic, "fleet/gw%d/", &gateway) != 1)
        return;
    const std::string payload(static_cast<const char*>(m->payload),
                              static_cast<size_t>(m->payloadlen));
    const size_t at = payload.find("\"time\":\"");
    if (at == std::string::npos)
        return;
    const int64_t read = parse_utc(payload.c_str() + at + 8);
    const std::lock_guard<std::mutex> hold(r.mutex);
    ++r.messages;
    if (r.by_gateway[gateway].insert(read).second)
        r.delays_ms.push_back(now - read);
}

void on_connect(mosquitto* m, void*, int rc) {
    if (rc == 0)
        mosquitto_subscribe(m, nullptr, "fleet/+/slot/#", 1);
}

// The certificates of the TLS runs, empty without --tls.
std::string g_certs;

// The gateway's TLS settings in the TLS runs: its certificate, key and authority.
std::string tls_settings() {
    if (g_certs.empty())
        return "";
    return "MOD_KOVEX4_TLS_CERT=" + g_certs + "/gateway.pem\nMOD_KOVEX4_TLS_KEY=" + g_certs +
           "/gateway.key\nMOD_KOVEX4_TLS_CA=" + g_certs + "/ca.pem\n";
}

struct Broker {
    TempDir dir;
    unsigned port = 0;
    pid_t pid = -1;
    bool start() {
        const std::string tls = g_certs.empty() ? ""
                                                : "cafile " + g_certs + "/ca.pem\ncertfile " +
                                                      g_certs + "/gateway.pem\nkeyfile " + g_certs +
                                                      "/gateway.key\nrequire_certificate true\n";
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        port = bound_port(fd);
        close(fd);
        write_file(dir.file("mosquitto.conf"),
                   "listener " + std::to_string(port) +
                       " 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n"
                       "user root\n" +
                       tls);
        pid = spawn_to_file({"/usr/sbin/mosquitto", "-c", dir.file("mosquitto.conf")},
                            dir.file("broker.out"));
        return eventually(
            [&] {
                const int c = connect_local(port);
                if (c >= 0)
                    close(c);
                return c >= 0;
            },
            10000);
    }
    ~Broker() { end_process(pid); }
};

// A counter of the gateway's counters line, asked for with SIGUSR1.
long counter(Daemon& d, const std::string& name) {
    const int before = d.count_log("counters: ", true);
    kill(d.pid(), SIGUSR1);
    long value = -1;
    if (!eventually([&] { return d.count_log("counters: ", true) > before; }, 10000))
        return -1;
    for (const LogLine& l : d.logs()) {
        const size_t at = l.text.find(" " + name + "=");
        if (l.text.rfind("counters: ", 0) == 0 && at != std::string::npos)
            value = std::stol(l.text.substr(at + name.size() + 2));
    }
    return value;
}

double percentile(std::vector<int64_t> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return static_cast<double>(
        values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))]);
}

bool run(unsigned n, int seconds) {
    Broker broker;
    if (!broker.start()) {
        std::printf("N=%u: the broker did not start\n", n);
        return false;
    }
    Received received;
    mosquitto* sub = mosquitto_new("fleet-sub", true, &received);
    mosquitto_message_callback_set(sub, on_message);
    mosquitto_connect_callback_set(sub, on_connect);
    if (!g_certs.empty())
        mosquitto_tls_set(sub, (g_certs + "/ca.pem").c_str(), nullptr,
                          (g_certs + "/writer.pem").c_str(), (g_certs + "/writer.key").c_str(),
                          nullptr);
    if (mosquitto_connect(sub, "127.0.0.1", static_cast<int>(broker.port), 30) !=
            MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(sub) != MOSQ_ERR_SUCCESS) {
        std::printf("N=%u: the subscriber did not connect\n", n);
        return false;
    }
    std::vector<std::unique_ptr<Daemon>> fleet;
    for (unsigned k = 0; k < n; ++k) {
        auto d = std::make_unique<Daemon>(std::vector<std::string>{});
        d->sim().with([k](DevSim& s) {
            for (int i = 1; i <= 10; ++i)
                s.items['i'][i] = static_cast<uint16_t>(k * 10 + i);
        });
        const std::string settings =
            d->settings(tls_settings() +
                        "MOD_KOVEX4_DATA_PERIOD=1\nMOD_KOVEX4_START1=1025\nMOD_KOVEX4_COUNT1=10\n"
                        "MOD_KOVEX4_MQTT_HOST=127.0.0.1\nMOD_KOVEX4_MQTT_PORT=" +
                        std::to_string(broker.port) + "\nMOD_KOVEX4_MQTT_PREFIX=fleet/gw" +
                        std::to_string(k) + "\nMOD_KOVEX4_MQTT_CLIENT_ID=gw" + std::to_string(k) +
                        "\nMOD_KOVEX4_MQTT_QUEUE=" + d->dir().file("queue") + "\n");
        if (!d->start(settings)) {
            std::printf("N=%u: gateway %u did not start\n", n, k);
            return false;
        }
        fleet.push_back(std::move(d));
    }
    for (auto& d : fleet)
        if (!d->wait_log("MQTT connection to 127.0.0.1 established", WAIT_MS)) {
            std::printf("N=%u: a gateway did not connect:\n", n);
            for (const LogLine& l : d->logs())
                std::printf("  %s\n", l.text.c_str());
            return false;
        }
    // The measured stretch: from here, `seconds` of publishing.
    std::vector<ProcFigures> before(n), after(n);
    for (unsigned k = 0; k < n; ++k)
        proc_figures(fleet[k]->pid(), before[k]);
    uint64_t at_start;
    {
        const std::lock_guard<std::mutex> hold(received.mutex);
        at_start = received.messages;
        received.delays_ms.clear();
    }
    const int64_t t0 = now_ns();
    sleep(static_cast<unsigned>(seconds));
    const double elapsed = seconds_since(t0);
    uint64_t in_window;
    {
        const std::lock_guard<std::mutex> hold(received.mutex);
        in_window = received.messages - at_start;
    }
    for (unsigned k = 0; k < n; ++k)
        proc_figures(fleet[k]->pid(), after[k]);
    // Every message a gateway says it queued must arrive: wait for the subscriber to have them.
    std::vector<long> queued(n);
    long queued_total = 0;
    for (unsigned k = 0; k < n; ++k)
        queued[k] = counter(*fleet[k], "mqtt_queued");
    eventually(
        [&] {
            const std::lock_guard<std::mutex> hold(received.mutex);
            for (unsigned k = 0; k < n; ++k)
                if (static_cast<long>(received.by_gateway[static_cast<int>(k)].size()) < queued[k])
                    return false;
            return true;
        },
        30000);
    long lost = 0;
    std::vector<long> rss;
    std::vector<double> cpu;
    const double ticks = static_cast<double>(clock_ticks_per_second());
    {
        const std::lock_guard<std::mutex> hold(received.mutex);
        for (unsigned k = 0; k < n; ++k) {
            queued_total += queued[k];
            lost += std::max<long>(
                0, queued[k] - static_cast<long>(received.by_gateway[static_cast<int>(k)].size()));
            rss.push_back(after[k].rss_kb);
            cpu.push_back(100.0 * static_cast<double>(after[k].cpu_ticks - before[k].cpu_ticks) /
                          ticks / elapsed);
        }
    }
    std::sort(rss.begin(), rss.end());
    std::sort(cpu.begin(), cpu.end());
    const std::vector<int64_t> delays = received.delays_ms;
    std::printf("%5u %10.1f %9ld %6ld %8.0f %8.0f %8ld %8ld %8.2f %8.2f\n", n,
                static_cast<double>(in_window) / elapsed, queued_total, lost,
                percentile(delays, 0.5), percentile(delays, 0.99), rss[rss.size() / 2], rss.back(),
                cpu[cpu.size() / 2], cpu.back());
    std::fflush(stdout);
    mosquitto_disconnect(sub);
    mosquitto_loop_stop(sub, false);
    mosquitto_destroy(sub);
    return lost == 0;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 20;
    bool tls = false;
    std::vector<unsigned> counts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (arg == "--daemon" && i + 1 < argc)
            bench_daemon_binary = argv[++i];
        else if (arg == "--tls")
            tls = true;
        else
            counts.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    }
    if (counts.empty())
        counts = {10, 100, 300};
    // Each gateway holds a few descriptors here (its pseudo-terminal, its log socket).
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    mosquitto_lib_init();
    TempDir certs;
    if (tls) {
        g_certs = certs.path();
        if (run_command("/usr/bin/python3 " KOVEX4_TLS_PEER " certs " + g_certs + " 2>&1") !=
            "ok\n") {
            std::printf("the certificates could not be made\n");
            return 1;
        }
    }
    std::printf("Fleet: N gateways, one 10-register slot each every second (JSON, QoS 1%s), one "
                "mosquitto, one subscriber; %d s measured\n",
                tls ? ", TLS with client certificates" : "", seconds);
    std::printf("%5s %10s %9s %6s %8s %8s %8s %8s %8s %8s\n", "N", "msgs/s", "queued", "lost",
                "p50 ms", "p99 ms", "RSS KB", "max KB", "CPU %", "max %");
    bool ok = true;
    for (unsigned n : counts)
        ok = run(n, seconds) && ok;
    mosquitto_lib_cleanup();
    return ok ? 0 : 1;
}
