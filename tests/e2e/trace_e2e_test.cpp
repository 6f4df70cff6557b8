// SPDX-License-Identifier: Apache-2.0
// The traffic trace of the running daemon, switched on and off by SIGUSR2 while a client polls;
// SIGUSR1 and SIGUSR2 arriving in the middle of a device exchange change nothing about it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "fixture.h"

namespace {

TEST(Trace, SwitchedBySignalsWhileAClientPolls) {
    KOVEX4_NEEDS_ROOT();
    Daemon d;
    d.sim().with([](DevSim& s) { s.items['i'][1] = 77; });
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening());
    const int fd = connect_local(d.port());
    ASSERT_GE(fd, 0);
    const Bytes request = hex("00 01 00 00 00 06 01 03 04 00 00 01");
    const Bytes answer = hex("00 01 00 00 00 05 01 03 02 00 4D");
    EXPECT_EQ(request_reply(fd, request), answer);

    // On, and the counters: the signals come while the device is still answering, which
    // changes nothing; the main loop acts on them afterwards.
    d.sim().with([](DevSim& s) {
        s.late_ms = 1000;
        s.next_faults = {SimFault::late};
    });
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        kill(d.pid(), SIGUSR2);
        kill(d.pid(), SIGUSR1);
    });
    EXPECT_EQ(request_reply(fd, request), answer);
    signaller.join();
    ASSERT_TRUE(d.wait_log("traffic trace on"));
    ASSERT_TRUE(eventually([&] { return d.count_log("counters: ", true) == 1; }, 4000));
    for (const LogLine& l : d.logs()) {
        if (l.text.rfind("counters: ", 0) == 0) {
            EXPECT_NE(l.text.find(" requests_fc3=2 requests_fc16=0 requests_fc6=0 requests_other=0 "
                                  "exceptions_1=0 exceptions_3=0 exceptions_4=0 "
                                  "device_transactions=2 device_timeouts=0 "),
                      std::string::npos)
                << l.text;
        }
    }
    EXPECT_EQ(d.count_log("trace ", true), 0); // the exchange began before the trace

    EXPECT_EQ(request_reply(fd, request), answer);
    ASSERT_TRUE(d.wait_log("trace 127.0.0.1 modbus answer: 00 01 00 00 00 05 01 03 02 00 4D"));
    std::vector<LogLine> lines = d.logs();
    ASSERT_GE(lines.size(), 4u);
    const std::vector<LogLine> one(lines.end() - 4, lines.end());
    EXPECT_EQ(one[0].text, "trace 127.0.0.1 modbus request: 00 01 00 00 00 06 01 03 04 00 00 01");
    EXPECT_EQ(one[1].text.rfind("trace 127.0.0.1 device request: 02 ", 0), 0u) << one[1].text;
    EXPECT_EQ(one[2].text.rfind("trace 127.0.0.1 device reply: 02 ", 0), 0u) << one[2].text;
    for (const LogLine& line : one)
        EXPECT_EQ(line.priority, LOG_INFO) << line.text;

    // A burst of requests sent at once: four lines each, at most 50 a second; the lines left
    // out are counted, the last count coming before "traffic trace off".
    const int burst = 100;
    const auto t0 = std::chrono::steady_clock::now();
    Bytes all;
    for (int i = 0; i < burst; ++i)
        all.insert(all.end(), request.begin(), request.end());
    ASSERT_EQ(send(fd, all.data(), all.size(), MSG_NOSIGNAL), ssize_t(all.size()));
    for (int i = 0; i < burst; ++i)
        ASSERT_EQ(read_frame(fd), answer) << i;
    kill(d.pid(), SIGUSR2);
    ASSERT_TRUE(d.wait_log("traffic trace off"));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    lines = d.logs();
    int traced = 0, left_out = 0;
    for (const LogLine& line : lines) {
        unsigned n = 0;
        if (sscanf(line.text.c_str(), "trace: %u lines left out", &n) == 1)
            left_out += static_cast<int>(n);
        else if (line.text.rfind("trace ", 0) == 0)
            ++traced;
    }
    EXPECT_EQ(traced + left_out, 4 * (burst + 1));
    const int counts = d.count_log("trace: ", true);
    // The one request before the burst, then at most 50 lines (counts included) a second.
    EXPECT_LE(traced - 4 + counts, 50 * (static_cast<int>(seconds) + 1));
    EXPECT_EQ(lines.back().text, "traffic trace off");

    // Off: no more lines, the same answers.
    EXPECT_EQ(request_reply(fd, request), answer);
    EXPECT_EQ(d.count_log("traffic trace off"), 1);
    close(fd);
    d.stop();
    EXPECT_EQ(d.count_log("trace", true), traced + counts);
}

} // namespace
