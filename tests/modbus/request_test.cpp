#include "modbus/request.h"
#include "sim_link.h"
#include "support.h"

namespace {

constexpr int STATION = 7;

// One request through a fresh parser (a new connection), the handler and the encoder.
Bytes roundtrip(SimLink& link, MbapParser& parser, const Bytes& request) {
    MbapFrame* frame = parse_one(parser, request);
    if (frame == nullptr)
        return {};
    return serialize(modbus_handle_request(link.fd(), STATION, *frame));
}

Bytes roundtrip(SimLink& link, const Bytes& request) {
    MbapParser parser;
    mbap_reset(parser);
    return roundtrip(link, parser, request);
}

// Registers 0x0010 and 0x0011 hold 'a' items 1 and 2.
TEST(ModbusRequest, WireExamples) {
    SimLink link;
    link.set_item('a', 1, 300);
    link.set_item('a', 2, 5);
    LogCapture log;
    struct Row {
        const char* what;
        Bytes request, response;
        size_t device_requests;
    } rows[] = {
        {"read 2 from 16",
         {0, 7, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02},
         {0, 7, 0, 0, 0, 7, 0x01, 0x03, 0x04, 0x01, 0x2C, 0x00, 0x05},
         1},
        {"unit id 0xFF echoed",
         {0, 9, 0, 0, 0, 6, 0xFF, 0x03, 0x00, 0x10, 0x00, 0x02},
         {0, 9, 0, 0, 0, 7, 0xFF, 0x03, 0x04, 0x01, 0x2C, 0x00, 0x05},
         1},
        {"protocol id executed and echoed",
         {0, 10, 0x12, 0x34, 0, 6, 0x01, 0x03, 0x00, 0x11, 0x00, 0x01},
         {0, 10, 0x12, 0x34, 0, 5, 0x01, 0x03, 0x02, 0x00, 0x05},
         1},
        {"function 4",
         {0, 1, 0, 0, 0, 6, 0x11, 0x04, 0x00, 0x00, 0x00, 0x01},
         {0, 1, 0, 0, 0, 3, 0x11, 0x84, 0x01},
         0},
        {"function code with bit 7 set",
         {0, 2, 0, 0, 0, 6, 0x01, 0x83, 0x00, 0x10, 0x00, 0x02},
         {0, 2, 0, 0, 0, 3, 0x01, 0x83, 0x01},
         0},
        {"read quantity 0",
         {0, 3, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x10, 0x00, 0x00},
         {0, 3, 0, 0, 0, 3, 0x01, 0x83, 0x03},
         0},
        {"read quantity 126",
         {0, 4, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x10, 0x00, 0x7E},
         {0, 4, 0, 0, 0, 3, 0x01, 0x83, 0x03},
         0},
        {"write quantity 0",
         {0, 5, 0, 0, 0, 7, 0x01, 0x10, 0x00, 0x10, 0x00, 0x00, 0x00},
         {0, 5, 0, 0, 0, 3, 0x01, 0x90, 0x03},
         0},
        {"write quantity 2 with byte count 5",
         {0, 6, 0, 0, 0, 12, 0x01, 0x10, 0x00, 0x10, 0x00, 0x02, 0x05, 1, 2, 3, 4, 5},
         {0, 6, 0, 0, 0, 3, 0x01, 0x90, 0x03},
         0},
        {"write quantity 2 with byte count 3",
         {0, 6, 0, 0, 0, 10, 0x01, 0x10, 0x00, 0x10, 0x00, 0x02, 0x03, 1, 2, 3},
         {0, 6, 0, 0, 0, 3, 0x01, 0x90, 0x03},
         0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const size_t before = link.requests();
        EXPECT_EQ(roundtrip(link, r.request), r.response);
        EXPECT_EQ(link.requests() - before, r.device_requests);
    }
    // The field device is addressed by the station, never by the unit identifier.
    link.server->with([](DevSim& s) {
        for (const SimRequest& q : s.requests)
            EXPECT_EQ(q.station, STATION);
    });
    EXPECT_TRUE(log.lines().empty());
}

Bytes write_request(uint16_t start, uint16_t quantity, uint8_t byte_count,
                    const std::vector<uint16_t>& values) {
    Bytes body = {0x2A,
                  0x10,
                  uint8_t(start >> 8),
                  uint8_t(start),
                  uint8_t(quantity >> 8),
                  uint8_t(quantity),
                  byte_count};
    for (uint16_t v : values) {
        body.push_back(uint8_t(v >> 8));
        body.push_back(uint8_t(v));
    }
    return wire(0x0100, 0, uint16_t(body.size()), body);
}

// Registers 0x0400..0x0463 hold 'i' items 1..100; the registers after them have no row.
TEST(ModbusRequest, LargestQuantities) {
    SimLink link;
    for (int k = 1; k <= 100; ++k)
        link.set_item('i', uint8_t(k), uint16_t(0x1200 + k));

    const Bytes read = roundtrip(link, {0, 8, 0, 0, 0, 6, 0x01, 0x03, 0x04, 0x00, 0x00, 125});
    ASSERT_EQ(read.size(), 259u);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 9), (Bytes{0, 8, 0, 0, 0, 253, 0x01, 0x03, 250}));
    for (size_t i = 0; i < 125; ++i) {
        const uint16_t expected = i < 100 ? uint16_t(0x1200 + i + 1) : 0;
        EXPECT_EQ(read[9 + 2 * i] << 8 | read[10 + 2 * i], expected) << "register " << i;
    }

