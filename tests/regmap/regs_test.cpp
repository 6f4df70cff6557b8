// SPDX-License-Identifier: Apache-2.0
#include "regmap/regs.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "support.h"

namespace {

constexpr int STATION = 7;
constexpr uint16_t UNTOUCHED = 0xAAAA;

using Values = std::vector<uint16_t>;
using Data = std::vector<uint8_t>;
using ItemRef = std::pair<uint8_t, uint8_t>; // item type, item number

// "@1-24 A129-132 | H50": the item references of each request, requests separated by '|'.
std::vector<std::vector<ItemRef>> batches(const char* text) {
    std::vector<std::vector<ItemRef>> out(1);
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        int first = 0, last = 0;
        if (word == "|")
            out.emplace_back();
        else if (sscanf(word.c_str() + 1, "%d-%d", &first, &last) >= 1)
            for (int k = first; k <= std::max(first, last); ++k)
                out.back().emplace_back(word[0], k);
    }
    return out;
}

// The item references of a read (3 bytes per item) or write (4 bytes, 5 for 'i') request.
std::vector<ItemRef> request_items(const SimRequest& req) {
    std::vector<ItemRef> out;
    size_t pos = 1;
    while (pos + 3 <= req.data.size()) {
        out.emplace_back(req.data[pos], req.data[pos + 1]);
        pos += req.command == 0x00 ? 3 : (req.data[pos] == 'i' ? 5 : 4);
    }
    EXPECT_EQ(pos, req.data.size());
    EXPECT_EQ(req.data.at(0), out.size());
    return out;
}

// The translation on one end of a pty, the simulated device on the other.
class Regs : public testing::Test {
protected:
    int call(bool writing, uint32_t start, uint32_t quantity, uint16_t* values) {
        DevLine line{line_.slave};
        return writing ? regs_write(line, STATION, start, quantity, values)
                       : regs_read(line, STATION, start, quantity, values);
    }
    // The requests received since the last call, each checked for the station.
    std::vector<SimRequest> take_requests() {
        auto reqs = sim_.with([](DevSim& s) { return std::exchange(s.requests, {}); });
        for (const SimRequest& r : reqs)
            EXPECT_EQ(r.station, STATION);
        return reqs;
    }

    Pty line_;
    DevSimServer sim_{line_.master};
};

TEST_F(Regs, WorkedBatchingsInBothDirections) {
    const std::tuple<uint32_t, uint32_t, const char*> cases[] = {
        {0x0000, 24, "@1-24 A1-15 A129-132 | B1-9 B129-132 D1-8 E1-4 F1-4 G1-4 a1-8"},
        {0x0100, 11, "@1-24 A1-8 A129-132 B1-6 B129-132 | D1-8 E1-4 F1-4 G1-4"},
        {0x0200, 49, "H1-49"},
        {0x0200, 50, "H1-49 | H50"},
        {0x0200, 125, "H1-49 | H50-98 | H99-100"},
        {0x2000, 125, "@1-24"},
    };
    Values values(125, 0xFFFF);
    for (const auto& [start, quantity, expected] : cases) {
        for (bool writing : {false, true}) {
            SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << start << std::dec
                                            << " quantity " << quantity << " write " << writing);
            EXPECT_EQ(call(writing, start, quantity, values.data()), 1);
            std::vector<std::vector<ItemRef>> got;
            for (const SimRequest& r : take_requests()) {
                EXPECT_EQ(r.command, writing ? 0x01 : 0x00);
                got.push_back(request_items(r));
            }
            EXPECT_EQ(got, batches(expected));
        }
    }
}

