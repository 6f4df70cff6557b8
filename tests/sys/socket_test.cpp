// SPDX-License-Identifier: Apache-2.0
// Socket side of the I/O library: TCP on loopback, sending through signals, the resolver.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "sys/com.h"
#include "sys/deadline.h"
#include "sys/log.h"
#include "sys/resolve.h"
#include "sys/sockets.h"

namespace {

constexpr uint32_t LOOPBACK = 0x7F000001;
using Lines = std::vector<std::pair<int, std::string>>;

// The number the next descriptor would get: a leaked descriptor changes it.
int lowest_free_fd() {
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

Lines error(const char* text, int code) {
    return {{LOG_ERR, text + std::string(strerror(code))}};
}

// "ping" sent on `a` arrives on `b`.
void expect_delivered(int a, int b) {
    char got[8] = {};
    ASSERT_EQ(send(a, "ping", 4, MSG_NOSIGNAL), 4);
    EXPECT_EQ(recv(b, got, sizeof got, 0), 4);
    EXPECT_STREQ(got, "ping");
}

} // namespace

// A server on a free port and its client carry data, without a message. (The UDP and Unix-domain
// sockets, which no program uses, are opened once each.)
TEST(Sockets, ServersAndClientsExchangeData) {
    LogCapture log;
    const int tcp = socket_open_tcp_server(0);
    ASSERT_GE(tcp, 0);
    ASSERT_NE(bound_port(tcp), 0);
    const int tcp_client = socket_open_tcp_client(LOOPBACK, bound_port(tcp), 5);
    ASSERT_GE(tcp_client, 0);
    const int tcp_accepted = accept(tcp, nullptr, nullptr);
    expect_delivered(tcp_client, tcp_accepted);

    TempDir dir;
    const int udp = socket_open_udp_server(0);
    const int unix_server = socket_open_unix_server(dir.file("s").c_str());
    const int udp_client = socket_open_udp_client(LOOPBACK, bound_port(udp));
    const int unix_client = socket_open_unix_client(dir.file("s").c_str());
    for (int fd : {udp, unix_server, udp_client, unix_client})
        EXPECT_GE(fd, 0);

    EXPECT_TRUE(log.lines().empty());
    for (int fd : {tcp, tcp_client, tcp_accepted, udp, udp_client, unix_server, unix_client})
        socket_close(fd);
}

TEST(Sockets, TcpPortAbove65535UsesLow16Bits) {
    LogCapture log;
    const int server = socket_open_tcp_server(70000);
    if (server < 0 && log.lines() == error("bind socket error: ", EADDRINUSE))
        GTEST_SKIP() << "port 4464 is taken on this machine";
    ASSERT_GE(server, 0);
    EXPECT_EQ(bound_port(server), 4464);
    socket_close(server);
}

// Each failure logs its message and leaks no descriptor; the UDP client still hands back its
// socket, and socket_close closes it.
TEST(Sockets, FailuresAreLoggedWithoutLeaks) {
    TempDir dir;
    const std::string left_over = dir.file("gw.sock"), absent = dir.file("absent.sock");
    socket_close(socket_open_unix_server(left_over.c_str())); // leaves its socket file behind
    const int tcp = socket_open_tcp_server(0), udp = socket_open_udp_server(0);
    ASSERT_GE(tcp, 0);
    ASSERT_GE(udp, 0);
    const std::tuple<std::function<int()>, bool, Lines> rows[] = {
        {[&] { return socket_open_tcp_server(bound_port(tcp)); }, false,
         error("bind socket error: ", EADDRINUSE)},
        // The UDP server sets no SO_REUSEADDR, so it cannot share a port either.
        {[&] { return socket_open_udp_server(bound_port(udp)); }, false,
         error("bind socket error: ", EADDRINUSE)},
        // No TCP socket listens on the UDP server's port.
        {[&] { return socket_open_tcp_client(LOOPBACK, bound_port(udp), 5); }, false,
         error("connect socket error: ", ECONNREFUSED)},
        {[&] { return socket_open_unix_server(left_over.c_str()); }, false,
         error("socket_open_unix_server - bind socket error: ", EADDRINUSE)},
        {[&] { return socket_open_unix_client(absent.c_str()); }, false,
         error("socket_open_unix_client - connect socket error: ", ENOENT)},
        // Connecting a datagram socket sends nothing; the broadcast address is refused locally
        // because the socket lacks SO_BROADCAST.
        {[] { return socket_open_udp_client(0xFFFFFFFF, 9); }, true,
         error("connect socket error: ", EACCES)},
        // The options of a client socket, on a descriptor that is no socket.
        {[&] { return socket_set_nodelay(udp) + socket_set_send_timeout(-1, 1) - 1; },
         false,
         {{LOG_ERR, std::string("setsockopt(TCP_NODELAY) error: ") + strerror(ENOPROTOOPT)},
          {LOG_ERR, std::string("setsockopt(SO_SNDTIMEO) error: ") + strerror(EBADF)}}},
    };
    for (const auto& [open_socket, opened, lines] : rows) {
        SCOPED_TRACE(lines[0].second);
        const int free_before = lowest_free_fd();
        LogCapture log;
        const int fd = open_socket();
        EXPECT_EQ(fd >= 0, opened);
        EXPECT_EQ(log.lines(), lines);
        if (fd >= 0)
            socket_close(fd);
        EXPECT_EQ(lowest_free_fd(), free_before);
    }
    LogCapture log;
    socket_close(tcp);
    socket_close(tcp);
    EXPECT_EQ(log.lines(), error("close socket error: ", EBADF));
    socket_close(udp);
}

// Everything arrives in order through partial sends and a signal every 50 ms while the reader
// takes its time. With nobody reading, each send would wait for the socket's send time limit
// (5 s) but is cut short by the signals; the deadline (1 s) ends the retries with EAGAIN.
TEST(Sockets, SendAllResumesAfterSignalsUntilItsDeadline) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(socket_set_send_timeout(pair[0], 5), 1);
    Bytes data(4 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    Bytes got(data.size());
    std::thread reader([&] {
        for (size_t n = 0; n < got.size();
             std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            n += static_cast<size_t>(std::max<ssize_t>(0, read(pair[1], &got[n], got.size() - n)));
    });
    SignalStorm storm;
    EXPECT_EQ(socket_send_all(pair[0], data.data(), data.size(), wait_clock_us() + 60000000), 1);
    reader.join();
    EXPECT_TRUE(got == data);
    const int64_t t0 = now_ns();
    const int result =
        socket_send_all(pair[0], data.data(), data.size(), wait_clock_us() + 1000000);
    const int error = errno;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, EAGAIN);
    EXPECT_GE(seconds_since(t0), 1.0);
    EXPECT_LT(seconds_since(t0), 4.0);
    close(pair[0]);
    close(pair[1]);
}

// A read or a receive that signals cut short goes on waiting: it returns what comes after three
// of them.
TEST(Sockets, ReadAndReceiveResumeAfterSignals) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    for (const bool receive : {false, true}) {
        SignalStorm storm;
        const unsigned before = SignalStorm::handled();
        std::thread writer([&] {
            while (SignalStorm::handled() < before + 3)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_EQ(write(pair[1], "x", 1), 1);
        });
        char byte = 0;
        const ssize_t n = receive ? socket_recv(pair[0], &byte, 1) : com_read(pair[0], &byte, 1);
        writer.join();
        EXPECT_EQ(n, 1) << (receive ? "socket_recv" : "com_read");
        EXPECT_EQ(byte, 'x');
    }
    close(pair[0]);
    close(pair[1]);
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

// The lookup beside a select loop: a dotted address (in any form the system's resolver takes)
// needs none, a name from /etc/hosts is found through the loop's own waits, and a name that cannot
// be put into a query fails with the resolver's line, without a packet.
TEST(ResolveLookup, AddressesNamesAndFailures) {
    const std::string long_label = "no-such-host-" + std::string(64, 'x') + ".invalid";
    const struct {
        std::string name;
        uint32_t address; // 0: not resolved
    } rows[] = {
        {"10.0.0.1", 0x0A000001}, {"127.1", 0x7F000001}, {"localhost", 0x7F000001},
        {"unknown..host", 0},     {long_label, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        ResolveLookup lookup;
        int status = resolve_start(lookup, row.name.c_str());
        for (int turn = 0; turn < 1000 && status == 0; ++turn) {
            fd_set readable, writable;
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            int max_fd = -1;
            for (const ResolveSocket& s : lookup.sockets) {
                if (s.read)
                    FD_SET(s.fd, &readable);
                if (s.write)
                    FD_SET(s.fd, &writable);
                max_fd = std::max(max_fd, s.fd);
            }
            const int64_t now = wait_clock_us();
            wait_select(max_fd + 1, readable, std::min(resolve_wake_us(lookup, now), now + 1000000),
                        &writable);
            status = resolve_continue(lookup, readable, writable);
        }
        EXPECT_EQ(status, row.address != 0 ? 1 : -1);
        EXPECT_EQ(lookup.address, row.address);
        EXPECT_EQ(lookup.channel, nullptr);
        EXPECT_EQ(log.count(LOG_ERR, "error resolving hostname " + row.name),
                  row.address == 0 ? 1 : 0);
    }
}
