// SPDX-License-Identifier: Apache-2.0
// The push cycle with a controlled clock, registers in memory and a remote Modbus TCP server of
// the test's own on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "modbus/mbap.h"
#include "modbus/request.h"
#include "register_store.h"
#include "service/loop.h"
#include "service/push.h"
#include "service/service.h"
#include "support.h"
#include "sys/deadline.h"
#include "sys/sockets.h"

namespace {

enum class Answer {
    ack,
    exception,
    none,
    split,   // the acknowledgement in two sends
    garbage, // an empty header and an oversized frame, both skipped, before the acknowledgement
    late,    // the acknowledgement after 300 ms
    stream,  // empty headers without end, a megabyte at a time, and never an answer
};

// A remote server that records each request (wire bytes) and each accepted connection.
class Receiver {
public:
    explicit Receiver(Answer answer)
        : answer_(answer), listen_fd_(socket_open_tcp_server(0, 0x7F000001)),
          port_(bound_port(listen_fd_)) {
        thread_ = std::thread([this] { run(); });
    }
    ~Receiver() {
        stop_ = true;
        thread_.join();
        close(listen_fd_);
    }
    unsigned port() const { return port_; }
    // Accepted connections, read after a pause: a cycle that sends nothing opens and closes its
    // connection without waiting for this thread.
    int connections() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void answer(int conn, MbapFrame& frame) {
        frame.length = 6;
        if (answer_ == Answer::exception)
            modbus_exception(frame, 4);
        Bytes wire = mbap_bytes(frame);
        if (answer_ == Answer::garbage) {
            Bytes skipped = mbap_wire(0, 0, 0, {}); // an empty frame, then one of 300 bytes
            const Bytes oversized = mbap_wire(0, 0, 300, Bytes(300, 0xEE));
            skipped.insert(skipped.end(), oversized.begin(), oversized.end());
            wire.insert(wire.begin(), skipped.begin(), skipped.end());
        }
        if (answer_ == Answer::late)
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (answer_ == Answer::stream) {
            const Bytes empty(1 << 20, 0); // empty headers, each skipped by a parser
            while (!stop_ && send(conn, empty.data(), empty.size(), MSG_NOSIGNAL) > 0) {
            }
            return;
        }
        const size_t first = answer_ == Answer::split ? 5 : wire.size();
        send(conn, wire.data(), first, MSG_NOSIGNAL);
        if (first < wire.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            send(conn, wire.data() + first, wire.size() - first, MSG_NOSIGNAL);
        }
    }
    void run() {
        int conn = -1;
        MbapParser parser{};
        while (!stop_) {
            pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {conn, POLLIN, 0}};
            if (poll(fds, conn >= 0 ? 2 : 1, 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                if (conn >= 0)
                    close(conn);
                conn = accept(listen_fd_, nullptr, nullptr);
                mbap_reset(parser);
                std::lock_guard<std::mutex> lock(mutex_);
                ++connections_;
                continue;
            }
            uint8_t buffer[512];
            const ssize_t n = recv(conn, buffer, sizeof buffer, 0);
            if (n <= 0) {
                close(conn);
                conn = -1;
                continue;
            }
            const uint8_t* next = buffer;
            int32_t left = static_cast<int32_t>(n);
            while (MbapFrame* frame = mbap_parse(parser, next, left)) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(mbap_bytes(*frame));
                }
                if (answer_ != Answer::none)
                    answer(conn, *frame);
            }
        }
        if (conn >= 0)
            close(conn);
    }

    const Answer answer_;
    const int listen_fd_;
    const unsigned port_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    int connections_ = 0;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

// Start address (0-based) and quantity of a recorded push request.
std::pair<unsigned, unsigned> range_of(const Bytes& wire) {
    return {wire[8] * 256u + wire[9], wire[10] * 256u + wire[11]};
}

constexpr time_t T0 = 1'000'000;

