// The real daemon against the simulated field device, with raw sockets and third-party clients.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string peer(unsigned port, const std::string& args) {
    return run_command("/usr/bin/python3 " KOVEX4_PEER " client " + std::to_string(port) + " " +
                       args + " 2>&1");
}

// Function 3 request for `count` registers from `start`, transaction id `tid`.
Bytes read_request(uint16_t tid, uint16_t start, uint16_t count) {
    return {
        uint8_t(tid >> 8),   uint8_t(tid),  0, 0, 0, 6, 1, 3, uint8_t(start >> 8), uint8_t(start),
        uint8_t(count >> 8), uint8_t(count)};
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for private mount namespaces";
    }
    void start_serving(const std::string& extra = "") {
        ASSERT_TRUE(d.start(d.settings(extra)));
        ASSERT_TRUE(d.wait_log("started"));
        ASSERT_TRUE(d.wait_listening()) << "daemon exit status " << d.wait_exit(0);
    }
    Daemon d;
};

TEST_F(DaemonTest, ServesReadsAndWritesToThirdPartyClients) {
    d.sim().with([](DevSim& s) {
        s.items['a'][1] = 300;
        s.items['a'][2] = 5;
        s.items['i'][1] = 0xBEEF;
        s.items['H'][3] = 200;
    });
    start_serving();

    // The lock file names the daemon's process id, right-aligned in ten characters.
    char expected_lock[16];
    snprintf(expected_lock, sizeof expected_lock, "%10d\n", d.pid());
    EXPECT_EQ(read_file(d.lock_dir() + "/LCK..ttyGW0"), expected_lock);

    EXPECT_EQ(peer(d.port(), "read 16 2"), "values 300 5\n");
    EXPECT_EQ(peer(d.port(), "read 1024 1"), "values 48879\n");
    EXPECT_EQ(peer(d.port(), "read 514 1"), "values 200\n");
    EXPECT_EQ(peer(d.port(), "write 1025 4660 22136"), "ok\n");
    d.sim().with([](DevSim& s) {
        EXPECT_EQ(s.items['i'][2], 0x1234);
        EXPECT_EQ(s.items['i'][3], 0x5678);
    });

    // mbpoll, PDU addressing: reads what pymodbus wrote.
    const std::string out = run_command("mbpoll -m tcp -0 -1 -r 1025 -c 2 -t 4 -p " +
                                        std::to_string(d.port()) + " 127.0.0.1 2>&1");
    EXPECT_NE(out.find("[1025]: \t4660"), std::string::npos) << out;
    EXPECT_NE(out.find("[1026]: \t22136"), std::string::npos) << out;
    const std::string wrote = run_command("mbpoll -m tcp -0 -1 -r 1027 -t 4 -p " +
                                          std::to_string(d.port()) + " 127.0.0.1 7 8 2>&1");
    d.sim().with([](DevSim& s) {
        EXPECT_EQ(s.items['i'][4], 7);
        EXPECT_EQ(s.items['i'][5], 8);
    });
    EXPECT_NE(wrote.find("Written 2 references"), std::string::npos) << wrote;
}

TEST_F(DaemonTest, NewClientReplacesTheCurrentOne) {
    start_serving();
    const int first = connect_local(d.port());
    ASSERT_GE(first, 0);
    ASSERT_EQ(request_reply(first, read_request(1, 16, 1)).size(), 11u);
    const int closed_before = d.count_log("TCP connection closed");

    const int second = connect_local(d.port());
    ASSERT_GE(second, 0);
    const Bytes answer = request_reply(second, read_request(2, 16, 1));
    ASSERT_EQ(answer.size(), 11u);
    EXPECT_EQ(answer[1], 2);
    EXPECT_EQ(d.count_log("TCP connection closed"), closed_before + 1);
    EXPECT_EQ(d.count_log("TCP connection from 127.0.0.1 established"), 3); // probe + two
    // The replaced client sees the end of its stream.
    uint8_t byte;
    EXPECT_EQ(recv(first, &byte, 1, 0), 0);
    close(first);
    close(second);
}

TEST_F(DaemonTest, FramesAreReassembledAcrossAndWithinSegments) {
    d.sim().with([](DevSim& s) { s.items['a'][1] = 77; });
    start_serving();
    const int fd = connect_local(d.port());
    ASSERT_GE(fd, 0);

    // Two requests in one segment: two answers, in order.
    Bytes two = read_request(10, 16, 1);
    const Bytes other = read_request(11, 17, 1);
    two.insert(two.end(), other.begin(), other.end());
    ASSERT_EQ(send(fd, two.data(), two.size(), 0), static_cast<ssize_t>(two.size()));
    const Bytes a = read_frame(fd);
    const Bytes b = read_frame(fd);
    ASSERT_EQ(a.size(), 11u);
    ASSERT_EQ(b.size(), 11u);
    EXPECT_EQ(a[1], 10);
    EXPECT_EQ(a[10], 77);
    EXPECT_EQ(b[1], 11);

    // A request split over two segments is answered after the second.
    const Bytes split = read_request(12, 16, 1);
    ASSERT_EQ(send(fd, split.data(), 5, 0), 5);
    usleep(300000);
    ASSERT_EQ(send(fd, split.data() + 5, split.size() - 5, 0), 7);
    const Bytes c = read_frame(fd);
    ASSERT_EQ(c.size(), 11u);
    EXPECT_EQ(c[1], 12);

    // A header of length 0 is dropped without an answer; the next request is served.
    Bytes empty = {0, 13, 0, 0, 0, 0};
    const Bytes next = read_request(14, 16, 1);
    empty.insert(empty.end(), next.begin(), next.end());
    ASSERT_EQ(send(fd, empty.data(), empty.size(), 0), static_cast<ssize_t>(empty.size()));
    const Bytes e = read_frame(fd);
    ASSERT_EQ(e.size(), 11u);
    EXPECT_EQ(e[1], 14);
    close(fd);
}

