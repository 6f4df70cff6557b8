// SPDX-License-Identifier: Apache-2.0
// The request handler and the push request on registers in memory: answers byte for byte, the
// exceptions and limits, and what reaches the registers.
#include <algorithm>
#include <tuple>

#include <gtest/gtest.h>

#include "modbus/push_request.h"
#include "modbus/request.h"
#include "register_store.h"
#include "support.h"

namespace {

// One request through a parser (a fresh one, as on a new connection, unless one is given), the
// handler and the encoder.
Bytes roundtrip(RegisterStore& store, const Bytes& request, MbapParser* parser = nullptr,
                uint32_t options = 0) {
    MbapParser fresh;
    mbap_reset(fresh);
    const uint8_t* next = request.data();
    int32_t left = static_cast<int32_t>(request.size());
    MbapFrame* frame = mbap_parse(parser != nullptr ? *parser : fresh, next, left);
    EXPECT_EQ(left, 0);
    return frame == nullptr ? Bytes{}
                            : mbap_bytes(modbus_handle_request(store.registers(), *frame, options));
}

unsigned transfers(const RegisterStore& store) {
    return store.reads + store.writes;
}

} // namespace

TEST(ModbusRequest, WireExamples) {
    RegisterStore store;
    store.values[0x10] = 300;
    store.values[0x11] = 5;
    store.failing = 0x0400;
    // Request, response, and whether the registers were asked for a transfer.
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"00 07 00 00 00 06 01 03 00 10 00 02", "00 07 00 00 00 07 01 03 04 01 2C 00 05", true},
        // Transaction id, protocol id and unit id come back as they came.
        {"AB CD 12 34 00 06 FF 03 00 11 00 01", "AB CD 12 34 00 05 FF 03 02 00 05", true},
        {"00 05 00 07 00 0B 2A 10 00 20 00 02 04 01 02 03 04",
         "00 05 00 07 00 06 2A 10 00 20 00 02", true},
        // Bytes after the values are allowed.
        {"00 06 00 00 00 0A 01 10 00 22 00 01 02 BE EF 99", "00 06 00 00 00 06 01 10 00 22 00 01",
         true},
        // Exception 1 for any other function, one with bit 7 set included.
        {"00 01 00 00 00 06 11 04 00 00 00 01", "00 01 00 00 00 03 11 84 01", false},
        {"00 02 00 00 00 06 01 83 00 10 00 02", "00 02 00 00 00 03 01 83 01", false},
        // Exception 3: quantity 0 or too large, a byte count other than twice the quantity.
        {"00 03 00 00 00 06 01 03 00 10 00 00", "00 03 00 00 00 03 01 83 03", false},
        {"00 03 00 00 00 06 01 03 00 10 00 7E", "00 03 00 00 00 03 01 83 03", false},
        {"00 03 00 00 00 06 01 03 00 10 01 01", "00 03 00 00 00 03 01 83 03", false},
        {"00 04 00 00 00 07 01 10 00 10 00 00 00", "00 04 00 00 00 03 01 90 03", false},
        {"00 04 00 00 00 0C 01 10 00 10 00 02 05 01 02 03 04 05", "00 04 00 00 00 03 01 90 03",
         false},
        {"00 04 00 00 00 0B 01 10 00 10 00 02 03 01 02 03 04", "00 04 00 00 00 03 01 90 03", false},
        // Exception 4 when the registers cannot be transferred.
        {"00 08 00 00 00 06 01 03 03 FF 00 02", "00 08 00 00 00 03 01 83 04", true},
        {"00 09 00 00 00 09 01 10 04 00 00 01 02 55 AA", "00 09 00 00 00 03 01 90 04", true},
    };
    for (const auto& [request, response, transferred] : rows) {
        SCOPED_TRACE(request);
        const unsigned before = transfers(store);
        EXPECT_EQ(roundtrip(store, hex(request)), hex(response));
        EXPECT_EQ(transfers(store) - before, transferred ? 1u : 0u);
    }
    EXPECT_EQ(store.values[0x20], 0x0102);
    EXPECT_EQ(store.values[0x21], 0x0304);
    EXPECT_EQ(store.values[0x22], 0xBEEF);
    EXPECT_EQ(store.values[0x23], 0);
    EXPECT_EQ(store.values[0x0400], 0);
}

TEST(ModbusRequest, LargestQuantities) {
    RegisterStore store;
    for (size_t i = 0; i < store.values.size(); ++i)
        store.values[i] = static_cast<uint16_t>(0x9E37 * i);
    // The last 125 registers.
    const Bytes read = roundtrip(store, read_request(8, 0xFF83, 125));
    ASSERT_EQ(read.size(), 259u);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 9), hex("00 08 00 00 00 FD 01 03 FA"));
    for (size_t i = 0; i < 125; ++i)
        EXPECT_EQ(read[9 + 2 * i] << 8 | read[10 + 2 * i], store.values[0xFF83 + i]) << i;

    std::vector<uint16_t> values(124);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<uint16_t>(0xA000 + i);
    EXPECT_EQ(roundtrip(store, write_request(9, 0x0400, values)),
              hex("00 09 00 00 00 03 01 90 03"));
    values.pop_back();
    EXPECT_EQ(roundtrip(store, write_request(10, 0x0400, values)),
              hex("00 0A 00 00 00 06 01 10 04 00 00 7B"));
    EXPECT_TRUE(std::equal(values.begin(), values.end(), store.values.begin() + 0x0400));
    EXPECT_EQ(store.values[0x0400 + 123], static_cast<uint16_t>(0x9E37 * (0x0400 + 123)));
    EXPECT_EQ(store.writes, 1u);
}

