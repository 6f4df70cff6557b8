// Socket side of the I/O library: TCP and UDP on loopback, Unix-domain sockets in a temporary
// folder, keep-alive options and the resolver.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "sys/log.h"
#include "sys/sockets.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
using Lines = std::vector<std::pair<int, std::string>>;

// The number the next descriptor would get: a leaked descriptor changes it.
int lowest_free_fd() {
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

uint16_t bound_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

std::string err(const char* text, int code) {
    return text + std::string(strerror(code));
}

} // namespace

TEST(TcpServer, PortZeroGetsFreePortThatServesClient) {
    LogCapture log;
    const int server = socket_open_tcp_server(0);
    ASSERT_GE(server, 0);
    ASSERT_NE(bound_port(server), 0);
    const int client = socket_open_tcp_client(kLoopback, bound_port(server));
    ASSERT_GE(client, 0);
    const int accepted = accept(server, nullptr, nullptr);
    ASSERT_EQ(send(client, "mb", 2, MSG_NOSIGNAL), 2);
    char got[2] = {};
    EXPECT_EQ(recv(accepted, got, 2, MSG_WAITALL), 2);
    EXPECT_EQ(std::string(got, 2), "mb");
    EXPECT_TRUE(log.lines().empty());
    for (int fd : {accepted, client, server})
        socket_close(fd);
}

TEST(TcpServer, PortAbove65535UsesLow16Bits) {
    LogCapture log;
    const int server = socket_open_tcp_server(70000);
    if (server < 0 && log.has_prefix(LOG_ERR, "bind socket error: "))
        GTEST_SKIP() << "port 4464 is taken on this machine";
    ASSERT_GE(server, 0);
    EXPECT_EQ(bound_port(server), 4464);
    socket_close(server);
}

TEST(Servers, TakenPortLogsBindErrorWithoutLeak) {
    // The UDP server sets no SO_REUSEADDR, so it cannot share a port either.
    for (int (*open_server)(uint32_t) : {socket_open_tcp_server, socket_open_udp_server}) {
        const int first = open_server(0);
        ASSERT_GE(first, 0);
        LogCapture log;
        const int free_before = lowest_free_fd();
        EXPECT_EQ(open_server(bound_port(first)), -1);
        EXPECT_EQ(log.lines(), (Lines{{LOG_ERR, err("bind socket error: ", EADDRINUSE)}}));
        EXPECT_EQ(lowest_free_fd(), free_before);
        socket_close(first);
    }
}

TEST(TcpClient, RefusedConnectionLogsAndLeaksNothing) {
    const int server = socket_open_tcp_server(0);
    ASSERT_GE(server, 0);
    const uint16_t port = bound_port(server);
    socket_close(server); // nothing listens there any more
    LogCapture log;
    const int free_before = lowest_free_fd();
    EXPECT_EQ(socket_open_tcp_client(kLoopback, port), -1);
    EXPECT_EQ(log.lines(), (Lines{{LOG_ERR, err("connect socket error: ", ECONNREFUSED)}}));
    EXPECT_EQ(lowest_free_fd(), free_before);
}

TEST(SocketClose, ClosesAndLogsFailure) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    LogCapture log;
    socket_close(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_TRUE(log.lines().empty());
    socket_close(fd);
    EXPECT_EQ(log.lines(), (Lines{{LOG_ERR, err("close socket error: ", EBADF)}}));
}

TEST(ResolveHostname, DottedAddressesAndUnknownName) {
    // A label over 63 characters cannot be put into a query: the lookup fails without a packet.
    const std::string unknown = "no-such-host-" + std::string(64, 'x') + ".invalid";
    const std::pair<std::string, uint32_t> rows[] = {
        {"10.0.0.1", 0x0A000001}, {"192.168.200.254", 0xC0A8C8FE}, {unknown, 0}};
    for (const auto& [name, address] : rows) {
        LogCapture log;
        EXPECT_EQ(resolve_hostname(name.c_str()), address) << name;
        EXPECT_EQ(log.count(LOG_ERR, "error resolving hostname " + name), address == 0 ? 1 : 0);
    }
}