TEST_F(Regs, ReadPlacesItemValues) {
    // Start, the device's items, and the values read: one element per register.
    const std::tuple<uint32_t, std::vector<std::tuple<char, int, uint16_t>>, Values> cases[] = {
        {0x0000, {{'@', 1, 1}, {'@', 16, 7}}, {0x8001}},
        {0x0001, {{'@', 17, 1}, {'@', 24, 200}, {'@', 25, 1}}, {0x0081}},
        // Items past a register's count and rows of count 0 never show.
        {0x0002, {{'A', 15, 1}, {'A', 16, 1}, {'A', 17, 1}, {'A', 132, 1}}, {0x4000, 0, 0x0008}},
        // The second batch starts at 0x0005; its answers land on their own registers.
        {0x0000, {{'@', 1, 1}, {'B', 9, 1}}, {0x0001, 0, 0, 0, 0, 0x0100}},
        {0x0200, {{'H', 1, 255}, {'H', 2, 128}}, {255, 128}},
        {0x0017, {{'a', 8, 0xBEEF}}, {0xBEEF, 0}},
        {0x0400, {{'i', 1, 0xFFFF}, {'i', 2, 0x1234}}, {0xFFFF, 0x1234}},
        {0x000A, {{'G', 1, 1}, {'G', 4, 1}, {'a', 1, 0x0102}}, {0x0009, 0, 0, 0, 0, 0, 0x0102}},
        {0x2017, {{'@', 24, 1}}, {1, 0}},
    };
    for (const auto& [start, device, expected] : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << start);
        sim_.with([&device = device](DevSim& s) {
            s.items = {};
            for (auto [type, number, value] : device)
                s.items[static_cast<uint8_t>(type)][static_cast<size_t>(number)] = value;
        });
        Values values(expected.size(), UNTOUCHED);
        EXPECT_EQ(call(false, start, static_cast<uint32_t>(values.size()), values.data()), 1);
        EXPECT_EQ(values, expected);
    }
}

TEST_F(Regs, WriteSendsItemValues) {
    // Start, the values written, and the data of the one request expected.
    const std::tuple<uint32_t, Values, Data> cases[] = {
        {0x0001, {0xFF01}, {8,   '@', 17, 0, 1,   '@', 18, 0, 0,   '@', 19, 0, 0,   '@', 20, 0, 0,
                            '@', 21,  0,  0, '@', 22,  0,  0, '@', 23,  0,  0, '@', 24,  0,  0}},
        {0x0010, {0x1234}, {1, 'a', 1, 0, 0x34}},
        {0x0400, {0x1234}, {1, 'i', 1, 0, 0x34, 0x12}},
        {0x0200, {0x01FF}, {1, 'H', 1, 0, 0xFF}},
        {0x0017, {0x00AA, 0x5555, 0x0001}, {1, 'a', 8, 0, 0xAA}},
    };
    for (auto [start, values, data] : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << start);
        EXPECT_EQ(call(true, start, static_cast<uint32_t>(values.size()), values.data()), 1);
        const auto reqs = take_requests();
        ASSERT_EQ(reqs.size(), 1U);
        EXPECT_EQ(reqs[0].command, 0x01);
        EXPECT_EQ(reqs[0].data, data);
    }
    // Across batches every value still goes with its own register.
    Values values(50);
    std::iota(values.begin(), values.end(), 1);
    EXPECT_EQ(call(true, 0x0200, 50, values.data()), 1);
    const auto reqs = take_requests();
    ASSERT_EQ(reqs.size(), 2U);
    EXPECT_EQ(reqs[0].data.at(4 + 4 * 48), 49);
    EXPECT_EQ(reqs[1].data, (Data{1, 'H', 50, 0, 50}));
}

