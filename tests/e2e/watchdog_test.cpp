// SPDX-License-Identifier: Apache-2.0
// The daemon under a service manager: the test owns the datagram socket named in NOTIFY_SOCKET
// and reads what the daemon tells it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fixture.h"

namespace {

TEST(Watchdog, ReadyOnceThenWatchdogAboutOnceASecond) {
    KOVEX4_NEEDS_ROOT();
    Daemon d;
    NotifyListener manager(d.dir().file("notify.sock"));
    d.add_env("NOTIFY_SOCKET=" + d.dir().file("notify.sock"));
    const int64_t t0 = now_ns();
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening());
    // Idle, the loop turns once a second: three messages come within a generous window.
    ASSERT_TRUE(eventually([&] { return manager.count("WATCHDOG=1") >= 3; }, 15000));
    const std::vector<std::string> got = manager.messages();
    // Everything in `got` was sent between t0 and now.
    const double seconds = seconds_since(t0);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "READY=1");
    const auto watchdogs = std::count(got.begin(), got.end(), "WATCHDOG=1");
    EXPECT_EQ(std::count(got.begin(), got.end(), "READY=1"), 1);
    EXPECT_EQ(watchdogs + 1, static_cast<long>(got.size())) << "other messages";
    // Never more often than once a second (on the daemon's clock) within this window.
    EXPECT_LE(watchdogs, static_cast<long>(seconds) + 1);
}

TEST(Watchdog, EachAnsweredRequestIsProgress) {
    KOVEX4_NEEDS_ROOT();
    Daemon d;
    NotifyListener manager(d.dir().file("notify.sock"));
    d.add_env("NOTIFY_SOCKET=" + d.dir().file("notify.sock"));
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening());
    // Three requests in one segment, each answered by the device after 1.5 s: one loop turn of
    // 4.5 s, in which each answer is followed by a message (1.5 s apart, more than the least
    // interval).
    d.sim().with([](DevSim& s) {
        s.late_ms = 1500;
        s.next_faults = {SimFault::late, SimFault::late, SimFault::late};
    });
    const int fd = connect_local(d.port());
    ASSERT_GE(fd, 0);
    const Bytes requests = read_requests(3, 0x0400, 1);
    const int before = manager.count("WATCHDOG=1");
    ASSERT_EQ(send(fd, requests.data(), requests.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(requests.size()));
    for (int k = 0; k < 3; ++k)
        EXPECT_FALSE(read_frame(fd).empty()) << "answer " << k + 1;
    close(fd);
    // The messages after the first two answers were sent before the third answer. (A message
    // per loop turn would give at most one: the turn before the requests, if it ended just after
    // `before` was counted.)
    EXPECT_GE(manager.count("WATCHDOG=1") - before, 2);
}

} // namespace