class PushCycle : public ::testing::Test {
protected:
    void SetUp() override {
        settings_.ipaddr = "127.0.0.1";
        settings_.station = 1;
    }
    void init() { push_init(push_, settings_, T0); }
    // One turn of the push as the loop takes it at `now` (microseconds of the test's clock),
    // waiting up to `wait_ms` for its descriptors; it then runs at the time `clock` gives.
    template <class Clock> void turn(int64_t now, int wait_ms, Clock clock) {
        LoopWatch watch;
        loop_watch_init(watch, now + int64_t{wait_ms} * 1000);
        push_watch(push_, watch, now);
        watch.wake_us = wait_clock_us() + std::max<int64_t>(0, watch.wake_us - now);
        LoopWatch ready;
        loop_wait(watch, ready);
        push_run(push_, ready, clock(), store_.registers(), settings_);
    }
    // A cycle at `at` seconds of the schedule, taken to its end: the test's clock runs with the
    // monotonic one from `at` on.
    void cycle(time_t at) {
        const int64_t offset = int64_t{at} * 1000000 - wait_clock_us();
        const auto clock = [offset] { return wait_clock_us() + offset; };
        LoopWatch nothing;
        loop_watch_init(nothing, 0);
        push_run(push_, nothing, clock(), store_.registers(), settings_);
        for (int i = 0; i < 100000 && push_busy(push_); ++i)
            turn(clock(), 1000, clock);
    }
    // Turns with the test's clock stopped at `now` until `done` holds (or 10 s have passed).
    template <class F> void turns_at(int64_t now, F&& done) {
        const int64_t end = wait_clock_us() + 10000000;
        while (!done() && wait_clock_us() < end)
            turn(now, 10, [now] { return now; });
    }
    // Slot n (1-based): `count` registers from the 1-based register `start`, optional alarm.
    void slot(int n, uint32_t start, uint32_t count, uint32_t alarm = 0) {
        settings_.start[n - 1] = start;
        settings_.count[n - 1] = count;
        settings_.alarm[n - 1] = alarm;
    }
    // A receiver answering `answer`, the settings' push target from now on.
    Receiver& receive(Answer answer = Answer::ack) {
        receiver_.emplace(answer);
        settings_.port = receiver_->port();
        return *receiver_;
    }
    // Register n, 1-based as in the settings.
    uint16_t& reg(uint32_t n) { return store_.values[n - 1]; }
    // Cycles at T0 + each row's time, each followed by the connections counted by then.
    void expect_connections(Receiver& receiver, std::vector<std::pair<time_t, int>> rows) {
        for (const auto& [at, connections] : rows) {
            cycle(T0 + at);
            EXPECT_EQ(receiver.connections(), connections) << "at T0 + " << at;
        }
    }

    RegisterStore store_;
    Settings settings_;
    PushState push_{};
    LogCapture log_;
    std::optional<Receiver> receiver_;
};

TEST_F(PushCycle, DataPeriodFollowsTheScheduleFromOneMinuteAfterStart) {
    Receiver& receiver = receive();
    settings_.data_period = 30;
    reg(1025) = 300;
    reg(1026) = 5;
    slot(1, 1025, 2);
    init();

    cycle(T0 + 59);
    EXPECT_EQ(receiver.connections(), 0);
    cycle(T0 + 60);
    ASSERT_EQ(receiver.requests().size(), 1u);
    const Bytes expected = {0, 0, 0, 0, 0, 11, 1, 16, 0x04, 0x00, 0, 2, 4, 0x01, 0x2C, 0, 5};
    EXPECT_EQ(receiver.requests()[0], expected);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection to 127.0.0.1 established"), 1);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 1);
    // At 200 the schedule has fallen behind by more than a period: due now, due again on the
    // next call, then on time.
    expect_connections(receiver, {{89, 1}, {90, 2}, {200, 3}, {200, 4}, {229, 4}, {230, 5}});
}

