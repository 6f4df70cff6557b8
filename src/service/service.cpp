// SPDX-License-Identifier: Apache-2.0
#include "service/service.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "service/judge.h"
#include "regmap/regs.h"
#include "sys/com.h"
#include "sys/deadline.h"
#include "sys/log.h"

namespace {

// The Modbus layer's registers are the field device's, over the serial line.
int line_read(void* context, uint32_t start, uint32_t quantity, uint16_t* values) {
    Service& service = *static_cast<Service*>(context);
    return regs_read(service.line, static_cast<int>(service.settings.station), start, quantity,
                     values);
}

int line_write(void* context, uint32_t start, uint32_t quantity, const uint16_t* values) {
    Service& service = *static_cast<Service*>(context);
    return regs_write(service.line, static_cast<int>(service.settings.station), start, quantity,
                      values);
}

// With MOD_KOVEX4_CACHE_MS the device's registers are reached through the cache. A device read
// keeps what it returned (a failed one drops what it touched); it begins at `now`.
int read_and_keep(Service& service, uint32_t start, uint32_t quantity, uint16_t* values,
                  int64_t now) {
    const ModbusRegisters& device = service.registers;
    const int ok = device.read(device.context, start, quantity, values);
    if (ok)
        cache_store(service.cache, start, quantity, values, now);
    else
        cache_drop(service.cache, start, quantity);
    return ok;
}

// The push cycle's reads: always from the device.
int device_read(void* context, uint32_t start, uint32_t quantity, uint16_t* values) {
    Service& service = *static_cast<Service*>(context);
    return read_and_keep(service, start, quantity, values, wait_clock_us());
}

// A client's read: from memory when every value it needs is fresh enough.
int client_read(void* context, uint32_t start, uint32_t quantity, uint16_t* values) {
    Service& service = *static_cast<Service*>(context);
    const int64_t now = wait_clock_us();
    if (cache_lookup(service.cache, start, quantity, values, now)) {
        ++service.counters.cache_hits;
        return 1;
    }
    ++service.counters.cache_misses;
    return read_and_keep(service, start, quantity, values, now);
}

// Every write goes to the device; whatever its outcome, the registers it wrote are read from the
// device next time.
int device_write(void* context, uint32_t start, uint32_t quantity, const uint16_t* values) {
    Service& service = *static_cast<Service*>(context);
    const ModbusRegisters& device = service.registers;
    const int ok = device.write(device.context, start, quantity, values);
    cache_drop(service.cache, start, quantity);
    return ok;
}

// The registers clients and the push cycle use: the device's own without a cache.
ModbusRegisters client_registers(Service& service) {
    return service.cache.max_age_us > 0 ? ModbusRegisters{client_read, device_write, &service}
                                        : service.registers;
}
ModbusRegisters push_registers(Service& service) {
    return service.cache.max_age_us > 0 ? ModbusRegisters{device_read, device_write, &service}
                                        : service.registers;
}

// The line's hook: one device exchange for the trace.
void trace_exchange(void* context, const DevTrace& exchange) {
    Service& service = *static_cast<Service*>(context);
    const int64_t now = wait_clock_us();
    trace_bytes(service.trace, now, service.trace.source, "device request", exchange.sent.data(),
                exchange.sent_len);
    trace_bytes(service.trace, now, service.trace.source, "device reply", exchange.received.data(),
                exchange.received_len);
}

// Loads the TLS files. Any of them set asks for TLS: a missing or broken one ends the service at
// start rather than serving plain Modbus, or nothing, where TLS was meant.
bool start_tls(Service& service) {
    const Settings& s = service.settings;
    for (const SettingsField field :
         {SettingsField::tls_cert, SettingsField::tls_key, SettingsField::tls_ca}) {
        const SettingsKey& key = settings_key(field);
        if (settings_text(s, key)->empty()) {
            log_msg(LOG_ERR, "TLS setup error: %s is not set", key.name);
            return false;
        }
    }
    char reason[TLS_REASON_SIZE];
    if (!tls_credentials_load(service.tls, s.tls_cert.c_str(), s.tls_key.c_str(), s.tls_ca.c_str(),
                              reason, sizeof reason)) {
        log_msg(LOG_ERR, "TLS setup error: %s", reason);
        tls_credentials_free(service.tls);
        return false;
    }
    unsigned mode = 0;
    if (tls_key_exposed(s.tls_key.c_str(), getegid(), mode))
        log_msg(LOG_WARNING, "TLS key %s can be read by other users (mode %04o)", s.tls_key.c_str(),
                mode);
    return true;
}

} // namespace

