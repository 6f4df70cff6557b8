// The push cycle with a controlled clock, the simulated field device on a socketpair and a
// remote Modbus TCP server of the test's own on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "devsim.h"
#include "modbus/mbap.h"
#include "regmap/regs.h"
#include "service/push.h"
#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum class Answer { ack, exception, none };

// A remote server that records each request (wire bytes) and each accepted connection.
class Receiver {
public:
    explicit Receiver(Answer answer) : answer_(answer) {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listen_fd_, 8);
        socklen_t len = sizeof address;
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &len);
        port_ = ntohs(address.sin_port);
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
                Bytes wire(MBAP_MAX_WIRE);
                wire.resize(static_cast<size_t>(mbap_serialize(*frame, wire.data())));
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(wire);
                }
                if (answer_ == Answer::none)
                    continue;
                frame->length = 6;
                if (answer_ == Answer::exception) {
                    frame->body[1] = 0x90;
                    frame->body[2] = 4;
                    frame->length = 3;
                }
                const int size = mbap_serialize(*frame, wire.data());
                send(conn, wire.data(), static_cast<size_t>(size), MSG_NOSIGNAL);
            }
        }
        if (conn >= 0)
            close(conn);
    }

    Answer answer_;
    int listen_fd_;
    unsigned port_ = 0;
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
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        line_.fd = fds_[0];
        sim_ = std::make_unique<DevSimServer>(fds_[1]);
        settings_.ipaddr = "127.0.0.1";
        settings_.station = 1;
    }
    void TearDown() override {
        sim_.reset();
        close(fds_[0]);
        close(fds_[1]);
    }
    void init() { push_init(push_, settings_, T0); }
    void cycle(time_t at) {
        const ModbusRegisters registers{
            [](void* c, uint32_t start, uint32_t quantity, uint16_t* values) {
                auto* self = static_cast<PushCycle*>(c);
                return regs_read(self->line_, 1, start, quantity, values);
            },
            [](void* c, uint32_t start, uint32_t quantity, const uint16_t* values) {
                auto* self = static_cast<PushCycle*>(c);
                return regs_write(self->line_, 1, start, quantity, values);
            },
            this};
        push_cycle(push_, registers, settings_, at);
    }
    size_t device_requests() {
        return sim_->with([](DevSim& s) { return s.requests.size(); });
    }
    uint16_t item(char type, int number) {
        return sim_->with([&](DevSim& s) { return s.items[uint8_t(type)][number]; });
    }
    void set_item(char type, int number, uint16_t value) {
        sim_->with([&](DevSim& s) { s.items[uint8_t(type)][number] = value; });
    }
    // Slot n (1-based): `count` registers from the 1-based register `start`, optional alarm.
    void slot(int n, uint32_t start, uint32_t count, uint32_t alarm = 0) {
        settings_.start[n - 1] = start;
        settings_.count[n - 1] = count;
        settings_.alarm[n - 1] = alarm;
    }

    int fds_[2];
    DevLine line_;
    std::unique_ptr<DevSimServer> sim_;
    Settings settings_;
    PushState push_{};
    LogCapture log_;
};

TEST_F(PushCycle, DataPeriodFollowsTheScheduleFromOneMinuteAfterStart) {
    Receiver receiver(Answer::ack);
    settings_.port = receiver.port();
    settings_.data_period = 30;
    set_item('i', 1, 300);
    set_item('i', 2, 5);
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

    cycle(T0 + 89);
    EXPECT_EQ(receiver.connections(), 1);
    cycle(T0 + 90);
    EXPECT_EQ(receiver.connections(), 2);

    // Fallen behind by more than a period: due now, due again on the next call, then on time.
    cycle(T0 + 200);
    EXPECT_EQ(receiver.connections(), 3);
    cycle(T0 + 200);
    EXPECT_EQ(receiver.connections(), 4);
    cycle(T0 + 229);
    EXPECT_EQ(receiver.connections(), 4);
    cycle(T0 + 230);
    EXPECT_EQ(receiver.connections(), 5);
}

TEST_F(PushCycle, PeriodsOfZeroNeverPushNorReadAlarms) {
    Receiver receiver(Answer::ack);
    settings_.port = receiver.port();
    slot(1, 1025, 2, 1029);
    set_item('i', 5, 1);
    init();
    for (time_t t = T0; t < T0 + 200; t += 20)
        cycle(t);
    EXPECT_EQ(receiver.connections(), 0);
    EXPECT_EQ(device_requests(), 0u);
}

TEST_F(PushCycle, AlarmPeriodSendsOnlyAlarmedSlotsAndClearsThemOnAcknowledgement) {
    Receiver receiver(Answer::ack);
    settings_.port = receiver.port();
    settings_.alarm_period = 10;
    for (int n = 1; n <= 5; ++n)
        slot(n, 1024 + 2 * n, 2, 1040 + n); // alarms: 'i' 17..21
    init();

    cycle(T0 + 60); // all alarm registers 0: no connection
    EXPECT_EQ(receiver.connections(), 0);
    EXPECT_EQ(device_requests(), 5u);

    set_item('i', 19, 7); // slot 3
    cycle(T0 + 70);
    EXPECT_EQ(receiver.connections(), 1);
    ASSERT_EQ(receiver.requests().size(), 1u);
    EXPECT_EQ(range_of(receiver.requests()[0]), std::make_pair(1029u, 2u));
    EXPECT_EQ(item('i', 19), 0);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 1);
}