// The longest periods: the schedule adds them to the time of day without wrapping.
TEST_F(PushCycle, PeriodsNearTwoToThe32) {
    Receiver& receiver = receive();
    settings_.data_period = 0xFFFFFFFF;
    settings_.alarm_period = 0xFFFFFFFE;
    slot(1, 1, 1, 2);
    init();
    expect_connections(receiver, {{60, 1}});
    reg(2) = 1;
    const time_t alarm = 60 + time_t{0xFFFFFFFE}, data = 60 + time_t{0xFFFFFFFF};
    expect_connections(receiver, {{alarm - 1, 1}, {alarm, 2}, {data, 3}});
}

TEST_F(PushCycle, PeriodsOfZeroNeverPushNorReadAlarms) {
    Receiver& receiver = receive();
    slot(1, 1025, 2, 1029);
    reg(1029) = 1;
    init();
    for (time_t t = T0; t < T0 + 200; t += 20)
        cycle(t);
    EXPECT_EQ(receiver.connections(), 0);
    EXPECT_EQ(store_.reads + store_.writes, 0u);
}

TEST_F(PushCycle, AlarmPeriodSendsOnlyAlarmedSlotsAndClearsThemOnAcknowledgement) {
    Receiver& receiver = receive();
    settings_.alarm_period = 10;
    for (int n = 1; n <= 5; ++n)
        slot(n, 1024 + 2 * n, 2, 1040 + n);
    init();

    cycle(T0 + 60); // all alarm registers 0: no connection
    EXPECT_EQ(receiver.connections(), 0);
    EXPECT_EQ(store_.reads, 5u);

    reg(1043) = 7; // slot 3
    cycle(T0 + 70);
    EXPECT_EQ(receiver.connections(), 1);
    ASSERT_EQ(receiver.requests().size(), 1u);
    EXPECT_EQ(range_of(receiver.requests()[0]), std::make_pair(1029u, 2u));
    EXPECT_EQ(reg(1043), 0);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 1);
}

TEST_F(PushCycle, BothPeriodsDueSendEverySlotOnce) {
    Receiver& receiver = receive();
    settings_.data_period = 60;
    settings_.alarm_period = 60;
    slot(1, 1025, 1, 1030);
    slot(4, 17, 3);
    reg(1030) = 1;
    init();
    cycle(T0 + 60);
    ASSERT_EQ(receiver.requests().size(), 2u);
    EXPECT_EQ(range_of(receiver.requests()[0]), std::make_pair(1024u, 1u));
    EXPECT_EQ(range_of(receiver.requests()[1]), std::make_pair(16u, 3u));
    EXPECT_EQ(reg(1030), 0);
}

TEST_F(PushCycle, SlotsWithoutASendableRangeOpenAndCloseTheConnectionOnly) {
    Receiver& receiver = receive();
    settings_.data_period = 100;
    settings_.alarm_period = 10;
    slot(2, 1025, 0, 1031);   // COUNT 0
    slot(3, 1025, 124, 1032); // COUNT above 123
    reg(1031) = reg(1032) = 1;
    init();
    cycle(T0 + 60); // data due, no slot has a usable COUNT
    EXPECT_EQ(receiver.connections(), 1);
    cycle(T0 + 70); // alarm only
    EXPECT_EQ(receiver.connections(), 2);
    EXPECT_TRUE(receiver.requests().empty());
    EXPECT_EQ(reg(1031) + reg(1032), 2);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 2);
    // Slots that can never be sent are a setting, not a failed delivery.
    EXPECT_EQ(push_.counters.failed, 0u);
}

