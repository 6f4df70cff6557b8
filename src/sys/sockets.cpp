#include "sys/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

int socket_open_tcp_server(uint32_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        log_msg(LOG_ERR, "create socket error: %s", strerror(errno));
        return -1;
    }
    if (!set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1))
        log_msg(LOG_ERR, "setsockopt(SO_REUSEADDR) error: %s", strerror(errno));
    if (bind_ipv4(fd, INADDR_ANY, port) != 0) {
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

int socket_open_tcp_client(uint32_t address, uint32_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        log_msg(LOG_ERR, "create socket error: %s", strerror(errno));
        return -1;
    }
    if (connect_ipv4(fd, address, port) != 0) {
        log_msg(LOG_ERR, "connect socket error: %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
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