TEST_F(DaemonTest, SilentDeviceGivesExceptionFourAndALogLine) {
    start_serving();
    d.sim().with([](DevSim& s) { s.next_faults.push_back(SimFault::silent); });
    const int fd = connect_local(d.port());
    const Bytes answer = request_reply(fd, read_request(7, 0x0400, 2));
    const Bytes expected = {0, 7, 0, 0, 0, 3, 1, 0x83, 4};
    EXPECT_EQ(answer, expected);
    EXPECT_TRUE(d.wait_log("read failed (RN 1025, WC 2)"));
    close(fd);
}

TEST_F(DaemonTest, ClientThatStopsReadingIsDroppedAndOthersAreServed) {
    start_serving();
    const int hog = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(hog, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(d.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(hog, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(d.wait_log("TCP connection from 127.0.0.1 established"));
    const int closed_before = d.count_log("TCP connection closed");

    // Reads of 125 unmapped registers need no device and fill the hog's socket fast; it never
    // reads its answers. The sender stops once the gateway has dropped the connection.
    std::thread flood([hog] {
        const Bytes request = read_request(1, 0x3000, 125);
        Bytes burst;
        for (int i = 0; i < 64; ++i)
            burst.insert(burst.end(), request.begin(), request.end());
        for (int i = 0; i < 4000; ++i)
            if (send(hog, burst.data(), burst.size(), MSG_NOSIGNAL) <= 0)
                return;
    });
    EXPECT_TRUE(d.wait_log_count("TCP connection closed", closed_before + 1, 60000));
    shutdown(hog, SHUT_RDWR);
    flood.join();
    close(hog);

    // The gateway is free again.
    const int fd = connect_local(d.port());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(request_reply(fd, read_request(2, 16, 1)).size(), 11u);
    close(fd);
}

TEST_F(DaemonTest, LiveLockEndsStartWithStatusOne) {
    // Our own process holds the lock.
    char content[16];
    snprintf(content, sizeof content, "%10d\n", getpid());
    write_file(d.lock_dir() + "/LCK..ttyGW0", content);
    ASSERT_TRUE(d.start(d.settings()));
    EXPECT_EQ(d.wait_exit(5000), 1);
    EXPECT_EQ(d.count_log("device /dev/ttyGW0 is locked"), 1);
}

TEST_F(DaemonTest, UnopenableDeviceEndsStartWithStatusOne) {
    ASSERT_TRUE(d.start("MOD_KOVEX4_DEVICE=ttyNONE\nMOD_KOVEX4_PORT=" + std::to_string(d.port())));
    EXPECT_EQ(d.wait_exit(5000), 1);
    EXPECT_EQ(d.count_log("open(/dev/ttyNONE) error: No such file or directory"), 1);
}

TEST_F(DaemonTest, LongDeviceNamesAreUsedWhole) {
    const std::string name = "serial/by-id/usb-field-device-if00-port0";
    d.sim().with([](DevSim& s) { s.items['a'][1] = 4242; });
    ASSERT_TRUE(d.start("MOD_KOVEX4_DEVICE=" + name + "\nMOD_KOVEX4_PORT=" +
                            std::to_string(d.port()) + "\nMOD_KOVEX4_STATION=1\n",
                        name));
    ASSERT_TRUE(d.wait_listening()) << "exit status " << d.wait_exit(0);
    EXPECT_EQ(peer(d.port(), "read 16 1"), "values 4242\n");
    EXPECT_FALSE(read_file(d.lock_dir() + "/LCK..usb-field-device-if00-port0").empty());
}

TEST_F(DaemonTest, SettingsFileQuirksAsSeenThroughBehaviour) {
    // CR LF line ends, a lower-case key, a quoted value and a repeated key (the first one wins).
    const std::string text = "mod_kovex4_device=\"ttyGW0\"\r\n"
                             "MOD_KOVEX4_PORT=" +
                             std::to_string(d.port()) +
                             "\r\n"
                             "MOD_KOVEX4_PORT=1\r\n"
                             "Mod_Kovex4_Station=7\r\n"
                             "MOD_KOVEX4_STATION=9\r\n";
    ASSERT_TRUE(d.start(text));
    ASSERT_TRUE(d.wait_listening()) << "exit status " << d.wait_exit(0);
    EXPECT_EQ(peer(d.port(), "read 16 1"), "values 0\n");
    d.sim().with([](DevSim& s) {
        ASSERT_FALSE(s.requests.empty());
        EXPECT_EQ(s.requests.back().station, 7);
    });
}

} // namespace
