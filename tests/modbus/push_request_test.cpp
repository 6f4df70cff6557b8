#include <algorithm>
#include <tuple>

#include "modbus/push_request.h"
#include "sim_link.h"

namespace {

constexpr int STATION = 9;

// 'i' items 1..100 stand behind registers 0x0400..0x0463; the registers after them have no row.
TEST(PushRequest, EncodesStartQuantityAndDeviceValues) {
    SimLink link;
    for (int k = 1; k <= 100; ++k)
        link.set_item('i', uint8_t(k), uint16_t(0xC000 + k));
    const MbapFrame* frame = modbus_build_write_request(link.registers(STATION), 0x0400, 123);
    ASSERT_NE(frame, nullptr);
    const Bytes longest = serialize(*frame);
    ASSERT_EQ(longest.size(), 259u);
    EXPECT_EQ(Bytes(longest.begin(), longest.begin() + 13),
              hex("00 00 00 00 00 FD 01 10 04 00 00 7B F6"));
    for (size_t i = 0; i < 123; ++i)
        EXPECT_EQ(longest[13 + 2 * i] << 8 | longest[14 + 2 * i], i < 100 ? 0xC001 + i : 0) << i;

    // Shorter requests into the same frame; register 99 has no row and reads 0 without traffic.
    const std::tuple<uint32_t, const char*, size_t> rows[] = {
        {0x0401, "00 00 00 00 00 0B 01 10 04 01 00 02 04 C0 02 C0 03", 1},
        {99, "00 00 00 00 00 0B 01 10 00 63 00 02 04 00 00 00 00", 0},
    };
    for (const auto& [start, expected, device_requests] : rows) {
        const size_t before = link.requests();
        ASSERT_EQ(modbus_build_write_request(link.registers(STATION), start, 2), frame);
        EXPECT_EQ(serialize(*frame), hex(expected));
        EXPECT_EQ(link.requests() - before, device_requests);
        // Nothing of the longer request stays behind the new one.
        EXPECT_TRUE(std::all_of(frame->body.begin() + frame->length, frame->body.end(),
                                [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(frame->reserved, 0u);
    }
    link.sim.with([](DevSim& s) { EXPECT_EQ(s.requests.at(0).station, STATION); });
}

// A quantity out of range or a failed read gives no request and leaves the last one as it was.
TEST(PushRequest, NoneLeavesThePreviousRequest) {
    SimLink link;
    link.set_item('i', 1, 0x1234);
    const MbapFrame* frame = modbus_build_write_request(link.registers(STATION), 0x0400, 1);
    ASSERT_NE(frame, nullptr);
    const Bytes earlier = serialize(*frame);
    link.set_item('i', 1, 0x5678);
    const std::tuple<uint32_t, SimFault, size_t> rows[] = {
        {0, SimFault::none, 0}, {124, SimFault::none, 0}, {2, SimFault::nak, 1}};
    for (const auto& [quantity, fault, device_requests] : rows) {
        SCOPED_TRACE(quantity);
        link.sim.with([fault = fault](DevSim& s) { s.next_faults = {fault}; });
        const size_t before = link.requests();
        EXPECT_EQ(modbus_build_write_request(link.registers(STATION), 0x0400, quantity), nullptr);
        EXPECT_EQ(link.requests() - before, device_requests);
        EXPECT_EQ(serialize(*frame), earlier);
    }
}

// Only length and function code count: address, quantity and unit id of the answer do not.
TEST(PushRequest, AcknowledgementJudgedByLengthAndFunction) {
    EXPECT_EQ(modbus_is_write_ack(nullptr), 0);
    const std::pair<const char*, int> rows[] = {
        {"00 00 00 00 00 06 01 10 00 63 00 02", 1}, {"00 05 00 00 00 06 01 10 01 00 00 02", 1},
        {"00 00 00 00 00 06 22 10 00 63 00 02", 1}, {"00 00 00 00 00 03 01 90 04", 0},
        {"00 00 00 00 00 06 01 03 00 63 00 02", 0}, {"00 00 00 00 00 07 01 10 00 63 00 02 00", 0},
        {"00 00 00 00 00 06 01 90 00 63 00 02", 0},
    };
    for (const auto& [answer, ack] : rows) {
        MbapParser parser;
        mbap_reset(parser);
        EXPECT_EQ(modbus_is_write_ack(parse_one(parser, hex(answer))), ack) << answer;
    }
}

} // namespace
