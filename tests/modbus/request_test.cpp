#include <syslog.h>

#include "modbus/request.h"
#include "sim_link.h"
#include "support.h"

namespace {

constexpr int STATION = 7;

// One request through the parser (a fresh one: a new connection), the handler and the encoder.
Bytes roundtrip(SimLink& link, const Bytes& request, MbapParser* parser = nullptr) {
    MbapParser fresh;
    mbap_reset(fresh);
    MbapFrame* frame = parse_one(parser != nullptr ? *parser : fresh, request);
    return frame == nullptr ? Bytes{}
                            : serialize(modbus_handle_request(link.registers(STATION), *frame));
}

// A function 16 request of unit 0x2A, transaction 0x0100, with the values big-endian.
Bytes write_request(uint16_t start, uint16_t quantity, uint8_t byte_count,
                    const std::vector<uint16_t>& values) {
    Bytes body = {0x2A, 0x10, uint8_t(start >> 8), uint8_t(start), uint8_t(quantity >> 8)};
    body.push_back(uint8_t(quantity));
    body.push_back(byte_count);
    for (uint16_t v : values) {
        body.push_back(uint8_t(v >> 8));
        body.push_back(uint8_t(v));
    }
    return wire(0x0100, 0, uint16_t(body.size()), body);
}

} // namespace

// Registers 0x0010 and 0x0011 hold 'a' items 1 and 2; 0x0400 holds 'i' item 1.
TEST(ModbusRequest, WireExamples) {
    SimLink link;
    link.set_item('a', 1, 300);
    link.set_item('a', 2, 5);
    LogCapture log;
    const struct {
        Bytes request;
        const char* response;
        size_t device_requests;
        SimFault fault = SimFault::none;
    } rows[] = {
        {hex("00 07 00 00 00 06 01 03 00 10 00 02"), "00 07 00 00 00 07 01 03 04 01 2C 00 05", 1},
        // The unit identifier is echoed; the protocol identifier too, and not tested.
        {hex("00 09 00 00 00 06 FF 03 00 10 00 02"), "00 09 00 00 00 07 FF 03 04 01 2C 00 05", 1},
        {hex("00 0A 12 34 00 06 01 03 00 11 00 01"), "00 0A 12 34 00 05 01 03 02 00 05", 1},
        {hex("00 01 00 00 00 06 11 04 00 00 00 01"), "00 01 00 00 00 03 11 84 01", 0},
        {hex("00 02 00 00 00 06 01 83 00 10 00 02"), "00 02 00 00 00 03 01 83 01", 0},
        {hex("00 03 00 00 00 06 01 03 00 10 00 00"), "00 03 00 00 00 03 01 83 03", 0},
        {hex("00 04 00 00 00 06 01 03 00 10 00 7E"), "00 04 00 00 00 03 01 83 03", 0},
        {hex("00 04 00 00 00 06 01 03 00 10 01 01"), "00 04 00 00 00 03 01 83 03", 0},
        {hex("00 05 00 00 00 07 01 10 00 10 00 00 00"), "00 05 00 00 00 03 01 90 03", 0},
        // Start and quantity of a frame too short to carry them read as 0 on a new connection.
        {hex("00 0B 00 00 00 02 01 03"), "00 0B 00 00 00 03 01 83 03", 0},
        {hex("00 06 00 00 00 0C 01 10 00 10 00 02 05 01 02 03 04 05"), "00 06 00 00 00 03 01 90 03",
         0},
        {write_request(0x0010, 2, 3, {0x0102, 0x0304}), "01 00 00 00 00 03 2A 90 03", 0},
        // A device that fails is exception 4, for reads and writes.
        {hex("00 07 00 00 00 06 01 03 00 10 00 02"), "00 07 00 00 00 03 01 83 04", 1,
         SimFault::silent},
        {write_request(0x0400, 1, 2, {0x55AA}), "01 00 00 00 00 03 2A 90 04", 1, SimFault::nak},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.response);
        const size_t before = link.requests();
        link.sim.with([&](DevSim& s) { s.next_faults = {r.fault}; });
        EXPECT_EQ(roundtrip(link, r.request), hex(r.response));
        EXPECT_EQ(link.requests() - before, r.device_requests);
    }
    // The field device is addressed by the station, never by the unit identifier.
    link.sim.with([](DevSim& s) {
        for (const SimRequest& q : s.requests)
            EXPECT_EQ(q.station, STATION);
        EXPECT_EQ(s.items['i'][1], 0);
    });
    // Only the register layer speaks, once per failed transfer.
    EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                               {LOG_NOTICE, "read failed (RN 17, WC 2)"},
                               {LOG_NOTICE, "write failed (RN 1025, WC 1)"}}));
}