    std::vector<uint16_t> values(124);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = uint16_t(0xA000 + i);
    const size_t before = link.requests();
    EXPECT_EQ(roundtrip(link, write_request(0x0400, 124, 248, values)),
              (Bytes{1, 0, 0, 0, 0, 3, 0x2A, 0x90, 0x03}));
    EXPECT_EQ(link.requests(), before);
    EXPECT_EQ(link.item('i', 1), 0x1201);

    values.pop_back();
    EXPECT_EQ(roundtrip(link, write_request(0x0400, 123, 246, values)),
              (Bytes{1, 0, 0, 0, 0, 6, 0x2A, 0x10, 0x04, 0x00, 0x00, 123}));
    for (int k = 1; k <= 100; ++k)
        EXPECT_EQ(link.item('i', uint8_t(k)), 0xA000 + k - 1);
}

TEST(ModbusRequest, DeviceFailureIsException4) {
    SimLink link;
    struct Row {
        SimFault fault;
        Bytes request, response;
    } rows[] = {
        {SimFault::silent,
         {0, 7, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02},
         {0, 7, 0, 0, 0, 3, 0x01, 0x83, 0x04}},
        {SimFault::nak,
         write_request(0x0400, 1, 2, {0x55AA}),
         {1, 0, 0, 0, 0, 3, 0x2A, 0x90, 0x04}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(sim_fault_name(r.fault));
        link.fault_next(r.fault);
        EXPECT_EQ(roundtrip(link, r.request), r.response);
    }
    EXPECT_EQ(link.item('i', 1), 0);
}

// A frame too short for its fields would otherwise take them from what the previous request
// left in the parser's frame: here a write of registers 0x0010..0x0011, which are mapped.
TEST(ModbusRequest, ShortFramesNeverReachTheDevice) {
    SimLink link;
    const Bytes read = {0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0xAA, 0xBB};
    const Bytes write = {0x01, 0x10, 0x00, 0x10, 0x00, 0x02, 0x04,
                         0x00, 0x11, 0x00, 0x22, 0xAA, 0xBB};
    struct Row {
        const Bytes& body;
        uint16_t length;
        bool fresh_connection, executed;
    } rows[] = {
        {read, 2, true, false},   {read, 2, false, false},   {read, 3, false, false},
        {read, 4, false, false},  {read, 5, false, false},   {read, 6, false, true},
        {read, 8, false, true},   {write, 6, false, false},  {write, 7, false, false},
        {write, 8, false, false}, {write, 10, false, false}, {write, 11, false, true},
        {write, 13, false, true},
    };
    LogCapture log;
    for (const Row& r : rows) {
        SCOPED_TRACE("function " + std::to_string(r.body[1]) + " length " +
                     std::to_string(r.length) + (r.fresh_connection ? " first" : ""));
        MbapParser parser;
        mbap_reset(parser);
        if (!r.fresh_connection) {
            ASSERT_EQ(roundtrip(link, parser, write_request(0x0010, 2, 4, {0x33, 0x44})).size(),
                      12u);
        }
        const size_t before = link.requests();
        const Bytes request =
            wire(0x0042, 0, r.length, Bytes(r.body.begin(), r.body.begin() + r.length));
        const Bytes response = roundtrip(link, parser, request);
        ASSERT_GE(response.size(), 9u);
        if (r.executed) {
            EXPECT_EQ(response[7], r.body[1]);
            EXPECT_EQ(link.requests(), before + 1);
        } else {
            EXPECT_EQ(response,
                      (Bytes{0, 0x42, 0, 0, 0, 3, 0x01, uint8_t(r.body[1] | 0x80), 0x03}));
            EXPECT_EQ(link.requests(), before);
        }
    }
    EXPECT_EQ(link.item('a', 1), 0x11);
    EXPECT_TRUE(log.lines().empty());
}

} // namespace