// Read and written, these ranges cause no traffic and no message; a read clears `zeroed`
// elements, a write leaves the array alone.
TEST_F(Regs, RangesWithoutMappedRegistersSendNothing) {
    const std::tuple<uint32_t, uint32_t, uint32_t> cases[] = {
        {0x0600, 8, 8},       {0x0600, 10, 10},      {0x0601, 9, 9}, {0x0800, 2, 2},
        {0x0003, 1, 1},       {0xFFF0, 125, 125},    {0, 0, 0},      {0xFFFFFFFF, 1, 0},
        {0xFFFFFFFF, 125, 0}, {0xFFFFFFF0, 0x20, 0},
    };
    LogCapture log;
    for (const auto& [start, quantity, zeroed] : cases) {
        for (bool writing : {false, true}) {
            SCOPED_TRACE(testing::Message() << std::hex << "start 0x" << start << " quantity 0x"
                                            << quantity << " write " << writing);
            Values values(130, UNTOUCHED);
            EXPECT_EQ(call(writing, start, quantity, values.data()), 1);
            EXPECT_TRUE(take_requests().empty());
            for (size_t k = 0; k < values.size(); ++k)
                ASSERT_EQ(values[k], !writing && k < zeroed ? 0 : UNTOUCHED) << "element " << k;
        }
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Regs, BlockAndFlagRanges) {
    sim_.with([](DevSim& s) { s.block = {1, 2, 0x11, 0x12, 0x13, 0x14, 0xF5, 0x16, 0x17, 0x18}; });
    Values values(9, UNTOUCHED);
    EXPECT_EQ(call(false, 0x0600, 9, values.data()), 1);
    EXPECT_EQ(values, (Values{0x0201, 0x11, 0x12, 0x13, 0x14, 0xF5, 0x16, 0x17, 0x18}));
    // High bytes of the byte fields are dropped; byte[6] and byte[7] never travel.
    values = {0x0201, 0x0141, 0xFF12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x0118};
    EXPECT_EQ(call(true, 0x0600, 9, values.data()), 1);
    // Any non-zero value sets the flag; the flag register alone reads 0 without a request.
    for (uint16_t flag : {5, 0, 0x0100})
        EXPECT_EQ(call(true, 0x0800, 1, &flag), 1);
    EXPECT_EQ(call(false, 0x0800, 1, values.data()), 1);
    EXPECT_EQ(values[0], 0);
    const auto reqs = take_requests();
    ASSERT_EQ(reqs.size(), 5U);
    const std::pair<uint8_t, Data> expected[] = {{0x20, {}},
                                                 {0x21, {1, 2, 0x41, 0x12, 0x13, 0x14, 0x15, 0x18}},
                                                 {0x10, {1}},
                                                 {0x10, {0}},
                                                 {0x10, {1}}};
    for (size_t i = 0; i < reqs.size(); ++i)
        EXPECT_EQ(std::pair(reqs[i].command, reqs[i].data), expected[i]) << "request " << i;
}

// Every batch is sent and one line logged; the registers of a failed read batch read 0.
TEST_F(Regs, FailedCallsSendEveryBatchAndLogOnce) {
    sim_.with([](DevSim& s) {
        for (auto& items : s.items)
            items.fill(1);
        s.block.fill(0xFF);
    });
    // The faults per request ('N' NAK, '.' none), the requests sent, the one line logged, which
    // names the call made, and the registers of a read that must read 0.
    const std::tuple<const char*, size_t, const char*, uint32_t, uint32_t> cases[] = {
        {"N", 2, "read failed (RN 1, WC 24)", 0, 5},
        {".N", 2, "read failed (RN 1, WC 24)", 5, 24},
        {"NN", 3, "read failed (RN 513, WC 125)", 0, 98},
        {"N", 1, "read failed (RN 1537, WC 9)", 0, 9},
        {"N", 2, "write failed (RN 513, WC 50)", 0, 0},
        {".N", 2, "write failed (RN 513, WC 50)", 0, 0},
        {"N", 1, "write failed (RN 1537, WC 9)", 0, 0},
        {"N", 1, "write failed (RN 2049, WC 1)", 0, 0},
    };
    for (const auto& [faults, requests, line, zero_from, zero_to] : cases) {
        SCOPED_TRACE(line);
        unsigned rn = 0, wc = 0;
        ASSERT_EQ(sscanf(line, "%*s failed (RN %u, WC %u)", &rn, &wc), 2);
        const bool writing = line[0] == 'w';
        // What a read gives without faults, less the registers of the failed batches.
        Values expected(125, 1);
        if (!writing) {
            ASSERT_EQ(call(false, rn - 1, wc, expected.data()), 1);
            take_requests();
            std::fill(expected.begin() + zero_from, expected.begin() + zero_to, 0);
        }
        sim_.with([faults = faults](DevSim& s) {
            for (const char* f = faults; *f != '\0'; ++f)
                s.next_faults.push_back(*f == 'N' ? SimFault::nak : SimFault::none);
        });
        LogCapture log;
        Values values(125, 1);
        EXPECT_EQ(call(writing, rn - 1, wc, values.data()), 0);
        EXPECT_EQ(take_requests().size(), requests);
        EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{{LOG_NOTICE, line}}));
        EXPECT_EQ(values, expected);
    }
}

} // namespace