// Registers 0x0400..0x0463 hold 'i' items 1..100; the registers after them have no row.
TEST(ModbusRequest, LargestQuantities) {
    SimLink link;
    for (int k = 1; k <= 100; ++k)
        link.set_item('i', uint8_t(k), uint16_t(0x1200 + k));
    const Bytes read = roundtrip(link, hex("00 08 00 00 00 06 01 03 04 00 00 7D"));
    ASSERT_EQ(read.size(), 259u);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 9), hex("00 08 00 00 00 FD 01 03 FA"));
    for (size_t i = 0; i < 125; ++i)
        EXPECT_EQ(read[9 + 2 * i] << 8 | read[10 + 2 * i], i < 100 ? 0x1201 + i : 0) << i;

    std::vector<uint16_t> values(124);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = uint16_t(0xA000 + i);
    EXPECT_EQ(roundtrip(link, write_request(0x0400, 124, 248, values)),
              hex("01 00 00 00 00 03 2A 90 03"));
    values.pop_back();
    const size_t before = link.requests();
    EXPECT_EQ(roundtrip(link, write_request(0x0400, 123, 246, values)),
              hex("01 00 00 00 00 06 2A 10 04 00 00 7B"));
    EXPECT_EQ(link.requests(), before + 3);
    link.sim.with([](DevSim& s) {
        for (int k = 1; k <= 100; ++k)
            EXPECT_EQ(s.items['i'][k], 0xA000 + k - 1) << k;
    });
}

// A frame too short for its fields would otherwise take them from what the previous request
// left in the parser's frame: here a write of registers 0x0010..0x0011, which are mapped.
TEST(ModbusRequest, ShortFramesNeverReachTheDevice) {
    SimLink link;
    // Each length from the shortest up to the whole body; executed from `complete` on.
    const std::tuple<Bytes, uint16_t, uint16_t> rows[] = {
        {hex("01 03 00 10 00 02 AA BB"), 2, 6},
        {hex("01 10 00 10 00 02 04 00 11 00 22 AA BB"), 6, 11},
    };
    LogCapture log;
    for (const auto& [body, shortest, complete] : rows) {
        for (uint16_t length = shortest; length <= body.size(); ++length) {
            SCOPED_TRACE("function " + std::to_string(body[1]) + " length " +
                         std::to_string(length));
            MbapParser parser;
            mbap_reset(parser);
            ASSERT_EQ(roundtrip(link, write_request(0x0010, 2, 4, {0x33, 0x44}), &parser).size(),
                      12u);
            const size_t before = link.requests();
            const Bytes response = roundtrip(
                link, wire(0x0042, 0, length, Bytes(body.begin(), body.begin() + length)), &parser);
            ASSERT_GE(response.size(), 9u);
            EXPECT_EQ(link.requests(), before + (length >= complete));
            if (length >= complete) {
                EXPECT_EQ(response[7], body[1]);
            } else {
                EXPECT_EQ(response, (Bytes{0, 0x42, 0, 0, 0, 3, 1, uint8_t(body[1] | 0x80), 3}));
            }
        }
    }
    link.sim.with([](DevSim& s) { EXPECT_EQ(s.items['a'][1], 0x11); });
    EXPECT_TRUE(log.lines().empty());
}
