#include "modbus/request.h"
#include "sim_link.h"

namespace {

constexpr int STATION = 9;

TEST(PushRequest, EncodesStartQuantityAndDeviceValues) {
    SimLink link;
    link.set_item('i', 1, 300);
    link.set_item('i', 2, 5);
    struct Row {
        uint32_t start;
        Bytes expected;
        size_t device_requests;
    } rows[] = {
        // 'i' items 1 and 2 stand behind registers 0x0400 and 0x0401.
        {0x0400, {0, 0, 0, 0, 0, 0x0B, 0x01, 0x10, 0x04, 0x00, 0, 2, 4, 0x01, 0x2C, 0x00, 0x05}, 1},
        // Register 99 has no map row: it reads 0 without device traffic.
        {99, {0, 0, 0, 0, 0, 0x0B, 0x01, 0x10, 0x00, 0x63, 0, 2, 4, 0x00, 0x00, 0x00, 0x00}, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.start);
        const size_t before = link.requests();
        const MbapFrame* frame = modbus_build_write_request(link.fd(), STATION, r.start, 2);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(serialize(*frame), r.expected);
        EXPECT_EQ(link.requests() - before, r.device_requests);
    }
    link.server->with([](DevSim& s) { EXPECT_EQ(s.requests.at(0).station, STATION); });
}

TEST(PushRequest, LongestThenShorterLeavesNothingBehind) {
    SimLink link;
    for (int k = 1; k <= 100; ++k)
        link.set_item('i', uint8_t(k), uint16_t(0xC000 + k));
    const MbapFrame* frame = modbus_build_write_request(link.fd(), STATION, 0x0400, 123);
    ASSERT_NE(frame, nullptr);
    const Bytes longest = serialize(*frame);
    ASSERT_EQ(longest.size(), 259u);
    EXPECT_EQ(Bytes(longest.begin(), longest.begin() + 13),
              (Bytes{0, 0, 0, 0, 0, 253, 0x01, 0x10, 0x04, 0x00, 0, 123, 246}));
    for (size_t i = 0; i < 123; ++i) {
        const uint16_t expected = i < 100 ? uint16_t(0xC000 + i + 1) : 0;
        EXPECT_EQ(longest[13 + 2 * i] << 8 | longest[14 + 2 * i], expected) << "register " << i;
    }

    ASSERT_EQ(modbus_build_write_request(link.fd(), STATION, 0x0401, 1), frame);
    MbapFrame expected{};
    expected.length = 9;
    const uint8_t body[] = {0x01, 0x10, 0x04, 0x01, 0, 1, 2, 0xC0, 0x02};
    std::copy(std::begin(body), std::end(body), expected.body.begin());
    EXPECT_EQ(frame->transaction_id, 0u);
    EXPECT_EQ(frame->protocol_id, 0u);
    EXPECT_EQ(frame->length, 9u);
    EXPECT_EQ(frame->reserved, 0u);
    EXPECT_EQ(frame->body, expected.body);
}

TEST(PushRequest, NoneLeavesThePreviousRequest) {
    SimLink link;
    link.set_item('i', 1, 0x1234);
    const MbapFrame* frame = modbus_build_write_request(link.fd(), STATION, 0x0400, 1);
    ASSERT_NE(frame, nullptr);
    const Bytes earlier = serialize(*frame);
    struct Row {
        uint32_t quantity;
        SimFault fault;
        size_t device_requests;
    } rows[] = {{0, SimFault::none, 0}, {124, SimFault::none, 0}, {2, SimFault::nak, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.quantity);
        link.set_item('i', 1, 0x5678);
        if (r.fault != SimFault::none)
            link.fault_next(r.fault);
        const size_t before = link.requests();
        EXPECT_EQ(modbus_build_write_request(link.fd(), STATION, 0x0400, r.quantity), nullptr);
        EXPECT_EQ(link.requests() - before, r.device_requests);
        EXPECT_EQ(serialize(*frame), earlier);
    }
}

TEST(PushRequest, AcknowledgementJudgedByLengthAndFunction) {
    EXPECT_EQ(modbus_is_write_ack(nullptr), 0);
    struct Row {
        Bytes answer;
        int ack;
    } rows[] = {
        {{0, 0, 0, 0, 0, 6, 0x01, 0x10, 0x00, 0x63, 0x00, 0x02}, 1},
        {{0, 5, 0, 0, 0, 6, 0x01, 0x10, 0x01, 0x00, 0x00, 0x02}, 1}, // other address
        {{0, 0, 0, 0, 0, 6, 0x22, 0x10, 0x00, 0x63, 0x00, 0x02}, 1}, // other unit id
        {{0, 0, 0, 0, 0, 3, 0x01, 0x90, 0x04}, 0},
        {{0, 0, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x63, 0x00, 0x02}, 0},
        {{0, 0, 0, 0, 0, 7, 0x01, 0x10, 0x00, 0x63, 0x00, 0x02, 0x00}, 0},
    };
    for (const Row& r : rows) {
        MbapParser parser;
        mbap_reset(parser);
        EXPECT_EQ(modbus_is_write_ack(parse_one(parser, r.answer)), r.ack) << r.answer.size();
    }
}

} // namespace
