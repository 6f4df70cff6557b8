// SPDX-License-Identifier: Apache-2.0
// The running daemon's counters: SIGUSR1 makes the main loop log them in one line, and a signal
// arriving in the middle of a device exchange changes nothing about the exchange.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "harness.h"

namespace {

TEST(Counters, SignalDuringADeviceExchangeIsLoggedAndChangesNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for private mount namespaces";
    Daemon d;
    d.sim().with([](DevSim& s) { s.items['i'][1] = 77; });
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening());
    d.sim().with([](DevSim& s) {
        s.late_ms = 1000; // answers after a second
        s.next_faults = {SimFault::late};
    });
    const int fd = connect_local(d.port());
    ASSERT_GE(fd, 0);
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        kill(d.pid(), SIGUSR1);
    });
    const auto t0 = std::chrono::steady_clock::now();
    const Bytes answer = request_reply(fd, {0, 1, 0, 0, 0, 6, 1, 3, 0x04, 0x00, 0, 1});
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    signaller.join();
    close(fd);
    EXPECT_EQ(answer, (Bytes{0, 1, 0, 0, 0, 5, 1, 3, 2, 0, 77}));
    EXPECT_GE(took, 0.95);

    std::string line;
    EXPECT_TRUE(eventually(
        [&] {
            for (const LogLine& l : d.logs())
                if (l.text.rfind("counters: ", 0) == 0)
                    line = l.text;
            return !line.empty();
        },
        4000));
    EXPECT_NE(line.find(" requests_fc3=1 "), std::string::npos) << line;
    EXPECT_NE(line.find(" device_transactions=1 device_timeouts=0 "), std::string::npos) << line;
    EXPECT_NE(line.find(" exceptions_4=0 "), std::string::npos) << line;
    EXPECT_EQ(d.wait_exit(0), -1); // SIGUSR1 does not end the daemon
}

} // namespace
