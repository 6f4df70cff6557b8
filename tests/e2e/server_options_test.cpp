// SPDX-License-Identifier: Apache-2.0
// The opt-in server settings through the real daemon and third-party clients: function 6 from
// mbpoll, a listen address, several clients at once (one of them reading all along beside four
// that stop reading) and the register cache. (The allow list: ServiceLoop.AllowList, whose
// settings come from the file as every key's do: SettingsKeys.)
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"

namespace {

class ServerOptions : public DaemonFixture {
protected:
    void start_serving(const std::string& extra) {
        ASSERT_TRUE(d.start(d.settings(extra)));
        ASSERT_TRUE(d.wait_listening());
    }
};

TEST_F(ServerOptions, WriteSingleRegisterFromMbpoll) {
    start_serving("MOD_KOVEX4_WRITE_SINGLE=1\n");
    // mbpoll sends function 6 for one value; it counts registers from 1.
    const std::string out = run_command("/usr/bin/mbpoll -m tcp -p " + std::to_string(d.port()) +
                                        " -a 1 -r 1025 -t 4 -1 127.0.0.1 4321 2>&1");
    EXPECT_NE(out.find("Written 1 references"), std::string::npos) << out;
    EXPECT_EQ(item(1), 4321);
}

TEST_F(ServerOptions, ListenAddressOnly) {
    ASSERT_TRUE(d.start(d.settings("MOD_KOVEX4_LISTEN=127.0.0.2\n")));
    ASSERT_TRUE(d.wait_log("started"));
    int fd = -1;
    ASSERT_TRUE(eventually([&] { return (fd = connect_local(d.port(), "127.0.0.2")) >= 0; }, 5000));
    const Bytes answer = request_reply(fd, read_request(1, 0x0400, 1));
    close(fd);
    EXPECT_EQ(answer, (Bytes{0, 1, 0, 0, 0, 5, 1, 3, 2, 0, 11}));
    EXPECT_LT(connect_local(d.port()), 0);
}

// Five clients at once (with one client allowed, the default, the newest throws the others out:
// tests/service). Four that keep sending reads and never read the answers hold nobody up: the
// fifth, polling every 0.1 s, is answered all along, and each of the four is dropped and logged
// once its answers have gone unread for 10 s.
TEST_F(ServerOptions, ClientsThatDoNotReadHoldNobodyUp) {
    start_serving("MOD_KOVEX4_CLIENTS=5\n");
    std::atomic<bool> stop{false};
    std::vector<std::thread> stalled;
    for (int i = 0; i < 4; ++i)
        stalled.emplace_back([&] {
            const int fd = connect_local(d.port());
            const timeval limit{0, 200000}; // so that `stop` is seen while the socket is full
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            const Bytes read = read_request(1, 0x3000, 125);
            while (!stop &&
                   (send(fd, read.data(), read.size(), MSG_NOSIGNAL) > 0 || errno == EAGAIN)) {
            }
            close(fd);
        });
    const std::string dropped = "client 127.0.0.1 dropped: no answer read for 10 seconds";
    const int fd = connect_local(d.port());
    const Bytes answer = {0, 1, 0, 0, 0, 7, 1, 3, 4, 0, 11, 0, 22};
    int answered = 0, before_drop = 0;
    double worst = 0;
    const int64_t t0 = now_ns();
    while (d.count_log(dropped) < 4 && seconds_since(t0) < 30) {
        const int64_t t = now_ns();
        if (request_reply(fd, read_request(1, 0x0400, 2), 30000) != answer)
            break;
        worst = std::max(worst, seconds_since(t));
        ++answered;
        before_drop += d.count_log(dropped) == 0 ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("a client polling every 0.1 s beside 4 that do not read: %d answers in %.1f s, "
                "worst wait %.3f s\n",
                answered, seconds_since(t0), worst);
    stop = true;
    for (std::thread& t : stalled)
        t.join();
    close(fd);
    EXPECT_EQ(d.count_log(dropped), 4);
    // The loop was never held: the client was answered about ten times a second until the first
    // drop, 10 s after the four stopped reading.
    EXPECT_GT(before_drop, 30);
}

} // namespace

// MOD_KOVEX4_CACHE_MS through the real daemon: the simulator's request log shows which reads of
// two clients (mbpoll and a plain socket) reached the line. The hour-long maximum age never runs
// out during the test. (The hits and misses counted:
// ServiceLoop.CacheAnswersRepeatedReadsFromMemory; in the counters line: ServiceLoop.CountersLine.)
TEST_F(ServerOptions, CacheKeepsRepeatedPollsOffTheLine) {
    start_serving("MOD_KOVEX4_CLIENTS=2\nMOD_KOVEX4_CACHE_MS=3600000\n");
    const auto line_log = [&] {
        return d.sim().with([](DevSim& s) {
            std::vector<uint8_t> commands;
            for (const SimRequest& r : s.requests)
                commands.push_back(r.command);
            return commands;
        });
    };
    const std::string poll = "/usr/bin/mbpoll -m tcp -p " + std::to_string(d.port()) +
                             " -a 1 -r 1025 -c 3 -t 4:hex -1 127.0.0.1 2>&1";
    const std::string first = run_command(poll);
    EXPECT_NE(first.find("[1025]: \t0x000B"), std::string::npos) << first;
    EXPECT_EQ(line_log(), Bytes{0x00}); // one item read
    const int fd = connect_local(d.port());
    ASSERT_GE(fd, 0);
    const Bytes kept = {0, 1, 0, 0, 0, 9, 1, 3, 6, 0, 11, 0, 22, 0, 0};
    const struct {
        const char* what;
        Bytes request, answer, line;
    } rows[] = {
        {"the other client, from memory", read_request(1, 0x0400, 3), kept, {0x00}},
        {"the device changed: still from memory", read_request(1, 0x0400, 3), kept, {0x00}},
        {"a write goes to the device",
         write_request(2, 0x0402, {5}),
         {0, 2, 0, 0, 0, 6, 1, 16, 4, 2, 0, 1},
         {0x00, 0x01}},
        {"so does the next read of it",
         read_request(3, 0x0400, 3),
         {0, 3, 0, 0, 0, 9, 1, 3, 6, 0, 99, 0, 22, 0, 5},
         {0x00, 0x01, 0x00}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        d.sim().with([](DevSim& s) { s.items['i'][1] = 99; });
        EXPECT_EQ(request_reply(fd, row.request), row.answer);
        EXPECT_EQ(line_log(), row.line);
    }
    close(fd);
    const std::string again = run_command(poll);
    EXPECT_NE(again.find("[1025]: \t0x0063"), std::string::npos) << again;
    EXPECT_EQ(line_log().size(), 3u);
}
