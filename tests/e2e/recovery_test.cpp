// SPDX-License-Identifier: Apache-2.0
// Faults of the field that the real daemon recovers from on its own: a serial device that goes
// away and comes back, and a push target that drops connection attempts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "fixture.h"

namespace {

const Bytes READ_I1 = read_request(1, 0x0400, 1); // 'i' item 1

class Recovery : public ::testing::Test {
protected:
    void SetUp() override { KOVEX4_NEEDS_ROOT(); }
};

// The value of register 0x0400 through a new connection to the daemon, -1 for no answer, or the
// exception code negated minus 100.
int read_i1(Daemon& d) {
    const int fd = connect_local(d.port());
    const Bytes answer = fd < 0 ? Bytes{} : request_reply(fd, READ_I1, 10000);
    if (fd >= 0)
        close(fd);
    if (answer.size() == 9)
        return -100 - answer[8];
    return answer.size() == 11 ? answer[9] << 8 | answer[10] : -1;
}

// The device is a link in the daemon's /dev to a pseudo-terminal. Unplugged, requests that need it
// fail at once with exception 4; plugged in again under the same name (a new pseudo-terminal with
// another simulated device behind it), it is served again without a restart.
TEST_F(Recovery, LostSerialDeviceIsReopened) {
    Daemon d;
    d.sim().with([](DevSim& s) { s.items['i'][1] = 111; });
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening());
    EXPECT_EQ(read_i1(d), 111);

    d.close_device();
    const int64_t t0 = now_ns();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_i1(d), -104);
    // A silent line would cost 3 s per request; a line known to be gone costs nothing.
    EXPECT_LT(seconds_since(t0), 6.0);
    EXPECT_TRUE(d.wait_log("device /dev/ttyGW0 lost: end of file"));

    SimPty pty;
    ASSERT_TRUE(sim_open_pty(pty));
    {
        DevSimServer sim(pty.master);
        sim.with([](DevSim& s) { s.items['i'][1] = 222; });
        const std::string link = d.inside("/dev/ttyGW0");
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink(pty.slave_path.c_str(), link.c_str()), 0);
        EXPECT_TRUE(eventually([&] { return read_i1(d) == 222; }, 20000));
        EXPECT_TRUE(d.wait_log("device /dev/ttyGW0 reopened"));
        EXPECT_EQ(d.count_log("device /dev/ttyGW0 lost: end of file"), 1);
        EXPECT_EQ(d.wait_exit(0), -1); // still the same process
    }
    sim_close_pty(pty);
}

// A connected socket to 127.0.0.1:port inside the network namespace of process `pid`.
int connect_in_namespace(pid_t pid, unsigned port) {
    int fd = -1;
    std::thread inside([&] {
        const int ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0)
            fd = connect_local(port); // a thread of its own: only it enters the namespace
        if (ns >= 0)
            close(ns);
    });
    inside.join();
    return fd;
}

// The push target's address drops connection attempts without an answer (a route into the
// loopback device of the daemon's own network namespace). The attempt is given up after a few
// seconds, as a refused one is, and a client polling the gateway all along keeps being served.
TEST_F(Recovery, UnreachablePushTargetDoesNotSilenceTheServer) {
    Daemon d({"/usr/bin/unshare", "-n", "/bin/sh", "-c",
              "/bin/ip link set lo up && /bin/ip route add 10.9.9.2/32 dev lo && exec \"$0\""});
    d.sim().with([](DevSim& s) { s.items['i'][1] = 7; });
    ASSERT_TRUE(d.start(d.settings("MOD_KOVEX4_IPADDR=10.9.9.2\nMOD_KOVEX4_DATA_PERIOD=600\n"
                                   "MOD_KOVEX4_START1=1025\nMOD_KOVEX4_COUNT1=1\n")));
    ASSERT_TRUE(d.wait_log("started"));
    int fd = -1;
    ASSERT_TRUE(
        eventually([&] { return (fd = connect_in_namespace(d.pid(), d.port())) >= 0; }, 5000));

    // The first push comes a minute after the start; poll across it.
    double longest = 0;
    const int64_t t0 = now_ns();
    while (seconds_since(t0) < 90 &&
           d.count_log("connect socket error: Connection timed out") == 0) {
        const int64_t asked = now_ns();
        const Bytes answer = request_reply(fd, READ_I1, 30000);
        ASSERT_EQ(answer.size(), 11u);
        EXPECT_EQ(answer[10], 7);
        longest = std::max(longest, seconds_since(asked));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    close(fd);
    EXPECT_TRUE(d.wait_log("connect socket error: Connection timed out", 1000));
    EXPECT_EQ(d.count_log("TCP connection to 10.9.9.2 established"), 0);
    // The attempt costs its 5 s bound; the system's own attempt would take about two minutes.
    std::printf("longest wait for an answer across the push cycle: %.1f s\n", longest);
    EXPECT_LT(longest, 20.0);
}

} // namespace