std::string service_device_path(const Settings& settings) {
    return "/dev/" + settings.device;
}

DevLinePort service_line_port(const Settings& settings) {
    return DevLinePort{service_device_path(settings), settings.baudrate,
                       static_cast<int>(settings.databits), settings.parity,
                       static_cast<int>(settings.stopbits)};
}

int service_start_server(Service& service) {
    const Settings& s = service.settings;
    cache_init(service.cache, s.cache_ms);
    service.tls_wanted = !s.tls_cert.empty() || !s.tls_key.empty() || !s.tls_ca.empty();
    if (service.tls_wanted && !start_tls(service))
        return 0;
    clients_start(service.clients, s, service.tls_wanted ? &service.tls : nullptr);
    return 1;
}

int service_start(Service& service, const char* settings_path) {
    if (!settings_load(service.settings, settings_path))
        log_msg(LOG_ERR, "open(%s) error: %s", settings_path, strerror(errno));
    judge_log_warnings(service.settings);
    service.registers = ModbusRegisters{line_read, line_write, &service};
    if (!service_start_server(service))
        return 0;
    const DevLinePort port = service_line_port(service.settings);
    ComLockRefusal why = ComLockRefusal::none;
    if (!com_lock(port.path.c_str(), 1, &why)) {
        char lock[COM_LOCK_PATH_MAX + 1];
        com_lock_path(port.path.c_str(), lock);
        if (why == ComLockRefusal::not_regular)
            log_msg(LOG_ERR, "device %s cannot be locked: %s is not a regular file",
                    port.path.c_str(), lock);
        else
            log_msg(LOG_ERR, "device %s is locked", port.path.c_str());
        return 0;
    }
    if (!dev_line_open(service.line, port)) {
        com_unlock(port.path.c_str()); // the gateway ends: its lock would only be in the way
        return 0;
    }
    push_init(service.push, service.settings, wait_clock_us() / 1000000);
    service.push.tls_wanted = service.tls_wanted;
    service.push.tls = service.tls.ready ? &service.tls : nullptr;
    publish_start(service.publish, service.settings, wait_clock_us(),
                  service.tls.ready ? &service.tls : nullptr);
    service.counters.started_us = wait_clock_us();
    return 1;
}

// The counters in the order of the line; a name is never changed, new ones go at the end.
const std::array<ServiceCounter, SERVICE_COUNTER_COUNT> SERVICE_COUNTERS = {{
    {"uptime",
     [](const Service& s, int64_t now_us) {
         return static_cast<uint64_t>((now_us - s.counters.started_us) / 1000000);
     }},
    {"requests_fc3",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.requests_fc3; }},
    {"requests_fc16",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.requests_fc16; }},
    {"requests_fc6",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.requests_fc6; }},
    {"requests_other",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.requests_other; }},
    {"exceptions_1",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.exceptions_1; }},
    {"exceptions_3",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.exceptions_3; }},
    {"exceptions_4",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.exceptions_4; }},
    {"device_transactions",
     [](const Service& s, int64_t) -> uint64_t { return s.line.counters.transactions; }},
    {"device_timeouts",
     [](const Service& s, int64_t) -> uint64_t { return s.line.counters.timeouts; }},
    {"device_naks", [](const Service& s, int64_t) -> uint64_t { return s.line.counters.naks; }},
    {"device_rejected",
     [](const Service& s, int64_t) -> uint64_t { return s.line.counters.rejected; }},
    {"push_cycles", [](const Service& s, int64_t) -> uint64_t { return s.push.counters.cycles; }},
    {"push_succeeded",
     [](const Service& s, int64_t) -> uint64_t { return s.push.counters.succeeded; }},
    {"push_failed", [](const Service& s, int64_t) -> uint64_t { return s.push.counters.failed; }},
    {"slots_acknowledged",
     [](const Service& s, int64_t) -> uint64_t { return s.push.counters.slots_acknowledged; }},
    {"clients_accepted",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.accepted; }},
    {"clients_replaced",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.replaced; }},
    {"clients_refused",
     [](const Service& s, int64_t) -> uint64_t { return s.clients.counters.refused; }},
    {"cache_hits", [](const Service& s, int64_t) -> uint64_t { return s.counters.cache_hits; }},
    {"cache_misses", [](const Service& s, int64_t) -> uint64_t { return s.counters.cache_misses; }},
}};

