// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway service: start-up, the serial line, and the select loop that dispatches to its
// handlers (service/loop.h): the Modbus TCP clients (service/clients.h) and the push cycle
// (service/push.h).
#include <array>
#include <cstdint>
#include <string>

#include "device/link.h"
#include "modbus/modbus.h"
#include "service/cache.h"
#include "service/clients.h"
#include "service/publish.h"
#include "service/push.h"
#include "service/trace.h"
#include "settings/settings.h"
#include "sys/tls.h"

// How often a lost serial line is tried again.
inline constexpr int SERVICE_REOPEN_SECONDS = 3;

// What the service has done besides its handlers, counted from the start; fixed width, wrapping.
// With the clients', the device's and the push cycle's counters they make the "counters: ..." line.
struct ServiceCounters {
    int64_t started_us; // monotonic
    // Client reads (function 3) with MOD_KOVEX4_CACHE_MS set: answered from memory, or not.
    uint32_t cache_hits, cache_misses;
};

struct Service {
    Settings settings;
    ClientsState clients; // the Modbus TCP server
    PushState push;
    // Publication to an MQTT broker (MOD_KOVEX4_MQTT_HOST).
    PublishState publish;
    DevLine line; // the serial line to the field device
    int64_t reopen_due_us = 0;
    ServiceCounters counters{};
    // Modbus over TLS (the three MOD_KOVEX4_TLS_ files set): the gateway's credentials, for the
    // clients and the push.
    bool tls_wanted = false;
    TlsCredentials tls{};
    // The field device's registers over `line`; the context is this record.
    ModbusRegisters registers{};
    // Values read through `registers` (MOD_KOVEX4_CACHE_MS): clients' reads may be answered from
    // it, and every read and write of the device keeps it right.
    Cache cache;
    // The live traffic trace (SIGUSR2), and the device exchange it is shown.
    TraceState trace;
    DevTrace exchange{};
};

// "/dev/" followed by the whole device setting.
std::string service_device_path(const Settings& settings);
// The serial line the settings name: that path and its framing.
DevLinePort service_line_port(const Settings& settings);

// The server part of start-up: the options from the settings and the listening socket (a failure
// is logged, and the service then runs without one). 0 when TLS is asked for (any of the three
// files set) and cannot be set up (logged, "TLS setup error: ..."): the service must not run
// then, neither without a server nor with a plain one; otherwise 1.
int service_start_server(Service& service);

// Loads the settings from `settings_path` (a file that cannot be opened is logged, "open(%s) error:
// %s", and reads like an empty one), starts the server, locks and opens the serial device.
// 1 on success; 0 when TLS cannot be set up, or the device cannot be locked or opened (already
// logged; the lock of a device that cannot be opened is removed again).
int service_start(Service& service, const char* settings_path);

// How long the loop waits at most: it turns at least this often for the watchdog, the push
// schedule, the line check and the trace.
inline constexpr int64_t SERVICE_TURN_US = 1000000;

// One turn of the loop: asks the handlers what they wait for, waits up to SERVICE_TURN_US for the
// first of it, and calls each handler with what is ready (the clients first, then the push); then
// the line check.
void service_iterate(Service& service);

// One counter of the "counters: ..." line: its name and how its value is read.
struct ServiceCounter {
    const char* name;
    uint64_t (*read)(const Service& service, int64_t now_us);
};
inline constexpr size_t SERVICE_COUNTER_COUNT = 21;
extern const std::array<ServiceCounter, SERVICE_COUNTER_COUNT> SERVICE_COUNTERS;

// Switches the traffic trace on or off (see service/trace.h).
void service_switch_trace(Service& service);

// Logs every counter in one line at LOG_NOTICE: "counters: uptime=... requests_fc3=... ...".
void service_log_counters(const Service& service, int64_t now_us);

// A line that reported it is gone is closed ("device %s lost: %s") and, from
// SERVICE_REOPEN_SECONDS after that on, locked and opened again at that interval until it works
// ("device %s reopened"). A try that fails says why ("device %s cannot be reopened: %s"), once
// for each reason in a row. A line that was never lost is left alone. `now_us` is on the
// monotonic clock (sys/deadline.h).
void service_check_line(Service& service, int64_t now_us);