TEST_F(PushCycle, RangesThatWrapOrRunPastTheLastRegisterAreNeverSent) {
    Receiver& receiver = receive();
    settings_.data_period = 100;
    slot(1, 0, 2);     // START 0
    slot(2, 65535, 3); // registers 65535..65537
    slot(3, 65535, 2); // registers 65535..65536: fine
    init();
    EXPECT_EQ(log_.lines(), (std::vector<std::pair<int, std::string>>{
                                {LOG_NOTICE, "slot 1 is not pushed: START 0 with COUNT 2 is "
                                             "outside registers 1 to 65536"},
                                {LOG_NOTICE, "slot 2 is not pushed: START 65535 with COUNT 3 is "
                                             "outside registers 1 to 65536"}}));
    cycle(T0 + 60);
    ASSERT_EQ(receiver.requests().size(), 1u);
    EXPECT_EQ(range_of(receiver.requests()[0]), std::make_pair(65534u, 2u));
}

// What counts as the answer: an exception keeps the alarm (it triggers again); an acknowledgement
// split over reads, or behind frames the parser skips, clears it.
TEST_F(PushCycle, AnswersThatKeepOrClearTheAlarm) {
    const std::pair<Answer, uint16_t> rows[] = {
        {Answer::exception, 9}, {Answer::split, 0}, {Answer::garbage, 0}};
    for (const auto& [answer, left] : rows) {
        SCOPED_TRACE(static_cast<int>(answer));
        Receiver& receiver = receive(answer);
        settings_.alarm_period = 10;
        slot(1, 1025, 1, 1030);
        reg(1030) = 9;
        init();
        cycle(T0 + 60);
        EXPECT_EQ(receiver.requests().size(), 1u);
        EXPECT_EQ(reg(1030), left);
        cycle(T0 + 70);
        EXPECT_EQ(receiver.requests().size(), left != 0 ? 2u : 1u);
        const PushCounters& c = push_.counters;
        EXPECT_EQ(c.cycles, left != 0 ? 2u : 1u);
        EXPECT_EQ(c.failed, left != 0 ? 2u : 0u);
        EXPECT_EQ(c.succeeded + c.slots_acknowledged, left != 0 ? 0u : 2u);
    }
}

// With the clock stopped, nothing but the budget ends a slot's wait: one microsecond before its
// end the first slot still waits, at its end the next slot goes out.
TEST_F(PushCycle, UnansweredSlotCostsTheAnswerBudgetThenTheNextSlotGoesOut) {
    Receiver& receiver = receive(Answer::none);
    settings_.data_period = 100;
    slot(1, 1025, 1, 1030);
    slot(2, 1026, 1);
    reg(1030) = 1;
    init();
    const int64_t t = (T0 + 60) * int64_t{1000000}, budget = PUSH_ANSWER_SECONDS * int64_t{1000000};
    const auto waiting_for = [&](size_t requests) {
        return [&, requests] {
            return push_.step == PushStep::answer && receiver.requests().size() == requests;
        };
    };
    turns_at(t, waiting_for(1));
    ASSERT_TRUE(waiting_for(1)());
    for (int i = 0; i < 20; ++i)
        turn(t + budget - 1, 10, [&] { return t + budget - 1; });
    EXPECT_TRUE(waiting_for(1)());
    turns_at(t + budget, waiting_for(2));
    ASSERT_TRUE(waiting_for(2)());
    turns_at(t + 2 * budget, [&] { return !push_busy(push_); });
    EXPECT_EQ(receiver.requests().size(), 2u);
    EXPECT_EQ(reg(1030), 1);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 1);
    EXPECT_EQ(push_.counters.failed, 1u);
}

// A receiver that keeps sending bytes that make no answer holds the slot no longer than its
// budget: with the clock stopped at the end of it, the cycle ends though bytes keep coming.
TEST_F(PushCycle, StreamingReceiverEndsAtTheAnswerBudget) {
    Receiver& receiver = receive(Answer::stream);
    settings_.alarm_period = 10;
    slot(1, 1025, 1, 1030);
    reg(1030) = 4;
    init();
    const int64_t t = (T0 + 60) * int64_t{1000000};
    turns_at(t, [&] { return push_.step == PushStep::answer && receiver.requests().size() == 1; });
    for (int i = 0; i < 200; ++i) // the receiver's bytes are read meanwhile
        turn(t, 10, [t] { return t; });
    EXPECT_TRUE(push_busy(push_));
    turns_at(t + PUSH_ANSWER_SECONDS * int64_t{1000000}, [&] { return !push_busy(push_); });
    EXPECT_FALSE(push_busy(push_));
    EXPECT_EQ(reg(1030), 4);
    EXPECT_EQ(push_.counters.failed, 1u);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 1);
}

