// SPDX-License-Identifier: Apache-2.0
#include "service/clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <tuple>

#include "modbus/request.h"
#include "sys/deadline.h"
#include "sys/log.h"
#include "sys/notify.h"
#include "sys/sockets.h"

namespace {

// How many answers of one turn are each followed by taking in new arrivals (several clients):
// three times the requests of a full 256-byte read.
constexpr uint32_t TAKE_IN_ANSWERS = 64;

constexpr int64_t SECOND_US = 1000000;

bool over_tls(const ClientsState& clients) {
    return clients.tls != nullptr;
}

// How many places may hold connections: MOD_KOVEX4_CLIENTS, and the waiting places besides
// (with one plain client a new connection replaces the current one at once: none).
uint32_t places_in_use(const ClientsState& clients) {
    const bool waits = over_tls(clients) || clients.limit > 1;
    return clients.limit + (waits ? SERVICE_WAITING_PLACES : 0);
}

void close_client(ClientsState& clients, ServiceClient& client) {
    tls_session_close(client.tls);
    socket_close(client.fd);
    if (log_limit_take(clients.connection_lines, wait_clock_us()))
        log_msg(LOG_NOTICE, "TCP connection from %s closed", client.address);
    client.fd = -1;
    client.established = false;
    client.input_next = client.input_end = 0;
    client.output_next = client.output_end = 0;
}

// Sends what the socket takes of the client's kept answer. A failed session is closed; after
// another failure of a plain socket the answer is given up and the client read again, where the
// failure shows (as with one client).
void send_output(ClientsState& clients, ServiceClient& client) {
    if (over_tls(clients)) {
        const int sent =
            tls_send_now(client.tls, client.output.data(), static_cast<size_t>(client.output_end));
        if (sent > 0)
            client.output_next = client.output_end;
        else if (sent < 0)
            close_client(clients, client);
        return;
    }
    const ssize_t n = socket_send_now(client.fd, client.output.data() + client.output_next,
                                      static_cast<size_t>(client.output_end - client.output_next));
    client.output_next = n < 0 ? client.output_end : client.output_next + static_cast<int32_t>(n);
}

// Sends one answer of `size` bytes (at most MBAP_MAX_WIRE) to the client. With one client it
// waits for room up to the send limit and drops a client that does not take it by then. With
// several, an answer never waits: what the socket cannot take at once is kept and sent as the
// socket has room, and meanwhile that client's requests wait.
void send_answer(ClientsState& clients, ServiceClient& client, const uint8_t* wire, size_t size) {
    if (clients.limit > 1) {
        std::memcpy(client.output.data(), wire, size);
        client.output_next = 0;
        client.output_end = static_cast<int32_t>(size);
        client.output_moved_us = wait_clock_us();
        send_output(clients, client);
        return;
    }
    const int64_t deadline = wait_clock_us() + int64_t{clients.send_seconds} * SECOND_US;
    if (over_tls(clients)) {
        // A session that failed cannot be resumed: it is dropped like a client that stopped
        // reading.
        if (!tls_send_all(client.tls, wire, size, deadline))
            close_client(clients, client);
    } else if (!socket_send_all(client.fd, wire, size, deadline) &&
               (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The answer did not fit within the send time limit: the client has not read for that
        // long, and a cut answer would put its stream out of step, so it is dropped. Other
        // errors (a reset peer) show on the next recv.
        close_client(clients, client);
    }
}

// A TLS client whose handshake did not succeed is logged, within the limit of such lines, and
// closed.
void handshake_failed(ClientsState& clients, ServiceClient& client, const char* reason) {
    if (log_limit_take(clients.refusal_lines, wait_clock_us()))
        log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", client.address, reason);
    close_client(clients, client);
}

// A waiting connection that is given up: over TLS its handshake failed for `reason`.
void give_up(ClientsState& clients, ServiceClient& client, const char* reason) {
    if (over_tls(clients))
        handshake_failed(clients, client, reason);
    else
        close_client(clients, client);
}

// The established client idle longest, besides `except`, and how many are established.
ServiceClient* idlest(ClientsState& clients, uint32_t& established, const ServiceClient* except) {
    ServiceClient* found = nullptr;
    established = 0;
    for (ServiceClient& c : clients.places) {
        if (c.fd < 0 || !c.established || &c == except)
            continue;
        ++established;
        if (found == nullptr || c.last_active < found->last_active)
            found = &c;
    }
    return found;
}

// How many waiting places the connections from `peer` hold.
uint32_t held_by(const ClientsState& clients, uint32_t peer) {
    uint32_t held = 0;
    for (const ServiceClient& c : clients.places)
        held += c.fd >= 0 && !c.established && c.peer == peer ? 1 : 0;
    return held;
}

// The waiting connection that gives way to a newcomer from `peer` when the waiting places are
// full: one of the address that holds the most places, the newcomer counted (on a tie, the
// newcomer's own address); of those, one that has sent nothing before one that has; the oldest.
// So no address holds more than its share while others wait, and a connection that has begun
// its handshake outranks one that only connected.
ServiceClient* giving_way(ClientsState& clients, uint32_t peer) {
    // The greatest of these goes: places its address holds, the newcomer's own address, nothing
    // sent yet, age.
    const auto rank = [&](const ServiceClient& c) {
        const uint32_t held = held_by(clients, c.peer) + (c.peer == peer ? 1 : 0);
        return std::tuple(held, c.peer == peer, !c.heard, UINT64_MAX - c.last_active);
    };
    ServiceClient* found = nullptr;
    for (ServiceClient& c : clients.places)
        if (c.fd >= 0 && !c.established && (found == nullptr || rank(c) > rank(*found)))
            found = &c;
    return found;
}

// Where a new connection from `peer` goes, and whether it is served at once. With one plain
// client, the newest connection wins: the current client is closed. With several plain clients
// a connection takes a free client place at once; when all are taken, it waits until it has
// sent a whole request. Over TLS every connection waits until its handshake has succeeded.
ServiceClient& place_for_new_client(ClientsState& clients, uint32_t peer, bool& served_at_once) {
    uint32_t established = 0, waiting = 0;
    for (const ServiceClient& c : clients.places)
        if (c.fd >= 0)
            ++(c.established ? established : waiting);
    served_at_once = !over_tls(clients) && (clients.limit == 1 || established < clients.limit);
    if (!over_tls(clients) && clients.limit == 1) {
        ServiceClient& only = clients.places[0];
        if (only.fd >= 0) {
            close_client(clients, only);
            ++clients.counters.replaced;
        }
        return only;
    }
    // Established clients fill at most `limit` places, waiting ones at most the waiting places:
    // while either has room there is a free place.
    if (served_at_once || waiting < SERVICE_WAITING_PLACES) {
        for (uint32_t i = 0; i < places_in_use(clients); ++i)
            if (clients.places[i].fd < 0)
                return clients.places[i];
    }
    ServiceClient& place = *giving_way(clients, peer);
    give_up(clients, place, "replaced by a newer connection");
    ++clients.counters.replaced;
    return place;
}

// A waiting connection has earned its place: it takes the place of the established client idle
// longest when all MOD_KOVEX4_CLIENTS places are taken.
void establish(ClientsState& clients, ServiceClient& client) {
    uint32_t established = 0;
    ServiceClient* idle = idlest(clients, established, &client);
    if (established >= clients.limit) {
        close_client(clients, *idle);
        ++clients.counters.replaced;
    }
    client.established = true;
    client.last_active = ++clients.events;
}

void accept_client(ClientsState& clients, int64_t now_us) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const int fd = accept(clients.listen_fd, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (fd < 0) {
        log_msg(LOG_ERR, "accept error: %s", strerror(errno));
        return;
    }
    const uint32_t peer = ntohl(from.sin_addr.s_addr);
    if (!service_allows(clients.allow, peer)) {
        // Closed before anything is read from it; the current clients stay.
        char address[16];
        inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
        socket_close(fd);
        if (log_limit_take(clients.refusal_lines, now_us))
            log_msg(LOG_NOTICE, "TCP connection from %s refused", address);
        ++clients.counters.refused;
        return;
    }
    if (fd >= FD_SETSIZE) {
        // select cannot watch it; keep serving the current clients.
        socket_close(fd);
        log_msg(LOG_ERR, "accept error: descriptor %d is beyond what select can watch", fd);
        return;
    }
    bool served_at_once = false;
    ServiceClient& client = place_for_new_client(clients, peer, served_at_once);
    mbap_reset(client.parser);
    client.peer = peer;
    inet_ntop(AF_INET, &from.sin_addr, client.address, sizeof client.address);
    if (log_limit_take(clients.connection_lines, now_us))
        log_msg(LOG_NOTICE, "TCP connection from %s established", client.address);
    // Answers go out at once: with Nagle's algorithm a client that has several requests in
    // flight gets every answer after the first only when its delayed ACK arrives (~40 ms).
    socket_set_nodelay(fd);
    // A client that stops taking its answers must not hold the whole gateway in send().
    socket_set_send_timeout(fd, clients.send_seconds);
    client.fd = fd;
    client.established = served_at_once;
    client.heard = false;
    client.accepted_us = now_us;
    client.last_active = ++clients.events;
    client.input_next = client.input_end = 0;
    ++clients.counters.accepted;
    if (!over_tls(clients))
        return;
    // Over TLS the handshake comes first, step by step as its records arrive (see receive_tls).
    client.handshake_wants_write = false;
    client.tls_writer = false;
    if (!tls_session_open(client.tls, clients.tls->server, fd))
        handshake_failed(clients, client, "out of memory");
}

// Takes a TLS client's handshake a step further. When it is done, the client is established and
// its role, and whether that role may write, are logged. False when the client was dropped.
bool continue_handshake(ClientsState& clients, ServiceClient& client) {
    const int step = tls_handshake_step(client.tls, client.handshake_wants_write);
    if (step == 0)
        return true;
    if (step < 0) {
        char reason[TLS_REASON_SIZE];
        tls_reason(client.tls, reason, sizeof reason);
        handshake_failed(clients, client, reason);
        return false;
    }
    establish(clients, client);
    char role[TLS_ROLE_SIZE];
    const bool has_role = tls_peer_role(client.tls, role, sizeof role) != 0;
    client.tls_writer = has_role && clients_role_writes(clients.writers, role);
    log_msg(LOG_NOTICE, "TLS connection from %s established (role %s)", client.address,
            has_role ? role : "none");
    return true;
}

// One read from a TLS client: a step of its handshake, or the decrypted bytes of its records.
void receive_tls(ClientsState& clients, ServiceClient& client) {
    client.input_next = client.input_end = 0;
    // Requests may follow the handshake's last record at once: they are read right after it.
    if (!client.established && (!continue_handshake(clients, client) || !client.established))
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
    close_client(clients, client);
}

// One read from a client into its input (over TLS: a step of its handshake, or its records); a
// closed or failed connection is closed here.
void receive(ClientsState& clients, ServiceClient& client) {
    // Over TLS a readable socket before the handshake holds the peer's first bytes (or its end,
    // which ends the handshake as well).
    client.heard = true;
    if (over_tls(clients)) {
        receive_tls(clients, client);
        return;
    }
    const ssize_t n = socket_recv(client.fd, client.input.data(), client.input.size());
    if (n <= 0) {
        if (n < 0)
            log_msg(LOG_ERR, "recv error: %s", strerror(errno));
        close_client(clients, client);
        return;
    }
    client.input_next = 0;
    client.input_end = static_cast<int32_t>(n);
}

// With several clients, between two requests served: reads at once (without waiting) what the
// clients whose input is used up have sent meanwhile, so that a request arriving during another
// client's batch takes its turn in the next round instead of waiting for the whole batch.
void take_in(ClientsState& clients) {
    LoopWatch watch;
    loop_watch_init(watch, 0);
    for (const ServiceClient& c : clients.places)
        if (c.fd >= 0 && c.input_next >= c.input_end && !clients_sending(c))
            loop_watch_fd(watch, c.fd);
    LoopWatch ready;
    if (watch.max_fd < 0 || loop_wait(watch, ready) <= 0)
        return;
    for (ServiceClient& c : clients.places)
        if (loop_fd_ready(ready, c.fd))
            receive(clients, c);
}

void count_request(ClientsCounters& counters, uint8_t function, const MbapFrame& response) {
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

// Whether this client's writes (functions 16 and 6) may reach the device: over TLS, by the role
// in its certificate. MOD_KOVEX4_READ_ONLY, which refuses every client's writes, is an option of
// the request handler (MODBUS_READ_ONLY) and applies after this.
bool may_write(const ClientsState& clients, const ServiceClient& client) {
    return !over_tls(clients) || client.tls_writer;
}

// Parses the client's input up to its next complete request and answers it. False when the
// input held no further request, or an answer still waits for room.
bool serve_one(ClientsState& clients, ServiceClient& client, const ClientsServe& serve) {
    if (clients_sending(client))
        return false;
    const uint8_t* next = client.input.data() + client.input_next;
    int32_t left = client.input_end - client.input_next;
    MbapFrame* frame = left > 0 ? mbap_parse(client.parser, next, left) : nullptr;
    client.input_next = client.input_end - left;
    if (frame == nullptr)
        return false;
    // A waiting plain connection earns its place with its first whole request.
    if (!client.established)
        establish(clients, client);
    client.last_active = ++clients.events;
    const uint8_t function = frame->body[1];
    TraceState& trace = *serve.trace;
    uint8_t wire[MBAP_MAX_WIRE];
    if (trace.on) {
        const int request_size = mbap_serialize(*frame, wire);
        trace_bytes(trace, wait_clock_us(), client.address, "modbus request", wire,
                    static_cast<size_t>(request_size));
        trace.source = client.address;
    }
    if ((function == MODBUS_WRITE_MULTIPLE || function == MODBUS_WRITE_SINGLE) &&
        !may_write(clients, client))
        modbus_exception(*frame, MODBUS_ILLEGAL_FUNCTION);
    else
        modbus_handle_request(serve.registers, *frame, clients.modbus_options);
    count_request(clients.counters, function, *frame);
    const int size = mbap_serialize(*frame, wire);
    if (trace.on) {
        trace_bytes(trace, wait_clock_us(), client.address, "modbus answer", wire,
                    static_cast<size_t>(size));
        trace.source = TRACE_PUSH;
    }
    send_answer(clients, client, wire, static_cast<size_t>(size));
    return true;
}

// What is due at `now_us`: waiting connections that have not earned their place in time (or sent
// nothing for SERVICE_SILENT_SECONDS) are given up, clients whose kept answer has not gone on for
// the send limit are dropped, and the lines left out are reported.
void check_times(ClientsState& clients, int64_t now_us) {
    for (ServiceClient& client : clients.places) {
        if (client.fd >= 0 && clients_sending(client) &&
            now_us - client.output_moved_us >= int64_t{clients.send_seconds} * SECOND_US) {
            log_msg(LOG_NOTICE, "client %s dropped: no answer read for %d seconds", client.address,
                    clients.send_seconds);
            close_client(clients, client);
        }
        if (client.fd < 0 || client.established)
            continue;
        char reason[48];
        const int64_t waited = now_us - client.accepted_us;
        if (waited >= int64_t{SERVICE_HANDSHAKE_SECONDS} * SECOND_US)
            std::snprintf(reason, sizeof reason, "not done within %d seconds",
                          SERVICE_HANDSHAKE_SECONDS);
        else if (!client.heard && waited >= int64_t{SERVICE_SILENT_SECONDS} * SECOND_US)
            std::snprintf(reason, sizeof reason, "nothing received within %d seconds",
                          SERVICE_SILENT_SECONDS);
        else
            continue;
        give_up(clients, client, reason);
    }
    if (const uint32_t left_out = log_limit_due(clients.refusal_lines, now_us))
        log_msg(LOG_NOTICE, "%u lines left out", left_out);
    if (const uint32_t left_out = log_limit_due(clients.connection_lines, now_us))
        log_msg(LOG_NOTICE, "%u connection lines left out", left_out);
}

// Whether a TLS session holds received bytes that select does not see.
bool holds_bytes(const ClientsState& clients, const ServiceClient& client) {
    return over_tls(clients) && !clients_sending(client) && tls_pending(client.tls);
}

} // namespace

uint32_t clients_limit(const Settings& settings) {
    return settings.clients < 1                     ? 1
           : settings.clients > SERVICE_MAX_CLIENTS ? SERVICE_MAX_CLIENTS
                                                    : settings.clients;
}

void clients_start(ClientsState& clients, const Settings& s, const TlsCredentials* tls) {
    clients.limit = clients_limit(s);
    clients.modbus_options = s.write_single != 0 ? MODBUS_SERVE_WRITE_SINGLE : 0;
    if (s.read_only != 0)
        clients.modbus_options |= MODBUS_READ_ONLY;
    service_allow_load(clients.allow, s.allow);
    clients.writers = s.tls_writers;
    clients.tls = tls;
    uint32_t address = 0;
    if (!s.listen.empty() && !settings_parse_ipaddr(s.listen.c_str(), address)) {
        // Listening on every address instead would open the gateway where it was meant to be
        // closed; the service runs without a server, as when the port is taken.
        log_msg(LOG_ERR, "listen address %s is not an IPv4 address", s.listen.c_str());
        return;
    }
    clients.listen_fd = socket_open_tcp_server(s.port, address);
    if (clients.listen_fd >= FD_SETSIZE) {
        log_msg(LOG_ERR, "listen on socket error: descriptor %d is beyond what select can watch",
                clients.listen_fd);
        socket_close(clients.listen_fd);
        clients.listen_fd = -1;
    }
}

void clients_watch(const ClientsState& clients, LoopWatch& watch, int64_t now_us) {
    loop_watch_fd(watch, clients.listen_fd);
    for (const ServiceClient& c : clients.places) {
        if (c.fd < 0)
            continue;
        // A client with an answer waiting for room is watched for room instead of requests, and
        // so is a handshake waiting for room to send.
        const bool sending = clients_sending(c);
        loop_watch_fd(watch, c.fd, sending || (!c.established && c.handshake_wants_write));
        if (sending)
            loop_wake_by(watch, c.output_moved_us + int64_t{clients.send_seconds} * SECOND_US);
        if (holds_bytes(clients, c))
            loop_wake_by(watch, now_us);
        if (!c.established)
            loop_wake_by(watch, c.accepted_us +
                                    (c.heard ? SERVICE_HANDSHAKE_SECONDS : SERVICE_SILENT_SECONDS) *
                                        SECOND_US);
    }
}

void clients_run(ClientsState& clients, const LoopWatch& ready, int64_t now_us,
                 const ClientsServe& serve) {
    // The connections the wait watched: one accepted below was not among them; it is read
    // from the next turn on.
    std::array<int, SERVICE_PLACES> watched;
    bool active = loop_fd_ready(ready, clients.listen_fd);
    for (uint32_t i = 0; i < SERVICE_PLACES; ++i) {
        const ServiceClient& c = clients.places[i];
        watched[i] = c.fd;
        active = active || loop_fd_ready(ready, c.fd) || loop_fd_ready(ready, c.fd, true) ||
                 (c.fd >= 0 && holds_bytes(clients, c));
    }
    if (loop_fd_ready(ready, clients.listen_fd))
        accept_client(clients, now_us);
    for (uint32_t i = 0; i < SERVICE_PLACES; ++i) {
        ServiceClient& client = clients.places[i];
        if (watched[i] < 0 || client.fd != watched[i])
            continue;
        const bool writable = loop_fd_ready(ready, client.fd, true);
        if (clients_sending(client)) {
            if (writable) {
                // A socket with room takes bytes: the answer goes on.
                client.output_moved_us = now_us;
                send_output(clients, client);
            }
        } else if (loop_fd_ready(ready, client.fd) || writable || holds_bytes(clients, client)) {
            receive(clients, client);
        }
    }
    if (active) {
        // Turns of one request per client, so that a client with many requests in one read does
        // not keep the others waiting; with one client, all of its read in order. Each turn of
        // the loop begins one client further on: the client served first gets its answer first
        // and would otherwise be ready again first every time.
        uint32_t answered = 0;
        for (bool served = true; served;) {
            served = false;
            for (uint32_t k = 0; k < SERVICE_PLACES; ++k) {
                ServiceClient& client = clients.places[(clients.first_turn + k) % SERVICE_PLACES];
                if (client.fd >= 0 && serve_one(clients, client, serve)) {
                    served = true;
                    // Each answer is progress: many requests in one read can take long.
                    notify_watchdog(wait_clock_us());
                    // Clients that keep sending must not hold the loop from accepting, pushing
                    // and checking the line: new arrivals are taken in only for so many answers.
                    if (clients.limit > 1 && ++answered <= TAKE_IN_ANSWERS)
                        take_in(clients);
                }
            }
        }
        const uint32_t turns = clients.limit + (over_tls(clients) ? SERVICE_WAITING_PLACES : 0);
        clients.first_turn = (clients.first_turn + 1) % turns;
    }
    check_times(clients, now_us);
}

bool clients_role_writes(std::string_view writers, std::string_view role) {
    std::string_view entry;
    while (service_list_next(writers, entry))
        if (entry == role)
            return true;
    return false;
}
