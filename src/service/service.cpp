#include "service/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "modbus/request.h"
#include "sys/com.h"
#include "sys/log.h"
#include "sys/sockets.h"

namespace {

void close_client(Service& service) {
    socket_close(service.client_fd);
    log_msg(LOG_NOTICE, "TCP connection closed");
    service.client_fd = -1;
}

void accept_client(Service& service) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    const int fd = accept(service.listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (fd < 0) {
        log_msg(LOG_ERR, "accept error: %s", strerror(errno));
        return;
    }
    if (fd >= FD_SETSIZE) {
        // select cannot watch it; keep serving the current client.
        socket_close(fd);
        log_msg(LOG_ERR, "accept error: %s", strerror(EMFILE));
        return;
    }
    if (service.client_fd >= 0)
        close_client(service);
    mbap_reset(service.server_parser);
    log_msg(LOG_NOTICE, "TCP connection from %s established", inet_ntoa(peer.sin_addr));
    // Answers go out at once: with Nagle's algorithm a client that has several requests in
    // flight gets every answer after the first only when its delayed ACK arrives (~40 ms).
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A client that stops taking its answers must not hold the whole gateway in send().
    const timeval send_limit{SERVICE_SEND_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    service.client_fd = fd;
}

void serve_client(Service& service) {
    uint8_t received[256];
    const ssize_t n = recv(service.client_fd, received, sizeof received, 0);
    if (n <= 0) {
        if (n < 0)
            log_msg(LOG_ERR, "recv error: %s", strerror(errno));
        close_client(service);
        return;
    }
    const uint8_t* next = received;
    int32_t left = static_cast<int32_t>(n);
    while (left > 0) {
        MbapFrame* frame = mbap_parse(service.server_parser, next, left);
        if (frame == nullptr)
            break;
        modbus_handle_request(service.serial_fd, static_cast<int>(service.settings.station),
                              *frame);
        uint8_t wire[MBAP_MAX_WIRE];
        const int size = mbap_serialize(*frame, wire);
        const ssize_t sent = send(service.client_fd, wire, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (sent < size && (sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The answer did not fit within the send time limit: the client has not read for that
            // long, and a cut answer would put its stream out of step, so it is dropped.
            close_client(service);
            return;
        }
    }
}

} // namespace

std::string service_device_path(const Settings& settings) {
    return "/dev/" + settings.device;
}

int service_start(Service& service, const char* settings_path) {
    settings_load(service.settings, settings_path);
    const Settings& s = service.settings;
    service.listen_fd = socket_open_tcp_server(s.port);
    if (service.listen_fd >= FD_SETSIZE) {
        socket_close(service.listen_fd);
        service.listen_fd = -1;
    }
    const std::string path = service_device_path(s);
    if (!com_lock(path.c_str(), 1)) {
        log_msg(LOG_ERR, "device %s is locked", path.c_str());
        return 0;
    }
    service.serial_fd = com_open(path.c_str(), s.baudrate, static_cast<int>(s.databits),
                                 s.parity.c_str(), static_cast<int>(s.stopbits));
    if (service.serial_fd < 0)
        return 0;
    mbap_reset(service.server_parser);
    push_init(service.push, s, time(nullptr));
    return 1;
}

void service_iterate(Service& service) {
    fd_set readable;
    FD_ZERO(&readable);
    int max_fd = -1;
    // Only descriptors below FD_SETSIZE ever get here (see accept_client and service_start).
    for (const int fd : {service.listen_fd, service.client_fd}) {
        if (fd < 0)
            continue;
        FD_SET(fd, &readable);
        if (fd > max_fd)
            max_fd = fd;
    }
    const int client_in_set = service.client_fd;
    timeval timeout{1, 0};
    const int ready = select(max_fd + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0) {
        log_msg(LOG_ERR, "select error: %s", strerror(errno));
        sleep(1);
    } else if (ready > 0) {
        if (service.listen_fd >= 0 && FD_ISSET(service.listen_fd, &readable))
            accept_client(service);
        // A client accepted just now was not in this iteration's set; it is read next time.
        if (client_in_set >= 0 && client_in_set == service.client_fd &&
            FD_ISSET(client_in_set, &readable))
            serve_client(service);
    }
    if (!service.settings.ipaddr.empty())
        push_cycle(service.push, service.serial_fd, service.settings, time(nullptr));
}