TEST_F(PushCycle, BothPeriodsDueSendEverySlotOnce) {
    Receiver receiver(Answer::ack);
    settings_.port = receiver.port();
    settings_.data_period = 60;
    settings_.alarm_period = 60;
    slot(1, 1025, 1, 1030);
    slot(4, 17, 3);
    set_item('i', 6, 1);
    init();
    cycle(T0 + 60);
    ASSERT_EQ(receiver.requests().size(), 2u);
    EXPECT_EQ(range_of(receiver.requests()[0]), std::make_pair(1024u, 1u));
    EXPECT_EQ(range_of(receiver.requests()[1]), std::make_pair(16u, 3u));
    EXPECT_EQ(item('i', 6), 0);
}

TEST_F(PushCycle, SlotsWithoutASendableRangeOpenAndCloseTheConnectionOnly) {
    Receiver receiver(Answer::ack);
    settings_.port = receiver.port();
    settings_.data_period = 100;
    settings_.alarm_period = 10;
    slot(2, 1025, 0, 1031);   // COUNT 0
    slot(3, 1025, 124, 1032); // COUNT above 123
    set_item('i', 7, 1);
    set_item('i', 8, 1);
    init();
    cycle(T0 + 60); // data due, no slot has a usable COUNT
    EXPECT_EQ(receiver.connections(), 1);
    cycle(T0 + 70); // alarm only
    EXPECT_EQ(receiver.connections(), 2);
    EXPECT_TRUE(receiver.requests().empty());
    EXPECT_EQ(item('i', 7), 1);
    EXPECT_EQ(item('i', 8), 1);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 2);
}

TEST_F(PushCycle, RangesThatWrapOrRunPastTheLastRegisterAreNeverSent) {
    Receiver receiver(Answer::ack);
    settings_.port = receiver.port();
    settings_.data_period = 100;
    slot(1, 0, 2);     // START 0
    slot(2, 65535, 3); // registers 65535..65537
    slot(3, 65535, 2); // registers 65535..65536: fine
    init();
    EXPECT_EQ(log_.count(LOG_NOTICE, "slot 1 is not pushed: START 0 with COUNT 2 is outside "
                                     "registers 1 to 65536"),
              1);
    EXPECT_EQ(log_.count(LOG_NOTICE, "slot 2 is not pushed: START 65535 with COUNT 3 is "
                                     "outside registers 1 to 65536"),
              1);
    EXPECT_EQ(log_.lines().size(), 2u);
    cycle(T0 + 60);
    ASSERT_EQ(receiver.requests().size(), 1u);
    EXPECT_EQ(range_of(receiver.requests()[0]), std::make_pair(65534u, 2u));
}

TEST_F(PushCycle, ExceptionAnswerKeepsTheAlarm) {
    Receiver receiver(Answer::exception);
    settings_.port = receiver.port();
    settings_.alarm_period = 10;
    slot(1, 1025, 1, 1030);
    set_item('i', 6, 9);
    init();
    cycle(T0 + 60);
    EXPECT_EQ(receiver.requests().size(), 1u);
    EXPECT_EQ(item('i', 6), 9);
    cycle(T0 + 70); // not acknowledged, so it triggers again
    EXPECT_EQ(receiver.requests().size(), 2u);
}

TEST_F(PushCycle, UnansweredSlotCostsTheAnswerBudgetThenTheNextSlotGoesOut) {
    Receiver receiver(Answer::none);
    settings_.port = receiver.port();
    settings_.data_period = 100;
    slot(1, 1025, 1, 1030);
    slot(2, 1026, 1);
    set_item('i', 6, 1);
    init();
    const auto t0 = std::chrono::steady_clock::now();
    cycle(T0 + 60);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(seconds, 2 * PUSH_ANSWER_SECONDS - 0.1);
    EXPECT_EQ(receiver.requests().size(), 2u);
    EXPECT_EQ(item('i', 6), 1);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 1);
}

TEST_F(PushCycle, UnreachableServersEndTheCycleWithTheirMessages) {
    settings_.data_period = 10;
    slot(1, 1025, 1);
    {
        Receiver gone(Answer::ack);
        settings_.port = gone.port();
    } // the port is closed again: connections are refused
    init();
    cycle(T0 + 60);
    EXPECT_EQ(log_.count(LOG_ERR, "connect socket error: Connection refused"), 1);
    EXPECT_EQ(log_.count(LOG_NOTICE, "TCP connection closed"), 0);

    // A name with an empty label is refused by the resolver itself, so no query leaves the machine.
    settings_.ipaddr = "unknown..host";
    cycle(T0 + 70);
    EXPECT_EQ(log_.count(LOG_ERR, "error resolving hostname unknown..host"), 1);
}

} // namespace
