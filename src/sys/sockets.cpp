// SPDX-License-Identifier: Apache-2.0
#include "sys/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/deadline.h"
#include "sys/log.h"

namespace {

// Every byte other than family, port and address stays zero.
sockaddr_in ipv4_address(uint32_t address, uint32_t port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFFu));
    sa.sin_addr.s_addr = htonl(address);
    return sa;
}

// The full 110-byte structure, zero-filled; the path is cut to 107 characters so it always
// ends in a NUL.
static_assert(sizeof(sockaddr_un) == 110, "family and 108 bytes of path");
sockaddr_un unix_address(const char* path) {
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path, sizeof sa.sun_path - 1);
    return sa;
}

int bind_ipv4(int fd, uint32_t address, uint32_t port) {
    const sockaddr_in sa = ipv4_address(address, port);
    return bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

int connect_ipv4(int fd, uint32_t address, uint32_t port) {
    const sockaddr_in sa = ipv4_address(address, port);
    return connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

bool set_int_option(int fd, int level, int option, int value) {
    return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

} // namespace

int socket_open_tcp_server(uint32_t port, uint32_t address) {
    const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        log_msg(LOG_ERR, "create socket error: %s", strerror(errno));
        return -1;
    }
    if (!set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1))
        log_msg(LOG_ERR, "setsockopt(SO_REUSEADDR) error: %s", strerror(errno));
    if (bind_ipv4(fd, address, port) != 0) {
        log_msg(LOG_ERR, "bind socket error: %s", strerror(errno));
        close(fd);
        return -1;
    }
    if (listen(fd, 8) != 0) {
        log_msg(LOG_ERR, "listen on socket error: %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int socket_open_tcp_client(uint32_t address, uint32_t port, int timeout_seconds) {
    // The attempt runs non-blocking and is waited for here: a peer that drops the attempt without
    // an answer would otherwise hold the caller for the system's connection time-out (minutes).
    const int fd = socket_connect_start(address, port);
    if (fd < 0)
        return -1;
    const int64_t deadline = wait_clock_us() + int64_t{timeout_seconds} * 1000000;
    const int ready = wait_fd(fd, WaitFor::write, deadline);
    if (ready < 0) {
        log_msg(LOG_ERR, "connect socket error: %s", strerror(errno));
        close(fd);
        return -1;
    }
    if (!socket_connect_finish(fd, ready == 0))
        return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int socket_connect_start(uint32_t address, uint32_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        log_msg(LOG_ERR, "create socket error: %s", strerror(errno));
        return -1;
    }
    if (connect_ipv4(fd, address, port) != 0 && errno != EINPROGRESS) {
        log_msg(LOG_ERR, "connect socket error: %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int socket_connect_finish(int fd, bool timed_out) {
    int error = ETIMEDOUT;
    socklen_t len = sizeof error;
    if (!timed_out && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    if (error == 0)
        return 1;
    log_msg(LOG_ERR, "connect socket error: %s", strerror(error));
    close(fd);
    return 0;
}

int socket_set_nodelay(int fd) {
    if (set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1))
        return 1;
    log_msg(LOG_ERR, "setsockopt(TCP_NODELAY) error: %s", strerror(errno));
    return 0;
}

int socket_set_send_timeout(int fd, int seconds) {
    const timeval limit{seconds, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0)
        return 1;
    log_msg(LOG_ERR, "setsockopt(SO_SNDTIMEO) error: %s", strerror(errno));
    return 0;
}

int socket_send_all(int fd, const uint8_t* data, size_t size, int64_t deadline_us) {
    size_t sent = 0;
    for (;;) {
        // Not retry_after_signal: a send cut short by a signal again and again must still end
        // at the deadline.
        const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            return 0;
        if (sent == size)
            return 1;
        // A send cut short by a signal goes on; one cut short by the socket's send time limit
        // has used up the time.
        if (wait_clock_us() >= deadline_us) {
            errno = EAGAIN;
            return 0;
        }
    }
}

ssize_t socket_send_now(int fd, const uint8_t* data, size_t size) {
    const ssize_t n =
        retry_after_signal([&] { return send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL); });
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : n;
}

ssize_t socket_recv(int fd, void* buffer, size_t size) {
    return retry_after_signal([&] { return recv(fd, buffer, size, 0); });
}

void socket_close(int fd) {
    if (close(fd) != 0)
        log_msg(LOG_ERR, "close socket error: %s", strerror(errno));
}

uint32_t resolve_hostname(const char* name) {
    // Re-read the resolver configuration each time: it may have changed since start-up.
    res_init();
    const hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
        log_msg(LOG_ERR, "error resolving hostname %s", name);
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(host->h_addr_list[0]);
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

int socket_open_udp_server(uint32_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        log_msg(LOG_ERR, "create socket error: %s", strerror(errno));
        return -1;
    }
    if (bind_ipv4(fd, INADDR_ANY, port) != 0) {
        log_msg(LOG_ERR, "bind socket error: %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int socket_open_udp_client(uint32_t address, uint32_t port) {
    // Each step is tried even after a failure; the socket is handed back as it is.
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        log_msg(LOG_ERR, "create socket error: %s", strerror(errno));
    if (bind_ipv4(fd, INADDR_ANY, 0) != 0)
        log_msg(LOG_ERR, "bind socket error: %s", strerror(errno));
    if (connect_ipv4(fd, address, port) != 0)
        log_msg(LOG_ERR, "connect socket error: %s", strerror(errno));
    return fd;
}

int socket_open_unix_server(const char* path) {
    static const char kName[] = "socket_open_unix_server";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        log_msg(LOG_ERR, "%s - create socket error: %s", kName, strerror(errno));
        return -1;
    }
    // A file left at the path is not removed: binding to it fails.
    const sockaddr_un sa = unix_address(path);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        log_msg(LOG_ERR, "%s - bind socket error: %s", kName, strerror(errno));
        close(fd);
        return -1;
    }
    if (listen(fd, 8) != 0) {
        log_msg(LOG_ERR, "%s - listen on socket error: %s", kName, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int socket_open_unix_client(const char* path) {
    static const char kName[] = "socket_open_unix_client";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        log_msg(LOG_ERR, "%s - create socket error: %s", kName, strerror(errno));
        return -1;
    }
    const sockaddr_un sa = unix_address(path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        log_msg(LOG_ERR, "%s - connect socket error: %s", kName, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void socket_set_keepalive(int fd, int idle, int interval, int count) {
    if (!set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1))
        log_msg(LOG_ERR, "setsockopt(SO_KEEPALIVE) error: %s", strerror(errno));
    if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, idle))
        log_msg(LOG_ERR, "setsockopt(TCP_KEEPIDLE) error: %s", strerror(errno));
    // Log watchers match this message as it has always been spelled.
    if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, interval))
        log_msg(LOG_ERR, "setsockopt(TCP_KEEPINVTL) error: %s", strerror(errno));
    if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, count))
        log_msg(LOG_ERR, "setsockopt(TCP_KEEPCNT) error: %s", strerror(errno));
}
