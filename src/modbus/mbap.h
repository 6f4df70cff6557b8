// SPDX-License-Identifier: Apache-2.0
#pragma once
// Modbus TCP application data units: the frame record, a byte-stream parser and the encoder.
#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr size_t MBAP_BODY_SIZE = 256;
inline constexpr size_t MBAP_HEADER_SIZE = 6;
inline constexpr size_t MBAP_MAX_WIRE = MBAP_HEADER_SIZE + MBAP_BODY_SIZE;

struct MbapFrame {
    uint32_t transaction_id;
    uint32_t protocol_id;
    uint32_t length;   // bytes of body that belong to the frame, 1..256 when yielded
    uint32_t reserved; // never read, never sent
    std::array<uint8_t, MBAP_BODY_SIZE> body; // unit id, function code, function data
};

struct MbapParser {
    uint32_t state;
    uint32_t count;
    MbapFrame frame;
};

void mbap_reset(MbapParser& parser);
// Consumes bytes until a frame is complete (returns the parser's own frame) or the bytes run
// out (returns nullptr). next_byte and bytes_left always describe the unconsumed bytes.
MbapFrame* mbap_parse(MbapParser& parser, const uint8_t*& next_byte, int32_t& bytes_left);
// Writes 6 + length bytes to `out` (MBAP_MAX_WIRE is always enough); returns that number.
int mbap_serialize(const MbapFrame& frame, uint8_t* out);
