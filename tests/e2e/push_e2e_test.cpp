// SPDX-License-Identifier: Apache-2.0
// Pushes from the real daemon to real receivers. The daemon listens on and pushes to the same
// port, so the receiver takes the port first and the daemon runs without its own server. The
// first push comes one minute after start-up, so the test waits for it once.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "fixture.h"
#include "sys/sockets.h"

namespace {

constexpr int FIRST_PUSH_MS = 75000;

class PushEndToEnd : public DaemonFixture {
protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        d.sim().with([](DevSim& s) {
            s.items['i'][1] = 300;
            s.items['i'][2] = 5;
            s.items['a'][1] = 17;
            s.items['i'][5] = 1; // slot 2's alarm register, 1029 (1-based)
        });
    }
    void TearDown() override { end_process(receiver); }

    // Slot 1: registers 1025-1026 every data period. Slot 2: register 17, alarm register 1029.
    std::string push_settings() const {
        return d.settings("MOD_KOVEX4_IPADDR=127.0.0.1\nMOD_KOVEX4_DATA_PERIOD=3600\n"
                          "MOD_KOVEX4_ALARM_PERIOD=1\nMOD_KOVEX4_START1=1025\n"
                          "MOD_KOVEX4_COUNT1=2\nMOD_KOVEX4_START2=17\nMOD_KOVEX4_COUNT2=1\n"
                          "MOD_KOVEX4_ALARM2=1029\n");
    }
    uint16_t alarm() { return item(5); }

    pid_t receiver = -1;
};

TEST_F(PushEndToEnd, SlotsReachThePushReceiverAndAlarmsAreCleared) {
    const std::string out = d.dir().file("pushrecv.out"), port = std::to_string(d.port());
    receiver = spawn_to_file({KOVEX4_PUSHRECV, "--port", port}, out);
    ASSERT_TRUE(wait_file_contains(out, "listening", 5000)) << read_file(out);
    ASSERT_TRUE(d.start(push_settings()));
    ASSERT_TRUE(d.wait_log("bind socket error: Address already in use"));

    ASSERT_TRUE(
        wait_file_contains(out, "slot unit=1 tid=0 start=16 count=1 values=17", FIRST_PUSH_MS))
        << read_file(out);
    EXPECT_NE(read_file(out).find("slot unit=1 tid=0 start=1024 count=2 values=300,5\n"),
              std::string::npos);
    EXPECT_TRUE(d.wait_log("TCP connection to 127.0.0.1 established"));
    // The acknowledged alarm is cleared on the device.
    EXPECT_TRUE(eventually([&] { return alarm() == 0; }, 5000));

    // A new alarm sends slot 2 alone at the next alarm period, and is cleared again.
    d.sim().with([](DevSim& s) {
        s.items['a'][1] = 18;
        s.items['i'][5] = 2;
    });
    ASSERT_TRUE(wait_file_contains(out, "start=16 count=1 values=18", 5000)) << read_file(out);
    EXPECT_TRUE(eventually([&] { return alarm() == 0; }, 5000));
    // The data slot went out once: alarm periods carry only the alarmed slot.
    const std::string text = read_file(out);
    EXPECT_EQ(text.find("start=1024"), text.rfind("start=1024"));

    // A receiver that answers with an exception leaves the alarm set.
    end_process(receiver);
    receiver = spawn_to_file({KOVEX4_PUSHRECV, "--port", port, "--answer", "exception"}, out);
    ASSERT_TRUE(wait_file_contains(out, "listening", 5000));
    const int cycles = d.count_log("TCP connection closed");
    d.sim().with([](DevSim& s) { s.items['i'][5] = 3; });
    ASSERT_TRUE(wait_file_contains(out, "start=16 count=1", 5000)) << read_file(out);
    ASSERT_TRUE(d.wait_log_count("TCP connection closed", cycles + 1, 5000));
    EXPECT_EQ(alarm(), 3);

    // The alarm stays set until a third-party server acknowledges the slot.
    end_process(receiver);
    const std::string server = d.dir().file("server.out");
    receiver = spawn_to_file({"/usr/bin/python3", KOVEX4_PEER, "server", port}, server);
    ASSERT_TRUE(wait_file_contains(server, "write 16 18", 15000)) << read_file(server);
    EXPECT_TRUE(eventually([&] { return alarm() == 0; }, 5000));
}

