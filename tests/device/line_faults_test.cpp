// The link on a line that misbehaves: a line that takes the request only slowly, a descriptor
// beyond what select can watch, and the time-out that answers at the end of the budget.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "device/commands.h"
#include "device/link.h"
#include "devsim.h"
#include "sys/deadline.h"

namespace {

struct Line {
    SimPty pty;
    Line() { EXPECT_TRUE(sim_open_pty(pty)); }
    ~Line() { sim_close_pty(pty); }
};

// A line whose output is full (a USB adapter with a small buffer, a device that reads slowly):
// the request is written in full as the line takes it, within the exchange's budget.
TEST(DevLineFaults, RequestWaitsForRoomOnTheLine) {
    Line line;
    std::vector<uint8_t> filler(4096, 0x00);
    size_t queued = 0;
    for (ssize_t n; (n = write(line.pty.slave, filler.data(), filler.size())) > 0;)
        queued += static_cast<size_t>(n);
    ASSERT_GT(queued, 0u);
    const std::vector<uint8_t> request = {0x02, 0x04, 0x41, 0x01, 0x10, 0x01, 0x03, 0x53, 0x00};
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::vector<uint8_t> got;
        uint8_t buffer[4096];
        pollfd p{line.pty.master, POLLIN, 0};
        while (got.size() < queued + request.size() && poll(&p, 1, 3000) == 1) {
            const ssize_t n = read(line.pty.master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        if (got.size() == queued + request.size() &&
            std::equal(request.begin(), request.end(), got.end() - request.size())) {
            const uint8_t ack[] = {0x02, 0x03, 0x40, 0x01, 0x06};
            EXPECT_EQ(write(line.pty.master, ack, sizeof ack), ssize_t(sizeof ack));
        }
    });
    DevLine dev{line.pty.slave};
    EXPECT_EQ(dev_write_flag(dev, 1, 1), 1);
    device.join();
}

TEST(DevLineFaults, DescriptorBeyondSelectIsRefusedSafely) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < FD_SETSIZE + 8)
        GTEST_SKIP() << "the open-file limit is below " << FD_SETSIZE + 8;
    const rlimit raised{FD_SETSIZE + 8, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    Line line;
    const int high = FD_SETSIZE + 4;
    ASSERT_EQ(dup2(line.pty.slave, high), high);
    DevLine dev{high};
    DevBlock block{};
    EXPECT_EQ(dev_read_block(dev, 1, block), 0);
    EXPECT_EQ(dev.counters.timeouts, 0u);
    close(high);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// A silent device is answered when the budget ends; the second in which a late reply is dropped
// comes before the next request, not inside this one.
TEST(DevLineFaults, TimeOutReturnsAtTheEndOfTheBudget) {
    Line line;
    DevLine dev{line.pty.slave};
    DevBlock block{};
    const int64_t t0 = wait_clock_us();
    EXPECT_EQ(dev_read_block(dev, 1, block), 0);
    const int64_t now = wait_clock_us();
    EXPECT_GE(now - t0, int64_t{DEV_BUDGET_SECONDS} * 1000000);
    EXPECT_GT(dev.quiet_until_us, now);
    EXPECT_EQ(dev.counters.timeouts, 1u);
}

} // namespace