// Signals while the cycle waits for an answer change nothing: the late acknowledgement still
// clears the alarm.
TEST_F(PushCycle, SignalsDuringTheAnswerWaitChangeNothing) {
    receive(Answer::late);
    settings_.alarm_period = 10;
    slot(1, 1025, 1, 1030);
    reg(1030) = 3;
    init();
    const unsigned before = SignalStorm::handled();
    {
        SignalStorm storm(20);
        cycle(T0 + 60);
    }
    EXPECT_GT(SignalStorm::handled(), before);
    EXPECT_EQ(reg(1030), 0);
}

TEST_F(PushCycle, UnreachableServersEndTheCycleWithTheirMessages) {
    settings_.data_period = 10;
    slot(1, 1025, 1);
    receive();
    receiver_.reset(); // the port is closed again: connections are refused
    init();
    cycle(T0 + 60);
    EXPECT_EQ(log_.count(LOG_ERR, "connect socket error: Connection refused"), 1);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 0);

    // A name with an empty label is refused by the resolver itself, so no query leaves the machine.
    settings_.ipaddr = "unknown..host";
    cycle(T0 + 70);
    EXPECT_EQ(log_.count(LOG_ERR, "error resolving hostname unknown..host"), 1);
    EXPECT_EQ(push_.counters.failed, 2u);
}

// Read-only stops the clients' writes, not the gateway's own: the push cycle of a read-only
// service still clears an acknowledged alarm register, and a client's write to it is refused.
TEST(PushReadOnly, AlarmClearedWhileClientWritesAreRefused) {
    Receiver receiver(Answer::ack);
    RegisterStore store;
    store.values[1029] = 9; // register 1030, the alarm of slot 1
    auto service = std::make_unique<Service>();
    Settings& s = service->settings;
    s.read_only = 1;
    s.listen = "127.0.0.2"; // the receiver has the port on 127.0.0.1
    s.port = receiver.port();
    s.ipaddr = "127.0.0.1";
    s.alarm_period = 10;
    std::tie(s.start[0], s.count[0], s.alarm[0]) = std::tuple(1025, 1, 1030);
    service->registers = store.registers();
    service_start_server(*service);
    ASSERT_GE(service->clients.listen_fd, 0);
    push_init(service->push, s, wait_clock_us() / 1000000 - PUSH_FIRST_DELAY);

    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address{AF_INET, htons(receiver.port()), {htonl(0x7F000002)}, {}};
    ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    service_iterate(*service); // accepts the client, then the alarm push is due
    for (int i = 0; i < 1000 && push_busy(service->push); ++i)
        service_iterate(*service);
    EXPECT_EQ(receiver.requests().size(), 1u);
    EXPECT_EQ(store.values[1029], 0);
    EXPECT_EQ(store.writes, 1u);

    const Bytes write = write_request(7, 1029, {9});
    ASSERT_EQ(send(client, write.data(), write.size(), MSG_NOSIGNAL), ssize_t(write.size()));
    service_iterate(*service);
    uint8_t answer[16];
    pollfd p{client, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_EQ(Bytes(answer, answer + recv(client, answer, sizeof answer, 0)),
              hex("00 07 00 00 00 03 01 90 01"));
    EXPECT_EQ(store.values[1029], 0);
    EXPECT_EQ(store.writes, 1u);
    close(client);
    for (ServiceClient& c : service->clients.places)
        if (c.fd >= 0)
            close(c.fd);
    close(service->clients.listen_fd);
}

} // namespace