TEST(Udp, ClientAndServerExchangeOnLoopback) {
    LogCapture log;
    const int server = socket_open_udp_server(0);
    ASSERT_GE(server, 0);
    const int client = socket_open_udp_client(kLoopback, bound_port(server));
    ASSERT_GE(client, 0);
    EXPECT_NE(bound_port(client), 0);
    ASSERT_EQ(send(client, "ping", 4, 0), 4);
    char got[8] = {};
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ASSERT_EQ(recvfrom(server, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &len), 4);
    EXPECT_STREQ(got, "ping");
    ASSERT_EQ(sendto(server, "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), len), 4);
    EXPECT_EQ(recv(client, got, sizeof got, 0), 4);
    EXPECT_STREQ(got, "pong");
    EXPECT_TRUE(log.lines().empty());
    socket_close(client);
    socket_close(server);
}

TEST(Udp, ClientKeepsSocketWhenConnectFails) {
    // Connecting a datagram socket sends nothing; the broadcast address is refused locally
    // because the socket lacks SO_BROADCAST.
    LogCapture log;
    const int fd = socket_open_udp_client(0xFFFFFFFF, 9);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(log.lines(), (Lines{{LOG_ERR, err("connect socket error: ", EACCES)}}));
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    socket_close(fd);
}

TEST(UnixSocket, PathOf120CharactersIsCutTo107OnBothSides) {
    TempDir dir;
    const std::string path = dir.path() + "/" + std::string(119 - dir.path().size(), 'p');
    const std::string cut = path.substr(0, 107);
    LogCapture log;
    const int server = socket_open_unix_server(path.c_str());
    ASSERT_GE(server, 0);
    struct stat st {};
    ASSERT_EQ(stat(cut.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    sockaddr_un sa{};
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    EXPECT_STREQ(sa.sun_path, cut.c_str());
    const int client = socket_open_unix_client(path.c_str());
    ASSERT_GE(client, 0);
    const int accepted = accept(server, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    EXPECT_TRUE(log.lines().empty());
    for (int fd : {accepted, client, server})
        close(fd);
}

TEST(UnixSocket, FailuresNameTheOperationAndLeakNothing) {
    TempDir dir;
    const std::string path = dir.file("gw.sock");
    socket_close(socket_open_unix_server(path.c_str())); // leaves its socket file behind
    LogCapture log;
    const int free_before = lowest_free_fd();
    EXPECT_EQ(socket_open_unix_server(path.c_str()), -1);
    EXPECT_EQ(socket_open_unix_client(dir.file("absent.sock").c_str()), -1);
    EXPECT_EQ(log.lines(),
              (Lines{{LOG_ERR, err("socket_open_unix_server - bind socket error: ", EADDRINUSE)},
                     {LOG_ERR, err("socket_open_unix_client - connect socket error: ", ENOENT)}}));
    EXPECT_EQ(lowest_free_fd(), free_before);
}

TEST(Keepalive, ValuesReadBack) {
    for (const auto& [idle, interval, count] : {std::tuple{30, 5, 4}, std::tuple{600, 60, 9}}) {
        const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        LogCapture log;
        socket_set_keepalive(fd, idle, interval, count);
        EXPECT_TRUE(log.lines().empty());
        auto option = [fd](int level, int name) {
            int value = -1;
            socklen_t len = sizeof value;
            getsockopt(fd, level, name, &value, &len);
            return value;
        };
        EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), idle);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), interval);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), count);
        close(fd);
    }
}

TEST(Keepalive, EachFailureIsLoggedAndTheRestStillTried) {
    // On a UDP socket only the socket-level option is accepted.
    const int udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    for (const auto& [fd, code] : {std::pair{-1, EBADF}, std::pair{udp, ENOPROTOOPT}}) {
        LogCapture log;
        socket_set_keepalive(fd, 30, 5, 4);
        Lines expected;
        if (fd < 0)
            expected.emplace_back(LOG_ERR, err("setsockopt(SO_KEEPALIVE) error: ", code));
        for (const char* text :
             {"setsockopt(TCP_KEEPIDLE) error: ", "setsockopt(TCP_KEEPINVTL) error: ",
              "setsockopt(TCP_KEEPCNT) error: "})
            expected.emplace_back(LOG_ERR, err(text, code));
        EXPECT_EQ(log.lines(), expected) << fd;
    }
    close(udp);
}
