// SPDX-License-Identifier: Apache-2.0
// kovex4: Modbus TCP gateway for one field device on a serial line. No options, no environment
// but the service manager's NOTIFY_SOCKET: everything comes from the settings file.
#include <signal.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "service/service.h"
#include "sys/deadline.h"
#include "sys/log.h"
#include "sys/notify.h"

namespace {

// Set by SIGUSR1; the main loop logs the counters, never the handler itself.
volatile sig_atomic_t g_counters_wanted = 0;

void want_counters(int) {
    g_counters_wanted = 1;
}

// Set by SIGUSR2: the main loop switches the traffic trace on or off.
volatile sig_atomic_t g_trace_switch_wanted = 0;

void want_trace_switch(int) {
    g_trace_switch_wanted = 1;
}

} // namespace

int main(int argc, char**) {
    if (argc > 1) {
        // Nothing is opened, locked or logged: a stray argument must not leave a lock behind.
        std::fprintf(stderr, "usage: kovex4 (no arguments; the settings are read from %s)\n",
                     SETTINGS_PATH);
        return 2;
    }
    setsid();
    openlog("kovex4", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log_msg(LOG_NOTICE, "started");
    struct sigaction action {};
    action.sa_handler = want_counters;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = want_trace_switch;
    sigaction(SIGUSR2, &action, nullptr);
    static Service service;
    if (!service_start(service, SETTINGS_PATH))
        return 1;
    notify_open(getenv("NOTIFY_SOCKET"));
    notify_ready();
    for (;;) {
        service_iterate(service);
        notify_watchdog(wait_clock_us());
        if (g_counters_wanted != 0) {
            g_counters_wanted = 0;
            service_log_counters(service, wait_clock_us());
        }
        if (g_trace_switch_wanted != 0) {
            g_trace_switch_wanted = 0;
            service_switch_trace(service);
        }
    }
}