// Read-only: functions 16 and 6 (the latter also when it is served) are refused with exception 1
// and write nothing; reads are served as before.
TEST(ModbusRequest, ReadOnlyRefusesEveryWrite) {
    RegisterStore store;
    store.values[0x20] = 0x1234;
    constexpr uint32_t RO = MODBUS_READ_ONLY, RO_FC6 = MODBUS_READ_ONLY | MODBUS_SERVE_WRITE_SINGLE;
    const std::tuple<uint32_t, const char*, const char*> rows[] = {
        {RO, "00 01 00 00 00 09 01 10 00 20 00 01 02 BE EF", "00 01 00 00 00 03 01 90 01"},
        {RO, "00 02 00 00 00 06 01 06 00 20 BE EF", "00 02 00 00 00 03 01 86 01"},
        {RO_FC6, "00 03 00 00 00 06 01 06 00 20 BE EF", "00 03 00 00 00 03 01 86 01"},
        {RO_FC6, "00 04 00 00 00 06 01 03 00 20 00 01", "00 04 00 00 00 05 01 03 02 12 34"},
    };
    for (const auto& [options, request, response] : rows) {
        SCOPED_TRACE(request);
        EXPECT_EQ(roundtrip(store, hex(request), nullptr, options), hex(response));
    }
    EXPECT_EQ(store.writes, 0u);
    EXPECT_EQ(store.reads, 1u);
    EXPECT_EQ(store.values[0x20], 0x1234);
}

// A frame too short for its fields would otherwise take them from what the previous request
// left in the parser's frame: here a write of two registers from 0x0010.
TEST(ModbusRequest, ShortFramesAnswerExceptionThreeAndTransferNothing) {
    RegisterStore store;
    // The whole body, and the length from which it is complete.
    const std::pair<Bytes, uint16_t> rows[] = {
        {hex("01 03 00 10 00 02 AA BB"), 6},
        {hex("01 10 00 10 00 02 04 00 11 00 22 AA BB"), 11},
    };
    for (const auto& [body, complete] : rows) {
        for (uint16_t length = 2; length <= body.size(); ++length) {
            SCOPED_TRACE(testing::Message() << "function " << int{body[1]} << " length " << length);
            MbapParser parser;
            mbap_reset(parser);
            ASSERT_EQ(roundtrip(store, write_request(1, 0x0010, {0x33, 0x44}), &parser).size(),
                      12u);
            const unsigned before = transfers(store);
            const Bytes response = roundtrip(
                store, mbap_wire(0x42, 0, length, Bytes(body.begin(), body.begin() + length)),
                &parser);
            EXPECT_EQ(transfers(store) - before, length >= complete ? 1u : 0u);
            if (length < complete)
                EXPECT_EQ(response, (Bytes{0, 0x42, 0, 0, 0, 3, 1, uint8_t(body[1] | 0x80), 3}));
            else
                EXPECT_EQ(response.at(7), body[1]);
        }
    }
    EXPECT_EQ(store.values[0x10], 0x11);
}

TEST(PushRequest, EncodesStartQuantityAndValues) {
    RegisterStore store;
    for (uint32_t k = 0; k < 123; ++k)
        store.values[0x0400 + k] = static_cast<uint16_t>(0xC000 + k);
    const MbapFrame* frame = modbus_build_write_request(store.registers(), 0x0400, 123);
    ASSERT_NE(frame, nullptr);
    const Bytes longest = mbap_bytes(*frame);
    ASSERT_EQ(longest.size(), 259u);
    EXPECT_EQ(Bytes(longest.begin(), longest.begin() + 13),
              hex("00 00 00 00 00 FD 01 10 04 00 00 7B F6"));
    for (size_t i = 0; i < 123; ++i)
        EXPECT_EQ(longest[13 + 2 * i] << 8 | longest[14 + 2 * i], 0xC000 + i) << i;

    // A shorter request goes into the same frame, and nothing of the longer one stays behind it.
    ASSERT_EQ(modbus_build_write_request(store.registers(), 0x0401, 2), frame);
    EXPECT_EQ(mbap_bytes(*frame), hex("00 00 00 00 00 0B 01 10 04 01 00 02 04 C0 01 C0 02"));
    EXPECT_TRUE(std::all_of(frame->body.begin() + frame->length, frame->body.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(frame->reserved, 0u);

    // Quantity 0 or over 123, or a failed read: no request, and the last one stays as it was.
    store.failing = 0x0402;
    const Bytes last = mbap_bytes(*frame);
    for (const auto& [start, quantity, reads] :
         {std::tuple{0x0400u, 0u, 0u}, {0x0400u, 124u, 0u}, {0x0401u, 2u, 1u}}) {
        const unsigned before = store.reads;
        EXPECT_EQ(modbus_build_write_request(store.registers(), start, quantity), nullptr);
        EXPECT_EQ(store.reads - before, reads) << quantity;
        EXPECT_EQ(mbap_bytes(*frame), last) << quantity;
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
        const Bytes wire = hex(answer);
        const uint8_t* next = wire.data();
        int32_t left = static_cast<int32_t>(wire.size());
        EXPECT_EQ(modbus_is_write_ack(mbap_parse(parser, next, left)), ack) << answer;
    }
}
