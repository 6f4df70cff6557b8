#include "regmap/regs.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "devsim.h"
#include "support.h"

namespace {

constexpr int kStation = 7;
constexpr uint16_t kUntouched = 0xAAAA;

using ItemRef = std::pair<uint8_t, uint8_t>; // item type, item number

// `n` consecutive items of one type, as expected in a request.
struct Span {
    char type;
    int first;
    int n;
};

std::vector<ItemRef> expand(const std::vector<Span>& spans) {
    std::vector<ItemRef> out;
    for (const Span& s : spans)
        for (int k = 0; k < s.n; ++k)
            out.emplace_back(static_cast<uint8_t>(s.type), static_cast<uint8_t>(s.first + k));
    return out;
}

// The item references of a read (3 bytes per item) or write (4 bytes, 5 for 'i') request.
std::vector<ItemRef> request_items(const SimRequest& req) {
    std::vector<ItemRef> out;
    size_t pos = 1;
    while (pos + 3 <= req.data.size()) {
        const uint8_t type = req.data[pos];
        out.emplace_back(type, req.data[pos + 1]);
        pos += req.command == 0x00 ? 3 : (type == 'i' ? 5 : 4);
    }
    EXPECT_EQ(pos, req.data.size());
    EXPECT_EQ(req.data.at(0), out.size());
    return out;
}

class Regs : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        for (int fd : fds_)
            ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
        sim_ = std::make_unique<DevSimServer>(fds_[1]);
    }
    void TearDown() override {
        sim_.reset();
        close(fds_[0]);
        close(fds_[1]);
    }

    int read(uint32_t start, uint32_t quantity, uint16_t* values) {
        return regs_read(fds_[0], kStation, start, quantity, values);
    }
    int write(uint32_t start, uint32_t quantity, const uint16_t* values) {
        return regs_write(fds_[0], kStation, start, quantity, values);
    }
    // The requests received since the last call, each checked for the station.
    std::vector<SimRequest> take_requests() {
        auto reqs = sim_->with([](DevSim& s) { return std::exchange(s.requests, {}); });
        for (const SimRequest& r : reqs)
            EXPECT_EQ(r.station, kStation);
        return reqs;
    }
    void set_items(const std::vector<std::tuple<char, int, uint16_t>>& items) {
        sim_->with([&](DevSim& s) {
            s.items = {};
            for (auto [type, number, value] : items)
                s.items[static_cast<uint8_t>(type)][static_cast<size_t>(number)] = value;
        });
    }
    void set_faults(const std::vector<SimFault>& faults) {
        sim_->with([&](DevSim& s) { s.next_faults.assign(faults.begin(), faults.end()); });
    }

    int fds_[2] = {-1, -1};
    std::unique_ptr<DevSimServer> sim_;
};

TEST_F(Regs, WorkedBatchingsInBothDirections) {
    struct Case {
        uint32_t start;
        uint32_t quantity;
        std::vector<std::vector<Span>> batches;
    };
    // clang-format off
    const Case cases[] = {
        {0x0000, 24, {{{'@', 1, 24}, {'A', 1, 15}, {'A', 129, 4}},
                      {{'B', 1, 9}, {'B', 129, 4}, {'D', 1, 8}, {'E', 1, 4}, {'F', 1, 4},
                       {'G', 1, 4}, {'a', 1, 8}}}},
        {0x0100, 11, {{{'@', 1, 24}, {'A', 1, 8}, {'A', 129, 4}, {'B', 1, 6}, {'B', 129, 4}},
                      {{'D', 1, 8}, {'E', 1, 4}, {'F', 1, 4}, {'G', 1, 4}}}},
        {0x0200, 49, {{{'H', 1, 49}}}},
        {0x0200, 50, {{{'H', 1, 49}}, {{'H', 50, 1}}}},
        {0x0200, 125, {{{'H', 1, 49}}, {{'H', 50, 49}}, {{'H', 99, 2}}}},
        {0x2000, 125, {{{'@', 1, 24}}}},
    };
    // clang-format on
    std::vector<uint16_t> values(125, 0xFFFF);
    for (const Case& c : cases) {
        for (bool writing : {false, true}) {
            SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << c.start << std::dec
                                            << " quantity " << c.quantity << " write " << writing);
            EXPECT_EQ(writing ? write(c.start, c.quantity, values.data())
                              : read(c.start, c.quantity, values.data()),
                      1);
            const auto reqs = take_requests();
            ASSERT_EQ(reqs.size(), c.batches.size());
            for (size_t b = 0; b < reqs.size(); ++b) {
                EXPECT_EQ(reqs[b].command, writing ? 0x01 : 0x00);
                EXPECT_EQ(request_items(reqs[b]), expand(c.batches[b])) << "batch " << b;
            }
        }
    }
}

