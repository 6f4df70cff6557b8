// SPDX-License-Identifier: Apache-2.0
#include "service/service.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "modbus/request.h"
#include "regmap/regs.h"
#include "sys/com.h"
#include "sys/deadline.h"
#include "sys/log.h"
#include "sys/notify.h"
#include "sys/sockets.h"

namespace {

// How many answers of one iteration are each followed by taking in new arrivals (several clients):
// three times the requests of a full 256-byte read.
constexpr uint32_t TAKE_IN_ANSWERS = 64;

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

void count_request(ServiceCounters& counters, uint8_t function, const MbapFrame& response) {
    ++(function == MODBUS_READ_HOLDING     ? counters.requests_fc3
       : function == MODBUS_WRITE_MULTIPLE ? counters.requests_fc16
       : function == MODBUS_WRITE_SINGLE   ? counters.requests_fc6
                                           : counters.requests_other);
    if ((response.body[1] & 0x80) == 0)
        return;
    const uint8_t code = response.body[2];
    ++(code == MODBUS_ILLEGAL_FUNCTION     ? counters.exceptions_1
       : code == MODBUS_ILLEGAL_DATA_VALUE ? counters.exceptions_3
                                           : counters.exceptions_4);
}

// Parses the client's input up to its next complete request and answers it. False when the
// input held no further request, or an answer still waits for room.
bool serve_one(Service& service, ServiceClient& client) {
    if (clients_sending(client))
        return false;
    const uint8_t* next = client.input.data() + client.input_next;
    int32_t left = client.input_end - client.input_next;
    MbapFrame* frame = left > 0 ? mbap_parse(client.parser, next, left) : nullptr;
    client.input_next = client.input_end - left;
    if (frame == nullptr)
        return false;
    client.last_active = ++service.events;
    const uint8_t function = frame->body[1];
    uint8_t wire[MBAP_MAX_WIRE];
    if (service.trace.on) {
        const int request_size = mbap_serialize(*frame, wire);
        trace_bytes(service.trace, wait_clock_us(), client.address, "modbus request", wire,
                    static_cast<size_t>(request_size));
        service.trace_source = client.address;
    }
    if ((function == MODBUS_WRITE_MULTIPLE || function == MODBUS_WRITE_SINGLE) &&
        !clients_may_write(service, client))
        modbus_exception(*frame, MODBUS_ILLEGAL_FUNCTION);
    else
        modbus_handle_request(client_registers(service), *frame, service.modbus_options);
    count_request(service.counters, function, *frame);
    const int size = mbap_serialize(*frame, wire);
    if (service.trace.on) {
        trace_bytes(service.trace, wait_clock_us(), client.address, "modbus answer", wire,
                    static_cast<size_t>(size));
        service.trace_source = "push";
    }
    clients_send(service, client, wire, static_cast<size_t>(size));
    return true;
}

// The line's hook: one device exchange for the trace.
void trace_exchange(void* context, const DevTrace& exchange) {
    Service& service = *static_cast<Service*>(context);
    const int64_t now = wait_clock_us();
    trace_bytes(service.trace, now, service.trace_source, "device request", exchange.sent.data(),
                exchange.sent_len);
    trace_bytes(service.trace, now, service.trace_source, "device reply", exchange.received.data(),
                exchange.received_len);
}

// Loads the TLS files. Any of them set asks for TLS: a missing or broken one leaves the service
// without a server rather than serving plain Modbus where TLS was meant.
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

uint32_t service_client_limit(const Settings& settings) {
    return settings.clients < 1                     ? 1
           : settings.clients > SERVICE_MAX_CLIENTS ? SERVICE_MAX_CLIENTS
                                                    : settings.clients;
}

void service_start_server(Service& service) {
    const Settings& s = service.settings;
    service.client_limit = service_client_limit(s);
    service.modbus_options = s.write_single != 0 ? MODBUS_SERVE_WRITE_SINGLE : 0;
    if (s.read_only != 0)
        service.modbus_options |= MODBUS_READ_ONLY;
    cache_init(service.cache, s.cache_ms);
    service_allow_load(service.allow, s.allow);
    uint32_t address = 0;
    service.tls_wanted = !s.tls_cert.empty() || !s.tls_key.empty() || !s.tls_ca.empty();
    if (service.tls_wanted && !start_tls(service))
        return;
    if (!s.listen.empty() && !settings_parse_ipaddr(s.listen.c_str(), address)) {
        // Listening on every address instead would open the gateway where it was meant to be
        // closed; the service runs without a server, as when the port is taken.
        log_msg(LOG_ERR, "listen address %s is not an IPv4 address", s.listen.c_str());
        return;
    }
    service.listen_fd = socket_open_tcp_server(s.port, address);
    if (service.listen_fd >= FD_SETSIZE) {
        log_msg(LOG_ERR, "listen on socket error: descriptor %d is beyond what select can watch",
                service.listen_fd);
        socket_close(service.listen_fd);
        service.listen_fd = -1;
    }
}

int service_start(Service& service, const char* settings_path) {
    if (!settings_load(service.settings, settings_path))
        log_msg(LOG_ERR, "open(%s) error: %s", settings_path, strerror(errno));
    service.registers = ModbusRegisters{line_read, line_write, &service};
    service_start_server(service);
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
    service.push.tls = service.tls.ready ? &service.tls.client : nullptr;
    publish_start(service.publish, service.settings, wait_clock_us());
    service.counters.started_us = wait_clock_us();
    return 1;
}

// The counters in the order of the line; a name is never changed, new ones go at the end.
const std::array<ServiceCounter, SERVICE_COUNTER_COUNT> SERVICE_COUNTERS = {{
    {"uptime",
     [](const Service& s, int64_t now_us) {
         return static_cast<uint64_t>((now_us - s.counters.started_us) / 1000000);
     }},
    {"requests_fc3", [](const Service& s, int64_t) -> uint64_t { return s.counters.requests_fc3; }},
    {"requests_fc16",
     [](const Service& s, int64_t) -> uint64_t { return s.counters.requests_fc16; }},
    {"requests_fc6", [](const Service& s, int64_t) -> uint64_t { return s.counters.requests_fc6; }},
    {"requests_other",
     [](const Service& s, int64_t) -> uint64_t { return s.counters.requests_other; }},
    {"exceptions_1", [](const Service& s, int64_t) -> uint64_t { return s.counters.exceptions_1; }},
    {"exceptions_3", [](const Service& s, int64_t) -> uint64_t { return s.counters.exceptions_3; }},
    {"exceptions_4", [](const Service& s, int64_t) -> uint64_t { return s.counters.exceptions_4; }},
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
     [](const Service& s, int64_t) -> uint64_t { return s.counters.clients_accepted; }},
    {"clients_replaced",
     [](const Service& s, int64_t) -> uint64_t { return s.counters.clients_replaced; }},
    {"clients_refused",
     [](const Service& s, int64_t) -> uint64_t { return s.counters.clients_refused; }},
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
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    int max_fd = service.listen_fd;
    // Only descriptors below FD_SETSIZE ever get here (see clients_accept and the server start).
    if (service.listen_fd >= 0)
        FD_SET(service.listen_fd, &readable);
    // A client with an answer waiting for room is watched for room instead of requests.
    std::array<int, SERVICE_PLACES> in_set;
    bool any_sending = false;
    for (uint32_t i = 0; i < SERVICE_PLACES; ++i) {
        in_set[i] = service.clients[i].fd;
        if (in_set[i] < 0)
            continue;
        const bool sending = clients_sending(service.clients[i]);
        any_sending = any_sending || sending;
        FD_SET(in_set[i], sending ? &writable : &readable);
        if (in_set[i] > max_fd)
            max_fd = in_set[i];
    }
    // TLS sessions may hold received bytes that select does not see, and a handshake may wait
    // for room to send: those are gone on with after a short wait instead of a readable socket.
    std::array<bool, SERVICE_PLACES> go_on{};
    int64_t wait_us = 1000000;
    for (uint32_t i = 0; i < SERVICE_PLACES && service.tls_wanted; ++i) {
        const ServiceClient& client = service.clients[i];
        go_on[i] = in_set[i] >= 0 && client.tls.open && !clients_sending(client) &&
                   (client.handshake_wants_write || tls_pending(client.tls));
        if (go_on[i])
            wait_us = client.handshake_wants_write ? std::min<int64_t>(wait_us, 10000) : 0;
    }
    const bool any_go_on = wait_us < 1000000;
    // The publisher's socket and wake-up time join the wait.
    LoopWatch publishing;
    loop_watch_reset(publishing, INT64_MAX);
    const int64_t before_wait = wait_clock_us();
    publish_watch(service.publish, publishing, before_wait);
    for (int fd = 0; fd <= publishing.max_fd; ++fd) {
        if (FD_ISSET(fd, &publishing.readable))
            FD_SET(fd, &readable);
        if (FD_ISSET(fd, &publishing.writable)) {
            FD_SET(fd, &writable);
            any_sending = true;
        }
    }
    max_fd = std::max(max_fd, publishing.max_fd);
    wait_us = std::clamp<int64_t>(publishing.wake_us - before_wait, 0, wait_us);
    const int ready =
        wait_select(max_fd + 1, readable, before_wait + wait_us, any_sending ? &writable : nullptr);
    LoopWatch became_ready;
    loop_watch_reset(became_ready, INT64_MAX);
    if (ready > 0) {
        became_ready.readable = readable;
        if (any_sending)
            became_ready.writable = writable;
    }
    if (ready < 0) {
        log_msg(LOG_ERR, "select error: %s", strerror(errno));
        wait_until(wait_clock_us() + 1000000);
    } else if (ready > 0 || any_go_on) {
        if (ready > 0 && service.listen_fd >= 0 && FD_ISSET(service.listen_fd, &readable))
            clients_accept(service);
        // A client accepted just now was not in this iteration's set; it is read next time.
        for (uint32_t i = 0; i < SERVICE_PLACES; ++i) {
            ServiceClient& client = service.clients[i];
            if (in_set[i] < 0 || client.fd != in_set[i])
                continue;
            if (ready > 0 && FD_ISSET(in_set[i], &writable))
                clients_flush(client, wait_clock_us());
            else if ((ready > 0 && FD_ISSET(in_set[i], &readable)) || go_on[i])
                clients_receive(service, client);
        }
        // Turns of one request per client, so that a client with many requests in one read
        // does not keep the others waiting; with one client, all of its read in order. Each
        // iteration begins its turns one client further on: the client served first gets its
        // answer first and would otherwise be ready again first every time.
        uint32_t answered = 0;
        for (bool served = true; served;) {
            served = false;
            for (uint32_t k = 0; k < SERVICE_PLACES; ++k) {
                ServiceClient& client = service.clients[(service.first_turn + k) % SERVICE_PLACES];
                if (client.fd >= 0 && serve_one(service, client)) {
                    served = true;
                    // Each answer is progress: many requests in one read can take long.
                    notify_watchdog(wait_clock_us());
                    // Clients that keep sending must not hold the loop from accepting, pushing
                    // and checking the line: new arrivals are taken in only for so many answers.
                    if (service.client_limit > 1 && ++answered <= TAKE_IN_ANSWERS)
                        clients_take_in(service);
                }
            }
        }
        service.first_turn = (service.first_turn + 1) % clients_places(service);
    }
    clients_check(service, wait_clock_us());
    if (!service.settings.ipaddr.empty())
        push_cycle(service.push, push_registers(service), service.settings,
                   wait_clock_us() / 1000000);
    publish_run(service.publish, became_ready, wait_clock_us(), push_registers(service),
                service.settings);
    service_check_line(service, wait_clock_us());
    trace_tick(service.trace, wait_clock_us());
}
