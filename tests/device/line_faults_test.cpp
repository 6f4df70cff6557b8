// SPDX-License-Identifier: Apache-2.0
// The link on a line that misbehaves: a line that takes the request only slowly, and a descriptor
// beyond what select can watch.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "device/commands.h"
#include "device/link.h"
#include "support.h"
#include "sys/com.h"

namespace {

// A line whose output is full (a device that reads slowly), or that takes two bytes at a time (a
// USB adapter with little room): the request is written in full as the line takes it, in order,
// within the exchange's budget.
TEST(DevLineFaults, RequestWaitsForRoomOnTheLine) {
    for (const bool in_parts : {false, true}) {
        SCOPED_TRACE(in_parts ? "in parts" : "full");
        Pty line;
        std::vector<uint8_t> filler(4096, 0x00);
        size_t queued = 0;
        for (ssize_t n; !in_parts && (n = write(line.slave, filler.data(), filler.size())) > 0;)
            queued += static_cast<size_t>(n);
        ASSERT_NE(queued > 0, in_parts);
        const std::vector<uint8_t> request = {0x02, 0x04, 0x41, 0x01, 0x10, 0x01, 0x03, 0x53, 0x00};
        std::thread device([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::vector<uint8_t> got;
            uint8_t buffer[4096];
            pollfd p{line.master, POLLIN, 0};
            while (got.size() < queued + request.size() && poll(&p, 1, 3000) == 1) {
                const ssize_t n = read(line.master, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                got.insert(got.end(), buffer, buffer + n);
            }
            if (got.size() == queued + request.size() &&
                std::equal(request.begin(), request.end(), got.end() - request.size())) {
                const uint8_t ack[] = {0x02, 0x03, 0x40, 0x01, 0x06};
                EXPECT_EQ(write(line.master, ack, sizeof ack), ssize_t(sizeof ack));
            }
        });
        DevLine dev{line.slave};
        if (in_parts)
            dev.write = [](int fd, const void* data, size_t size) {
                return com_write(fd, data, std::min<size_t>(size, 2));
            };
        EXPECT_EQ(dev_write_flag(dev, 1, 1), 1);
        device.join();
    }
}

TEST(DevLineFaults, DescriptorBeyondSelectIsRefusedSafely) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < FD_SETSIZE + 8)
        GTEST_SKIP() << "the open-file limit is below " << FD_SETSIZE + 8;
    const rlimit raised{FD_SETSIZE + 8, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    Pty line;
    const int high = FD_SETSIZE + 4;
    ASSERT_EQ(dup2(line.slave, high), high);
    DevLine dev{high};
    DevBlock block{};
    EXPECT_EQ(dev_read_block(dev, 1, block), 0);
    EXPECT_EQ(dev.counters.timeouts, 0u);
    close(high);
    setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace
