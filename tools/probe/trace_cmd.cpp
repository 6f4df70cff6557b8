// SPDX-License-Identifier: Apache-2.0
// kovex4-probe trace: switches the running gateway's traffic trace on (SIGUSR2), shows its lines
// as they are logged and switches it off again at Ctrl-C or after --seconds.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "cli.h"
#include "json.h"
#include "sys/deadline.h"

namespace {

constexpr const char* TRACE_ON = "traffic trace on";
constexpr const char* TRACE_OFF = "traffic trace off";

struct Tracer {
    const Options& opt;
    const Gateway& gateway;
    GatewayLog& log;
    Json lines; // with --json: every line shown
    bool signalled = true;
    std::deque<std::string> pending; // read from the log, not shown yet

    // The next message of the gateway, waiting up to `wait_ms` for it; false when none came.
    bool next(int wait_ms, std::string& message) {
        if (pending.empty())
            for (std::string& m : log.next(wait_ms))
                pending.push_back(std::move(m));
        if (pending.empty())
            return false;
        message = std::move(pending.front());
        pending.pop_front();
        return true;
    }

    void show(const std::string& message) {
        if (opt.json)
            lines.value(message);
        else
            std::printf("%s\n", message.c_str());
        std::fflush(stdout);
    }

    bool signal() {
        if (kill(gateway.pid, SIGUSR2) == 0)
            return true;
        std::fprintf(stderr, "kovex4-probe: cannot signal process %d: %s\n", gateway.pid,
                     std::strerror(errno));
        signalled = false;
        return false;
    }

    // Waits up to 3 s for the gateway to say it switched the trace; the lines before that are
    // shown. The switch said ("on" or "off"), or empty when the log did not show it.
    std::string await_switch() {
        const int64_t deadline = wait_clock_us() + 3000000;
        std::string message;
        while (wait_clock_us() < deadline) {
            if (!next(100, message))
                continue;
            show(message);
            if (message == TRACE_ON || message == TRACE_OFF)
                return message == TRACE_ON ? "on" : "off";
        }
        return "";
    }
};

} // namespace

int run_trace(const Options& opt) {
    Gateway gateway;
    if (!find_gateway(opt, gateway))
        return 2;
    if (gateway.source().empty()) {
        std::fprintf(stderr,
                     "kovex4-probe: no readable system log here, so the trace cannot be shown; "
                     "switch it with kill -USR2 %d and read the lines where the system log "
                     "goes\n",
                     gateway.pid);
        return 1;
    }
    GatewayLog log(gateway);
    Tracer t{opt, gateway, log, {}, true, {}};
    t.lines.array();
    if (!t.signal())
        return 2;
    std::string state = t.await_switch();
    // Someone had switched it on already: this signal switched it off, the next one on again.
    if (state == "off" && t.signal())
        state = t.await_switch();
    if (!t.signalled)
        return 2;
    bool shown = state == "on";
    if (shown) {
        const int64_t end =
            opt.seconds > 0 ? wait_clock_us() + int64_t{opt.seconds} * 1000000 : INT64_MAX;
        std::string message;
        while (g_stop == 0 && wait_clock_us() < end)
            if (t.next(200, message))
                t.show(message);
        shown = t.signal() && t.await_switch() == "off";
    }
    if (opt.json)
        std::printf("%s\n", Json()
                                .object()
                                .key("pid")
                                .value(gateway.pid)
                                .key("log")
                                .value(gateway.source())
                                .key("lines")
                                .raw(t.lines.end().text())
                                .end()
                                .text()
                                .c_str());
    if (!t.signalled)
        return 2;
    if (!shown)
        std::fprintf(stderr,
                     "kovex4-probe: %s did not show the gateway switching its trace within 3 s\n",
                     gateway.source().c_str());
    return shown ? 0 : 1;
}
