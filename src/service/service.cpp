// SPDX-License-Identifier: Apache-2.0
#include "service/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

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

void close_client(ServiceClient& client) {
    tls_session_close(client.tls);
    socket_close(client.fd);
    log_msg(LOG_NOTICE, "TCP connection closed");
    client.fd = -1;
    client.input_next = client.input_end = 0;
}

// Where a new connection goes: a free place while there is one, otherwise the place of the client
// that has been idle longest (with one client: the current one), which is closed.
ServiceClient& place_for_new_client(Service& service) {
    ServiceClient* idlest = &service.clients[0];
    for (uint32_t i = 0; i < service.client_limit; ++i) {
        ServiceClient& c = service.clients[i];
        if (c.fd < 0)
            return c;
        if (c.last_active < idlest->last_active)
            idlest = &c;
    }
    close_client(*idlest);
    ++service.counters.clients_replaced;
    return *idlest;
}

void accept_client(Service& service) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    const int fd = accept(service.listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (fd < 0) {
        log_msg(LOG_ERR, "accept error: %s", strerror(errno));
        return;
    }
    if (!service_allows(service.allow, ntohl(peer.sin_addr.s_addr))) {
        // Closed before anything is read from it; the current clients stay.
        char address[16];
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        socket_close(fd);
        log_msg(LOG_NOTICE, "TCP connection from %s refused", address);
        ++service.counters.clients_refused;
        return;
    }
    if (fd >= FD_SETSIZE) {
        // select cannot watch it; keep serving the current clients.
        socket_close(fd);
        log_msg(LOG_ERR, "accept error: descriptor %d is beyond what select can watch", fd);
        return;
    }
    ServiceClient& client = place_for_new_client(service);
    mbap_reset(client.parser);
    inet_ntop(AF_INET, &peer.sin_addr, client.address, sizeof client.address);
    log_msg(LOG_NOTICE, "TCP connection from %s established", client.address);
    // Answers go out at once: with Nagle's algorithm a client that has several requests in
    // flight gets every answer after the first only when its delayed ACK arrives (~40 ms).
    socket_set_nodelay(fd);
    // A client that stops taking its answers must not hold the whole gateway in send().
    socket_set_send_timeout(fd, service.send_seconds);
    client.fd = fd;
    client.last_active = ++service.events;
    ++service.counters.clients_accepted;
    if (!service.tls_wanted)
        return;
    // Over TLS the handshake comes first, step by step as its records arrive (see receive).
    client.handshake_due_us = wait_clock_us() + int64_t{SERVICE_HANDSHAKE_SECONDS} * 1000000;
    client.handshake_wants_write = false;
    client.tls_writer = false;
    if (!tls_session_open(client.tls, service.tls.server, fd)) {
        log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", client.address, "out of memory");
        close_client(client);
    }
}

// Whether `word` is one of the words of `list` (separated by commas or blanks).
bool list_has(std::string_view list, std::string_view word) {
    constexpr std::string_view separators = ", \t";
    for (size_t begin = list.find_first_not_of(separators); begin != std::string_view::npos;) {
        const size_t end = std::min(list.find_first_of(separators, begin), list.size());
        if (list.substr(begin, end - begin) == word)
            return true;
        begin = list.find_first_not_of(separators, end);
    }
    return false;
}

// Whether this client's writes (functions 16 and 6) may reach the device: over TLS, by the role
// in its certificate. MOD_KOVEX4_READ_ONLY, which refuses every client's writes, is an option of
// the request handler (MODBUS_READ_ONLY) and applies after this.
bool client_may_write(const Service& service, const ServiceClient& client) {
    return !service.tls_wanted || client.tls_writer;
}

// Takes a TLS client's handshake a step further; when it is done, logs the client's role and
// whether that role may write. False when the client was dropped.
bool continue_handshake(Service& service, ServiceClient& client) {
    const int step = tls_handshake_step(client.tls, client.handshake_wants_write);
    if (step == 0)
        return true;
    if (step < 0) {
        char reason[TLS_REASON_SIZE];
        tls_reason(client.tls, reason, sizeof reason);
        log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", client.address, reason);
        close_client(client);
        return false;
    }
    char role[TLS_ROLE_SIZE];
    const bool has_role = tls_peer_role(client.tls, role, sizeof role) != 0;
    client.tls_writer = has_role && list_has(service.settings.tls_writers, role);
    log_msg(LOG_NOTICE, "TLS connection from %s established (role %s)", client.address,
            has_role ? role : "none");
    return true;
}