TEST_F(Regs, ReadPlacesItemValues) {
    struct Case {
        uint32_t start;
        std::vector<std::tuple<char, int, uint16_t>> device;
        std::vector<uint16_t> expected; // one element per register read
    };
    const Case cases[] = {
        {0x0000, {{'@', 1, 1}, {'@', 16, 7}}, {0x8001}},
        {0x0001, {{'@', 17, 1}, {'@', 24, 200}, {'@', 25, 1}}, {0x0081}},
        // Items past a register's count and rows of count 0 never show.
        {0x0002,
         {{'A', 1, 1}, {'A', 15, 1}, {'A', 16, 1}, {'A', 17, 1}, {'A', 132, 1}},
         {0x4001, 0, 0x0008}},
        {0x0102, {{'A', 8, 1}, {'A', 9, 1}}, {0x0080}},
        // The second batch starts at 0x0005; its answers land on their own registers.
        {0x0000, {{'@', 1, 1}, {'B', 9, 1}}, {0x0001, 0, 0, 0, 0, 0x0100}},
        {0x0200, {{'H', 1, 255}, {'H', 2, 128}}, {255, 128, 0}},
        {0x0010, {{'a', 1, 0xBEEF}, {'a', 8, 0x0102}}, {0xBEEF, 0, 0, 0, 0, 0, 0, 0x0102}},
        {0x0400, {{'i', 1, 0xFFFF}, {'i', 2, 0x1234}}, {0xFFFF, 0x1234}},
        {0x000A, {{'G', 1, 1}, {'G', 4, 1}, {'a', 1, 0x0102}}, {0x0009, 0, 0, 0, 0, 0, 0x0102}},
        {0x2017, {{'@', 24, 1}}, {1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << c.start);
        set_items(c.device);
        std::vector<uint16_t> values(c.expected.size(), kUntouched);
        EXPECT_EQ(read(c.start, static_cast<uint32_t>(values.size()), values.data()), 1);
        EXPECT_EQ(values, c.expected);
        take_requests();
    }
}

TEST_F(Regs, ReadBeyondTheLastRowReadsZero) {
    std::vector<std::tuple<char, int, uint16_t>> device;
    for (int n = 1; n <= 100; ++n)
        device.emplace_back('H', n, n + 100);
    set_items(device);
    std::vector<uint16_t> values(125, kUntouched);
    EXPECT_EQ(read(0x0200, 125, values.data()), 1);
    for (size_t k = 0; k < values.size(); ++k)
        EXPECT_EQ(values[k], k < 100 ? k + 101 : 0) << "register " << k;
}

TEST_F(Regs, WriteSendsItemValues) {
    struct Case {
        uint32_t start;
        std::vector<uint16_t> values;
        std::vector<uint8_t> data; // expected request data; empty: no request
    };
    const Case cases[] = {
        {0x0001, {0xFF01}, {8,   '@', 17, 0, 1,   '@', 18, 0, 0,   '@', 19, 0, 0,   '@', 20, 0, 0,
                            '@', 21,  0,  0, '@', 22,  0,  0, '@', 23,  0,  0, '@', 24,  0,  0}},
        {0x0008, {0xFFFA}, {4, 'E', 1, 0, 0, 'E', 2, 0, 1, 'E', 3, 0, 0, 'E', 4, 0, 1}},
        {0x0010, {0x1234}, {1, 'a', 1, 0, 0x34}},
        {0x0400, {0x1234}, {1, 'i', 1, 0, 0x34, 0x12}},
        {0x0200, {0x01FF}, {1, 'H', 1, 0, 0xFF}},
        {0x0017, {0x00AA, 0x5555, 0x0001}, {1, 'a', 8, 0, 0xAA}},
        {0x0463, {0x0107, 9}, {1, 'i', 100, 0, 7, 1}},
        {0x0200, {0x11, 0x0122, 0x33}, {3, 'H', 1, 0, 0x11, 'H', 2, 0, 0x22, 'H', 3, 0, 0x33}},
        {0x0003, {0xFFFF}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << c.start);
        EXPECT_EQ(write(c.start, static_cast<uint32_t>(c.values.size()), c.values.data()), 1);
        const auto reqs = take_requests();
        ASSERT_EQ(reqs.size(), c.data.empty() ? 0U : 1U);
        if (reqs.empty())
            continue;
        EXPECT_EQ(reqs[0].command, 0x01);
        EXPECT_EQ(reqs[0].data, c.data);
    }
}

TEST_F(Regs, WriteValuesFollowTheirRegistersAcrossBatches) {
    std::vector<uint16_t> values(50);
    for (size_t k = 0; k < values.size(); ++k)
        values[k] = static_cast<uint16_t>(k + 1);
    EXPECT_EQ(write(0x0200, 50, values.data()), 1);
    const auto reqs = take_requests();
    ASSERT_EQ(reqs.size(), 2U);
    ASSERT_EQ(reqs[0].data.size(), 1U + 4 * 49);
    for (size_t k = 0; k < 49; ++k)
        EXPECT_EQ(reqs[0].data[4 + 4 * k], k + 1) << "item " << k;
    EXPECT_EQ(reqs[1].data, (std::vector<uint8_t>{1, 'H', 50, 0, 50}));
}

TEST_F(Regs, RangesWithoutMappedRegistersSendNothing) {
    struct Case {
        bool writing;
        uint32_t start;
        uint32_t quantity;
        bool zeroed; // a read writes zeros; otherwise the array stays untouched
    };
    // clang-format off
    const Case cases[] = {
        {false, 0x0600, 8, true},       {false, 0x0600, 10, true},   {false, 0x0601, 9, true},
        {false, 0x0800, 1, true},       {false, 0x0003, 1, true},    {false, 0xFFF0, 125, true},
        {false, 0, 0, false},           {false, 0xFFFFFFFF, 1, false},
        {false, 0xFFFFFFFF, 125, false}, {false, 0xFFFFFFF0, 0x20, false},
        {true, 0x0600, 8, false},       {true, 0x0600, 10, false},   {true, 0x0601, 9, false},
        {true, 0x0800, 2, false},       {true, 0, 0, false},         {true, 0xFFFFFFFF, 125, false},
        {true, 0xFFFFFFF0, 0x20, false},
    };
    // clang-format on
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << c.start << " quantity 0x"
                                        << c.quantity << " write " << c.writing);
        std::vector<uint16_t> values(130, kUntouched);
        EXPECT_EQ(c.writing ? write(c.start, c.quantity, values.data())
                            : read(c.start, c.quantity, values.data()),
                  1);
        EXPECT_TRUE(take_requests().empty());
        for (size_t k = 0; k < values.size(); ++k)
            ASSERT_EQ(values[k], c.zeroed && k < c.quantity ? 0 : kUntouched) << "element " << k;
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Regs, BlockRange) {
    sim_->with(
        [](DevSim& s) { s.block = {0x01, 0x02, 0x11, 0x12, 0x13, 0x14, 0xF5, 0x16, 0x17, 0x18}; });
    std::vector<uint16_t> values(9, kUntouched);
    EXPECT_EQ(read(0x0600, 9, values.data()), 1);
    EXPECT_EQ(values,
              (std::vector<uint16_t>{0x0201, 0x11, 0x12, 0x13, 0x14, 0xF5, 0x16, 0x17, 0x18}));
    auto reqs = take_requests();
    ASSERT_EQ(reqs.size(), 1U);
    EXPECT_EQ(reqs[0].command, 0x20);

    // High bytes of the byte fields are dropped; byte[6] and byte[7] never travel.
    const uint16_t out[9] = {0x0201, 0x0141, 0xFF12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x0118};
    EXPECT_EQ(write(0x0600, 9, out), 1);
    reqs = take_requests();
    ASSERT_EQ(reqs.size(), 1U);
    EXPECT_EQ(reqs[0].command, 0x21);
    EXPECT_EQ(reqs[0].data, (std::vector<uint8_t>{0x01, 0x02, 0x41, 0x12, 0x13, 0x14, 0x15, 0x18}));
}