void service_switch_trace(Service& service) {
    trace_switch(service.trace);
    // The link records an exchange's bytes only while the trace needs them.
    dev_line_set_trace(service.line, service.trace.on ? &service.exchange : nullptr, trace_exchange,
                       &service);
}

void service_log_counters(const Service& service, int64_t now_us) {
    char line[1024];
    size_t used = 0;
    for (const ServiceCounter& counter : SERVICE_COUNTERS) {
        const int n = std::snprintf(line + used, sizeof line - used, "%s%s=%llu",
                                    used == 0 ? "" : " ", counter.name,
                                    static_cast<unsigned long long>(counter.read(service, now_us)));
        if (n > 0)
            used = std::min(sizeof line - 1, used + static_cast<size_t>(n));
    }
    line[used] = '\0';
    // The publisher's counters follow only when it runs.
    publish_counters_text(service.publish, line + used, sizeof line - used);
    log_msg(LOG_NOTICE, "counters: %s", line);
}

void service_check_line(Service& service, int64_t now_us) {
    DevLine& line = service.line;
    if (!line.lost)
        return;
    const char* path = line.port.path.c_str();
    if (line.fd >= 0) {
        log_msg(LOG_ERR, "device %s lost: %s", path,
                line.lost_errno != 0 ? strerror(line.lost_errno) : "end of file");
        dev_line_close(line);
        // Values read before the loss say nothing about the device found after it.
        cache_clear(service.cache);
        service.reopen_due_us = now_us + int64_t{SERVICE_REOPEN_SECONDS} * 1000000;
    }
    if (now_us < service.reopen_due_us)
        return;
    service.reopen_due_us = now_us + int64_t{SERVICE_REOPEN_SECONDS} * 1000000;
    // A failure is said once, and again only when its reason changes.
    char before[sizeof line.reopen_failure];
    std::memcpy(before, line.reopen_failure, sizeof before);
    if (dev_line_reopen(line))
        log_msg(LOG_NOTICE, "device %s reopened", path);
    else if (std::strcmp(before, line.reopen_failure) != 0)
        log_msg(LOG_ERR, "device %s cannot be reopened: %s", path, line.reopen_failure);
}

void service_iterate(Service& service) {
    int64_t now = wait_clock_us();
    LoopWatch watch;
    loop_watch_init(watch, now + SERVICE_TURN_US);
    clients_watch(service.clients, watch, now);
    push_watch(service.push, watch, now);
    publish_watch(service.publish, watch, now);
    if (service.line.lost)
        loop_wake_by(watch, service.reopen_due_us);
    LoopWatch ready;
    if (loop_wait(watch, ready) < 0) {
        log_msg(LOG_ERR, "select error: %s", strerror(errno));
        wait_until(wait_clock_us() + SERVICE_TURN_US);
    }
    clients_run(service.clients, ready, wait_clock_us(),
                ClientsServe{client_registers(service), &service.trace});
    push_run(service.push, ready, wait_clock_us(), push_registers(service), service.settings);
    publish_run(service.publish, ready, wait_clock_us(), push_registers(service),
                service.settings);
    now = wait_clock_us();
    service_check_line(service, now);
    trace_tick(service.trace, now);
}
