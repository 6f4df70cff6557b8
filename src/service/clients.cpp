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

#include "service/service.h"
#include "sys/deadline.h"
#include "sys/log.h"
#include "sys/sockets.h"

namespace {

void close_client(ServiceClient& client) {
    tls_session_close(client.tls);
    socket_close(client.fd);
    log_msg(LOG_NOTICE, "TCP connection closed");
    client.fd = -1;
    client.input_next = client.input_end = 0;
    client.output_next = client.output_end = 0;
}

// Sends what the socket takes of the client's kept answer. A failed session is closed; after
// another failure of a plain socket the answer is given up and the client read again, where the
// failure shows (as with one client).
void send_output(ServiceClient& client) {
    if (client.tls.open) {
        const int sent =
            tls_send_now(client.tls, client.output.data(), static_cast<size_t>(client.output_end));
        if (sent > 0)
            client.output_next = client.output_end;
        else if (sent < 0)
            close_client(client);
        return;
    }
    const ssize_t n = socket_send_now(client.fd, client.output.data() + client.output_next,
                                      static_cast<size_t>(client.output_end - client.output_next));
    client.output_next = n < 0 ? client.output_end : client.output_next + static_cast<int32_t>(n);
}

// A TLS client whose handshake did not succeed is logged, within the limit of such lines, and
// closed.
void handshake_failed(Service& service, ServiceClient& client, const char* reason) {
    if (log_limit_take(service.refusal_lines, wait_clock_us()))
        log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", client.address, reason);
    close_client(client);
}

// Among the occupied places whose handshake is done (`established`) or not, the one with the
// least recent activity (for a handshake: the oldest), besides `except`; and how many there are.
ServiceClient* least_recent(Service& service, bool established, uint32_t& count,
                            const ServiceClient* except = nullptr) {
    ServiceClient* found = nullptr;
    count = 0;
    for (ServiceClient& c : service.clients) {
        if (c.fd < 0 || c.tls.established != established || &c == except)
            continue;
        ++count;
        if (found == nullptr || c.last_active < found->last_active)
            found = &c;
    }
    return found;
}

// Where a new connection goes. Plain Modbus: a free place while there is one, otherwise the place
// of the client that has been idle longest (with one client: the current one), which is closed.
// Over TLS: a free place while fewer than SERVICE_HANDSHAKE_PLACES handshakes are going on,
// otherwise the place of the oldest handshake, which gives way; the clients whose handshake is
// done stay (see continue_handshake).
ServiceClient& place_for_new_client(Service& service) {
    if (service.tls_wanted) {
        uint32_t handshakes = 0;
        ServiceClient* oldest = least_recent(service, false, handshakes);
        // Established clients fill at most client_limit places: there is a free one.
        for (uint32_t i = 0; i < clients_places(service) && handshakes < SERVICE_HANDSHAKE_PLACES;
             ++i)
            if (service.clients[i].fd < 0)
                return service.clients[i];
        handshake_failed(service, *oldest, "replaced by a newer connection");
        ++service.counters.clients_replaced;
        return *oldest;
    }
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

// Takes a TLS client's handshake a step further. When it is done, the client takes the place of
// the idlest established client if all MOD_KOVEX4_CLIENTS places are taken, and its role and
// whether that role may write are logged. False when the client was dropped.
bool continue_handshake(Service& service, ServiceClient& client) {
    const int step = tls_handshake_step(client.tls, client.handshake_wants_write);
    if (step == 0)
        return true;
    if (step < 0) {
        char reason[TLS_REASON_SIZE];
        tls_reason(client.tls, reason, sizeof reason);
        handshake_failed(service, client, reason);
        return false;
    }
    uint32_t established = 0;
    ServiceClient* idlest = least_recent(service, true, established, &client);
    if (established >= service.client_limit) {
        close_client(*idlest);
        ++service.counters.clients_replaced;
    }
    client.last_active = ++service.events;
    char role[TLS_ROLE_SIZE];
    const bool has_role = tls_peer_role(client.tls, role, sizeof role) != 0;
    client.tls_writer = has_role && clients_role_writes(service.settings.tls_writers, role);
    log_msg(LOG_NOTICE, "TLS connection from %s established (role %s)", client.address,
            has_role ? role : "none");
    return true;
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

} // namespace

uint32_t clients_places(const Service& service) {
    return service.client_limit + (service.tls_wanted ? SERVICE_HANDSHAKE_PLACES : 0);
}

void clients_accept(Service& service) {
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
        if (log_limit_take(service.refusal_lines, wait_clock_us()))
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
    // Over TLS the handshake comes first, step by step as its records arrive (see receive_tls).
    client.handshake_due_us = wait_clock_us() + int64_t{SERVICE_HANDSHAKE_SECONDS} * 1000000;
    client.handshake_wants_write = false;
    client.tls_writer = false;
    if (!tls_session_open(client.tls, service.tls.server, fd))
        handshake_failed(service, client, "out of memory");
}

void clients_receive(Service& service, ServiceClient& client) {
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

void clients_take_in(Service& service) {
    fd_set readable;
    FD_ZERO(&readable);
    int max_fd = -1;
    for (uint32_t i = 0; i < SERVICE_PLACES; ++i) {
        const ServiceClient& c = service.clients[i];
        if (c.fd < 0 || c.input_next < c.input_end || clients_sending(c))
            continue;
        FD_SET(c.fd, &readable);
        max_fd = std::max(max_fd, c.fd);
    }
    if (max_fd < 0 || wait_select(max_fd + 1, readable, 0) <= 0)
        return;
    for (uint32_t i = 0; i < SERVICE_PLACES; ++i) {
        ServiceClient& c = service.clients[i];
        if (c.fd >= 0 && FD_ISSET(c.fd, &readable))
            clients_receive(service, c);
    }
}

bool clients_role_writes(std::string_view writers, std::string_view role) {
    std::string_view entry;
    while (service_list_next(writers, entry))
        if (entry == role)
            return true;
    return false;
}

bool clients_may_write(const Service& service, const ServiceClient& client) {
    return !service.tls_wanted || client.tls_writer;
}

void clients_send(Service& service, ServiceClient& client, const uint8_t* wire, size_t size) {
    if (service.client_limit > 1) {
        std::memcpy(client.output.data(), wire, size);
        client.output_next = 0;
        client.output_end = static_cast<int32_t>(size);
        client.output_moved_us = wait_clock_us();
        send_output(client);
        return;
    }
    const int64_t deadline = wait_clock_us() + int64_t{service.send_seconds} * 1000000;
    if (client.tls.open) {
        // A session that failed cannot be resumed: it is dropped like a client that stopped
        // reading.
        if (!tls_send_all(client.tls, wire, size, deadline))
            close_client(client);
    } else if (!socket_send_all(client.fd, wire, size, deadline) &&
               (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The answer did not fit within the send time limit: the client has not read for that
        // long, and a cut answer would put its stream out of step, so it is dropped. Other
        // errors (a reset peer) show on the next recv.
        close_client(client);
    }
}

void clients_flush(ServiceClient& client, int64_t now_us) {
    // A socket with room takes bytes: the answer goes on.
    client.output_moved_us = now_us;
    send_output(client);
}

void clients_check(Service& service, int64_t now_us) {
    for (ServiceClient& client : service.clients) {
        if (client.fd >= 0 && clients_sending(client) &&
            now_us - client.output_moved_us >= int64_t{service.send_seconds} * 1000000) {
            log_msg(LOG_NOTICE, "client %s dropped: no answer read for %d seconds", client.address,
                    service.send_seconds);
            close_client(client);
        }
        if (client.fd < 0 || !client.tls.open || client.tls.established ||
            now_us < client.handshake_due_us)
            continue;
        char reason[48];
        std::snprintf(reason, sizeof reason, "not done within %d seconds",
                      SERVICE_HANDSHAKE_SECONDS);
        handshake_failed(service, client, reason);
    }
    if (const uint32_t left_out = log_limit_due(service.refusal_lines, now_us))
        log_msg(LOG_NOTICE, "%u lines left out", left_out);
}