TEST_F(Regs, FlagRegister) {
    const std::pair<uint16_t, uint8_t> cases[] = {{5, 1}, {0, 0}, {0x0100, 1}};
    for (auto [value, sent] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(write(0x0800, 1, &value), 1);
        const auto reqs = take_requests();
        ASSERT_EQ(reqs.size(), 1U);
        EXPECT_EQ(reqs[0].command, 0x10);
        EXPECT_EQ(reqs[0].data, std::vector<uint8_t>{sent});
    }
}

TEST_F(Regs, FailedCallsSendEveryBatchAndLogOnce) {
    struct Case {
        bool writing;
        uint32_t start;
        uint32_t quantity;
        std::vector<SimFault> faults;
        size_t requests;
        const char* line;
    };
    const Case cases[] = {
        {false, 0x0000, 24, {SimFault::nak}, 2, "read failed (RN 1, WC 24)"},
        {false, 0x0000, 24, {SimFault::none, SimFault::nak}, 2, "read failed (RN 1, WC 24)"},
        {false, 0x0200, 125, {SimFault::nak, SimFault::nak}, 3, "read failed (RN 513, WC 125)"},
        {true, 0x0200, 50, {SimFault::nak}, 2, "write failed (RN 513, WC 50)"},
        {true, 0x0200, 50, {SimFault::none, SimFault::nak}, 2, "write failed (RN 513, WC 50)"},
        {false, 0x0600, 9, {SimFault::nak}, 1, "read failed (RN 1537, WC 9)"},
        {true, 0x0600, 9, {SimFault::nak}, 1, "write failed (RN 1537, WC 9)"},
        {true, 0x0800, 1, {SimFault::nak}, 1, "write failed (RN 2049, WC 1)"},
    };
    std::vector<uint16_t> values(125, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        set_faults(c.faults);
        LogCapture log;
        EXPECT_EQ(c.writing ? write(c.start, c.quantity, values.data())
                            : read(c.start, c.quantity, values.data()),
                  0);
        EXPECT_EQ(take_requests().size(), c.requests);
        EXPECT_EQ(log.lines().size(), 1U);
        EXPECT_EQ(log.count(LOG_NOTICE, c.line), 1);
    }
}