// A TLS client's handshake that has not ended in time is given up.
void check_handshake_time(ServiceClient& client, int64_t now_us) {
    if (client.fd < 0 || !client.tls.open || client.tls.established ||
        now_us < client.handshake_due_us)
        return;
    char reason[48];
    std::snprintf(reason, sizeof reason, "not done within %d seconds", SERVICE_HANDSHAKE_SECONDS);
    log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", client.address, reason);
    close_client(client);
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

// One read from a TLS client: a step of its handshake, or the decrypted bytes of its records.
void receive_tls(Service& service, ServiceClient& client) {
    client.input_next = client.input_end = 0;
    // Requests may follow the handshake's last record at once: they are read right after it.
    if (!client.tls.established &&
        (!continue_handshake(service, client) || !client.tls.established))
        return;
    const ssize_t n = tls_recv(client.tls, client.input.data(), client.input.size());
    if (n > 0) {
        client.input_end = static_cast<int32_t>(n);
        return;
    }
    if (n < 0 && errno == EAGAIN) // a record not complete yet
        return;
    if (n < 0) {
        char reason[TLS_REASON_SIZE];
        tls_reason(client.tls, reason, sizeof reason);
        log_msg(LOG_ERR, "recv error: %s", reason);
    }
    close_client(client);
}

// One read from a client into its input; a closed or failed connection is closed here.
void receive(Service& service, ServiceClient& client) {
    if (client.tls.open) {
        receive_tls(service, client);
        return;
    }
    const ssize_t n = socket_recv(client.fd, client.input.data(), client.input.size());
    if (n <= 0) {
        if (n < 0)
            log_msg(LOG_ERR, "recv error: %s", strerror(errno));
        close_client(client);
        return;
    }
    client.input_next = 0;
    client.input_end = static_cast<int32_t>(n);
}

// With several clients, between two requests served: reads at once (without waiting) what the
// clients whose input is used up have sent meanwhile, so that a request arriving during another
// client's batch takes its turn in the next round instead of waiting for the whole batch.
void take_in(Service& service) {
    fd_set readable;
    FD_ZERO(&readable);
    int max_fd = -1;
    for (uint32_t i = 0; i < SERVICE_MAX_CLIENTS; ++i) {
        const ServiceClient& c = service.clients[i];
        if (c.fd < 0 || c.input_next < c.input_end)
            continue;
        FD_SET(c.fd, &readable);
        max_fd = std::max(max_fd, c.fd);
    }
    if (max_fd < 0 || wait_select(max_fd + 1, readable, 0) <= 0)
        return;
    for (uint32_t i = 0; i < SERVICE_MAX_CLIENTS; ++i) {
        ServiceClient& c = service.clients[i];
        if (c.fd >= 0 && FD_ISSET(c.fd, &readable))
            receive(service, c);
    }
}

// Parses the client's input up to its next complete request and answers it. False when the
// input held no further request.
bool serve_one(Service& service, ServiceClient& client) {
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
        !client_may_write(service, client))
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
    const int64_t deadline = wait_clock_us() + int64_t{service.send_seconds} * 1000000;
    if (client.tls.open) {
        // A session that failed cannot be resumed: it is dropped like a client that stopped
        // reading.
        if (!tls_send_all(client.tls, wire, static_cast<size_t>(size), deadline))
            close_client(client);
    } else if (!socket_send_all(client.fd, wire, static_cast<size_t>(size), deadline) &&
               (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The answer did not fit within the send time limit: the client has not read for that
        // long, and a cut answer would put its stream out of step, so it is dropped. Other
        // errors (a reset peer) show on the next recv.
        close_client(client);
    }
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

bool is_allow_separator(char c) {
    return c == ',' || c == ' ' || c == '\t';
}

// One number of an allow list entry, at most `max`: digits only, since the number reader would
// also take blanks and a sign in front.
bool read_allow_number(const char*& p, uint32_t max, uint32_t& value) {
    if (*p < '0' || *p > '9')
        return false;
    const SettingsNumber number = settings_read_number(p);
    if (number.value > max) // a saturated value too
        return false;
    value = number.value;
    p = number.rest;
    return true;
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

bool service_allow_next(std::string_view& rest, std::string_view& entry) {
    size_t begin = 0;
    while (begin < rest.size() && is_allow_separator(rest[begin]))
        ++begin;
    size_t end = begin;
    while (end < rest.size() && !is_allow_separator(rest[end]))
        ++end;
    entry = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return !entry.empty();
}

int service_allow_entry(std::string_view entry, ServiceAllowEntry& out) {
    // Stricter than the dotted reader of MOD_KOVEX4_LISTEN: there a number above 255 spills into
    // the next byte, which here would let in another address than the one written.
    char text[32];
    if (entry.empty() || entry.size() >= sizeof text)
        return 0;
    std::memcpy(text, entry.data(), entry.size());
    text[entry.size()] = '\0';
    const char* p = text;
    uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t part = 0;
        if (i > 0 && *p++ != '.')
            return 0;
        if (!read_allow_number(p, 255, part))
            return 0;
        address = address << 8 | part;
    }
    uint32_t prefix = 32;
    if (*p == '/' && !read_allow_number(++p, 32, prefix))
        return 0;
    if (*p != '\0')
        return 0;
    const uint32_t mask = prefix == 0 ? 0 : UINT32_MAX << (32 - prefix);
    out = ServiceAllowEntry{address & mask, mask};
    return 1;
}

void service_allow_load(ServiceAllowList& list, const std::string& text,
                        void (*report)(void* context, const char* message), void* context) {
    list = ServiceAllowList{};
    std::string_view rest = text;
    std::string_view entry;
    while (service_allow_next(rest, entry)) {
        // Any entry restricts, an invalid one too: a typo must never let everyone in.
        list.restricted = true;
        ServiceAllowEntry parsed{};
        const int valid = service_allow_entry(entry, parsed);
        if (valid && list.count < SERVICE_ALLOW_MAX) {
            list.entries[list.count++] = parsed;
            continue;
        }
        const int shown = static_cast<int>(std::min<size_t>(entry.size(), 64));
        char message[160];
        if (!valid)
            std::snprintf(message, sizeof message,
                          "allow list entry %.*s is not an IPv4 address or network", shown,
                          entry.data());
        else
            std::snprintf(message, sizeof message,
                          "allow list entry %.*s is beyond the first %u entries", shown,
                          entry.data(), static_cast<unsigned>(SERVICE_ALLOW_MAX));
        if (report != nullptr)
            report(context, message);
        else
            log_msg(LOG_ERR, "%s", message);
    }
}

int service_allows(const ServiceAllowList& list, uint32_t address) {
    if (!list.restricted)
        return 1;
    for (uint32_t i = 0; i < list.count; ++i)
        if ((address & list.entries[i].mask) == list.entries[i].network)
            return 1;
    return 0;
}

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
    fd_set readable;
    FD_ZERO(&readable);
    int max_fd = service.listen_fd;
    // Only descriptors below FD_SETSIZE ever get here (see accept_client and the server start).
    if (service.listen_fd >= 0)
        FD_SET(service.listen_fd, &readable);
    std::array<int, SERVICE_MAX_CLIENTS> in_set;
    for (uint32_t i = 0; i < SERVICE_MAX_CLIENTS; ++i) {
        in_set[i] = service.clients[i].fd;
        if (in_set[i] < 0)
            continue;
        FD_SET(in_set[i], &readable);
        if (in_set[i] > max_fd)
            max_fd = in_set[i];
    }
    // TLS sessions may hold received bytes that select does not see, and a handshake may wait
    // for room to send: those are gone on with after a short wait instead of a readable socket.
    std::array<bool, SERVICE_MAX_CLIENTS> go_on{};
    int64_t wait_us = 1000000;
    for (uint32_t i = 0; i < SERVICE_MAX_CLIENTS && service.tls_wanted; ++i) {
        const ServiceClient& client = service.clients[i];
        go_on[i] = in_set[i] >= 0 && client.tls.open &&
                   (client.handshake_wants_write || tls_pending(client.tls));
        if (go_on[i])
            wait_us = client.handshake_wants_write ? std::min<int64_t>(wait_us, 10000) : 0;
    }
    const bool any_go_on = wait_us < 1000000;
    const int ready = wait_select(max_fd + 1, readable, wait_clock_us() + wait_us);
    if (ready < 0) {
        log_msg(LOG_ERR, "select error: %s", strerror(errno));
        wait_until(wait_clock_us() + 1000000);
    } else if (ready > 0 || any_go_on) {
        if (ready > 0 && service.listen_fd >= 0 && FD_ISSET(service.listen_fd, &readable))
            accept_client(service);
        // A client accepted just now was not in this iteration's set; it is read next time.
        for (uint32_t i = 0; i < SERVICE_MAX_CLIENTS; ++i) {
            ServiceClient& client = service.clients[i];
            if (in_set[i] >= 0 && client.fd == in_set[i] &&
                ((ready > 0 && FD_ISSET(in_set[i], &readable)) || go_on[i]))
                receive(service, client);
        }
        // Turns of one request per client, so that a client with many requests in one read
        // does not keep the others waiting; with one client, all of its read in order. Each
        // iteration begins its turns one client further on: the client served first gets its
        // answer first and would otherwise be ready again first every time.
        uint32_t answered = 0;
        for (bool served = true; served;) {
            served = false;
            for (uint32_t k = 0; k < SERVICE_MAX_CLIENTS; ++k) {
                ServiceClient& client =
                    service.clients[(service.first_turn + k) % SERVICE_MAX_CLIENTS];
                if (client.fd >= 0 && serve_one(service, client)) {
                    served = true;
                    // Each answer is progress: many requests in one read can take long.
                    notify_watchdog(wait_clock_us());
                    // Clients that keep sending must not hold the loop from accepting, pushing
                    // and checking the line: new arrivals are taken in only for so many answers.
                    if (service.client_limit > 1 && ++answered <= TAKE_IN_ANSWERS)
                        take_in(service);
                }
            }
        }
        service.first_turn = (service.first_turn + 1) % service.client_limit;
    }
    for (ServiceClient& client : service.clients)
        check_handshake_time(client, wait_clock_us());
    if (!service.settings.ipaddr.empty())
        push_cycle(service.push, push_registers(service), service.settings,
                   wait_clock_us() / 1000000);
    service_check_line(service, wait_clock_us());
    trace_tick(service.trace, wait_clock_us());
}