// A receiver of the test's own on 127.0.0.1 that holds back each push's answer until a master
// has been answered meanwhile: at first sending nothing, then (`stream`) empty headers a chunk at
// a time, until the gateway has also told the service manager twice that it is alive.
class HoldingReceiver {
public:
    HoldingReceiver(unsigned port, NotifyListener& manager)
        : listen_fd_(socket_open_tcp_server(port, 0x7F000001)), manager_(manager) {
        thread_ = std::thread([this] { run(); });
    }
    ~HoldingReceiver() {
        stop_ = true;
        thread_.join();
        close(listen_fd_);
    }
    std::atomic<bool> stream{false};
    std::atomic<bool> request_in{false};      // a push request arrived, its answer held back
    std::atomic<bool> master_answered{false}; // set by the test
    std::atomic<int> watchdogs_meanwhile{0};
    std::atomic<bool> answered_open{false}; // the held answer went to a connection still open

private:
    void run() {
        while (!stop_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const int conn = accept(listen_fd_, nullptr, nullptr);
            uint8_t request[512];
            if (recv(conn, request, sizeof request, 0) >= 12) {
                request_in = true;
                hold(conn);
                // The acknowledgement: the request's header and first 6 bytes of its PDU.
                request[4] = 0;
                request[5] = 6;
                answered_open = still_open(conn) && send(conn, request, 12, MSG_NOSIGNAL) == 12;
            }
            drain(conn, 20000);
            close(conn);
            request_in = false;
        }
    }
    static bool still_open(int conn) {
        uint8_t byte;
        return recv(conn, &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
    }
    void hold(int conn) {
        const int before = manager_.count("WATCHDOG=1");
        const Bytes chunk(6 * 10000, 0);
        size_t streamed = 0;
        for (const int64_t end = now_ns() + 30000000000; now_ns() < end && !stop_;) {
            if (stream) {
                watchdogs_meanwhile = manager_.count("WATCHDOG=1") - before;
                if (master_answered && watchdogs_meanwhile >= 2)
                    break;
                const ssize_t n =
                    send(conn, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                streamed += n > 0 ? static_cast<size_t>(n) : 0;
            } else if (master_answered) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // The stream ends on a header's end, so that the answer after it is read as one.
        const Bytes rest((6 - streamed % 6) % 6, 0);
        send(conn, rest.data(), rest.size(), MSG_NOSIGNAL);
    }
    const int listen_fd_;
    NotifyListener& manager_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// While a push waits for its answer, from a receiver that sends nothing and from one that streams
// bytes that make no answer, masters are answered (before the push's answer is sent) and the
// service manager keeps hearing from the gateway; the late answer still clears the alarm.
TEST_F(PushEndToEnd, MastersAreServedWhileThePushWaits) {
    NotifyListener manager(d.dir().file("notify.sock"));
    d.add_env("NOTIFY_SOCKET=" + d.dir().file("notify.sock"));
    HoldingReceiver receiver(d.port(), manager);
    d.sim().with([](DevSim& s) { s.items['i'][5] = 1; });
    ASSERT_TRUE(d.start(d.settings("MOD_KOVEX4_LISTEN=127.0.0.2\nMOD_KOVEX4_IPADDR=127.0.0.1\n"
                                   "MOD_KOVEX4_ALARM_PERIOD=1\nMOD_KOVEX4_START1=1025\n"
                                   "MOD_KOVEX4_COUNT1=2\nMOD_KOVEX4_ALARM1=1029\n")));
    for (const bool stream : {false, true}) {
        SCOPED_TRACE(stream ? "streaming receiver" : "silent receiver");
        receiver.stream = stream;
        receiver.master_answered = false;
        ASSERT_TRUE(eventually([&] { return receiver.request_in.load(); }, FIRST_PUSH_MS));
        const int master = connect_local(d.port(), "127.0.0.2");
        EXPECT_EQ(request_reply(master, read_request(3, 0x0400, 2), 30000),
                  hex("00 03 00 00 00 07 01 03 04 01 2C 00 05"));
        close(master);
        receiver.master_answered = true;
        EXPECT_TRUE(eventually([&] { return alarm() == 0; }, 35000));
        EXPECT_TRUE(receiver.answered_open);
        if (stream) {
            EXPECT_GE(receiver.watchdogs_meanwhile, 2);
        }
        ASSERT_TRUE(eventually([&] { return !receiver.request_in; }, 25000));
        d.sim().with([](DevSim& s) { s.items['i'][5] = 2; });
    }
}

} // namespace
