// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway service: start-up and the select loop that serves the Modbus TCP clients (one at a
// time unless the settings allow more), the push cycle and the serial line.
#include <array>
#include <cstdint>
#include <string>

#include "device/link.h"
#include "modbus/modbus.h"
#include "service/allow.h"
#include "service/cache.h"
#include "service/clients.h"
#include "service/publish.h"
#include "service/push.h"
#include "service/trace.h"
#include "settings/settings.h"
#include "sys/tls.h"

// How often a lost serial line is tried again.
inline constexpr int SERVICE_REOPEN_SECONDS = 3;

// What the service has done, counted from the start; fixed width, wrapping. With the device's
// and the push cycle's counters they make the "counters: ..." line.
struct ServiceCounters {
    int64_t started_us; // monotonic
    uint32_t requests_fc3, requests_fc16, requests_fc6, requests_other;
    uint32_t exceptions_1, exceptions_3, exceptions_4;
    uint32_t clients_accepted, clients_replaced;
    uint32_t clients_refused; // not on the allow list
    // Client reads (function 3) with MOD_KOVEX4_CACHE_MS set: answered from memory, or not.
    uint32_t cache_hits, cache_misses;
};

struct Service {
    Settings settings;
    int listen_fd = -1;
    std::array<ServiceClient, SERVICE_PLACES> clients{};
    uint32_t client_limit = 1; // from MOD_KOVEX4_CLIENTS
    uint32_t modbus_options = 0;
    ServiceAllowList allow;                  // from MOD_KOVEX4_ALLOW
    uint64_t events = 0;                     // counts accepts and requests, for "idle longest"
    uint32_t first_turn = 0;                 // the client served first in this iteration
    int send_seconds = SERVICE_SEND_SECONDS; // tests shorten it
    DevLine line;                            // the serial line to the field device
    int64_t reopen_due_us = 0;
    PushState push;
    // Publication to an MQTT broker (MOD_KOVEX4_MQTT_HOST).
    PublishState publish;
    ServiceCounters counters{};
    // The lines about refused connections and failed handshakes, limited (SERVICE_REFUSAL_LINES).
    LogLimit refusal_lines{SERVICE_REFUSAL_LINES};
    // Modbus over TLS (the three MOD_KOVEX4_TLS_ files set): the gateway's credentials.
    bool tls_wanted = false;
    TlsCredentials tls{};
    // The field device's registers over `line`; the context is this record.
    ModbusRegisters registers{};
    // Values read through `registers` (MOD_KOVEX4_CACHE_MS): clients' reads may be answered from
    // it, and every read and write of the device keeps it right.
    Cache cache;
    // The live traffic trace (SIGUSR2): its state, the device exchange it is shown, and whom the
    // device exchanges in progress serve (a client's address, or "push").
    TraceState trace;
    DevTrace exchange{};
    const char* trace_source = "push";
};

// "/dev/" followed by the whole device setting.
std::string service_device_path(const Settings& settings);
// The serial line the settings name: that path and its framing.
DevLinePort service_line_port(const Settings& settings);
// How many clients are served at once: MOD_KOVEX4_CLIENTS within 1 ... SERVICE_MAX_CLIENTS.
uint32_t service_client_limit(const Settings& settings);

// The server part of start-up: the options from the settings and the listening socket (a failure
// is logged, and the service then runs without one).
void service_start_server(Service& service);

// Loads the settings from `settings_path` (a file that cannot be opened is logged, "open(%s) error:
// %s", and reads like an empty one), starts the server, locks and opens the serial device.
// 1 on success; 0 when the device cannot be locked or opened (already logged; the lock of a
// device that cannot be opened is removed again).
int service_start(Service& service, const char* settings_path);

// One loop iteration: waits up to 1 s, accepts a client, receives from the clients and answers
// their requests in turns of one request per client, then the push check and the line check.
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
