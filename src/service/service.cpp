#include "service/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "modbus/request.h"
#include "regmap/regs.h"
#include "sys/com.h"
#include "sys/deadline.h"
#include "sys/log.h"
#include "sys/sockets.h"

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

int open_line(const Service& service, bool quiet) {
    const Settings& s = service.settings;
    const auto open = quiet ? com_open_quiet : com_open;
    return open(service.device_path.c_str(), s.baudrate, static_cast<int>(s.databits),
                s.parity.c_str(), static_cast<int>(s.stopbits));
}

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
        log_msg(LOG_ERR, "accept error: descriptor %d is beyond what select can watch", fd);
        return;
    }
    if (service.client_fd >= 0)
        close_client(service);
    mbap_reset(service.server_parser);
    log_msg(LOG_NOTICE, "TCP connection from %s established", inet_ntoa(peer.sin_addr));
    // Answers go out at once: with Nagle's algorithm a client that has several requests in
    // flight gets every answer after the first only when its delayed ACK arrives (~40 ms).
    socket_set_nodelay(fd);
    // A client that stops taking its answers must not hold the whole gateway in send().
    socket_set_send_timeout(fd, SERVICE_SEND_SECONDS);
    service.client_fd = fd;
}

void serve_client(Service& service) {
    uint8_t received[256];
    ssize_t n;
    do {
        n = recv(service.client_fd, received, sizeof received, 0);
    } while (n < 0 && errno == EINTR);
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
        modbus_handle_request(service.registers, *frame);
        uint8_t wire[MBAP_MAX_WIRE];
        const int size = mbap_serialize(*frame, wire);
        const int64_t deadline = wait_clock_us() + int64_t{SERVICE_SEND_SECONDS} * 1000000;
        if (!socket_send_all(service.client_fd, wire, static_cast<size_t>(size), deadline) &&
            (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The answer did not fit within the send time limit: the client has not read for that
            // long, and a cut answer would put its stream out of step, so it is dropped. Other
            // errors (a reset peer) show on the next recv.
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
    service.registers = ModbusRegisters{line_read, line_write, &service};
    const Settings& s = service.settings;
    service.listen_fd = socket_open_tcp_server(s.port);
    if (service.listen_fd >= FD_SETSIZE) {
        log_msg(LOG_ERR, "listen on socket error: descriptor %d is beyond what select can watch",
                service.listen_fd);
        socket_close(service.listen_fd);
        service.listen_fd = -1;
    }
    service.device_path = service_device_path(s);
    if (!com_lock(service.device_path.c_str(), 1)) {
        log_msg(LOG_ERR, "device %s is locked", service.device_path.c_str());
        return 0;
    }
    service.line.fd = open_line(service, false);
    if (service.line.fd < 0)
        return 0;
    mbap_reset(service.server_parser);
    push_init(service.push, s, time(nullptr));
    return 1;
}

void service_check_line(Service& service, int64_t now_us) {
    DevLine& line = service.line;
    const char* path = service.device_path.c_str();
    if (line.lost && line.fd >= 0) {
        log_msg(LOG_ERR, "device %s lost: %s", path,
                line.lost_errno != 0 ? strerror(line.lost_errno) : "end of file");
        close(line.fd);
        line.fd = -1;
        service.reopen_due_us = now_us + int64_t{SERVICE_REOPEN_SECONDS} * 1000000;
    }
    if (line.fd >= 0 || now_us < service.reopen_due_us)
        return;
    // Quiet tries: a missing adapter or a foreign lock is not logged every few seconds.
    service.reopen_due_us = now_us + int64_t{SERVICE_REOPEN_SECONDS} * 1000000;
    if (!com_lock(path, 0))
        return;
    const int fd = open_line(service, true);
    if (fd < 0)
        return;
    line.fd = fd;
    line.lost = false;
    line.lost_errno = 0;
    line.quiet_until_us = 0;
    log_msg(LOG_NOTICE, "device %s reopened", path);
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
    const int ready = wait_select(max_fd + 1, readable, wait_clock_us() + 1000000);
    if (ready < 0) {
        log_msg(LOG_ERR, "select error: %s", strerror(errno));
        wait_until(wait_clock_us() + 1000000);
    } else if (ready > 0) {
        if (service.listen_fd >= 0 && FD_ISSET(service.listen_fd, &readable))
            accept_client(service);
        // A client accepted just now was not in this iteration's set; it is read next time.
        if (client_in_set >= 0 && client_in_set == service.client_fd &&
            FD_ISSET(client_in_set, &readable))
            serve_client(service);
    }
    if (!service.settings.ipaddr.empty())
        push_cycle(service.push, service.registers, service.settings, time(nullptr));
    service_check_line(service, wait_clock_us());
}