TEST_F(Regs, FailedReadBatchReadsZeroAndOthersKeepTheirValues) {
    std::vector<std::tuple<char, int, uint16_t>> device;
    for (char type : {'@', 'A', 'B', 'D', 'E', 'F', 'G'})
        for (int n = 1; n <= 132; ++n)
            device.emplace_back(type, n, 1);
    for (int n = 1; n <= 8; ++n)
        device.emplace_back('a', n, 0x1230 + n);
    set_items(device);
    struct Case {
        std::vector<SimFault> faults;
        std::vector<uint16_t> expected;
    };
    // clang-format off
    const Case cases[] = {
        {{SimFault::nak}, {0, 0, 0, 0, 0, 0x01FF, 0x000F, 0x00FF, 0x000F, 0x000F, 0x000F,
                           0, 0, 0, 0, 0,
                           0x1231, 0x1232, 0x1233, 0x1234, 0x1235, 0x1236, 0x1237, 0x1238}},
        {{SimFault::none, SimFault::nak}, {0xFFFF, 0x00FF, 0x7FFF, 0, 0x000F,
                                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    // clang-format on
    for (const Case& c : cases) {
        set_faults(c.faults);
        std::vector<uint16_t> values(24, kUntouched);
        EXPECT_EQ(read(0x0000, 24, values.data()), 0);
        EXPECT_EQ(values, c.expected);
        EXPECT_EQ(take_requests().size(), 2U);
    }

    sim_->with([](DevSim& s) {
        s.block.fill(0xFF);
        s.next_faults = {SimFault::nak};
    });
    std::vector<uint16_t> block(9, kUntouched);
    EXPECT_EQ(read(0x0600, 9, block.data()), 0);
    EXPECT_EQ(block, std::vector<uint16_t>(9, 0));
}

} // namespace
