// SPDX-License-Identifier: Apache-2.0
#include "modbus/mbap.h"

namespace {

// Parser states, one per header byte, then the two ways of taking a body.
enum : uint32_t {
    TID_HI,
    TID_LO,
    PID_HI,
    PID_LO,
    LEN_HI,
    LEN_LO,
    SKIP_BODY,
    COLLECT_BODY,
};

} // namespace

void mbap_reset(MbapParser& parser) {
    parser = MbapParser{};
}

MbapFrame* mbap_parse(MbapParser& parser, const uint8_t*& next_byte, int32_t& bytes_left) {
    MbapFrame& frame = parser.frame;
    while (bytes_left > 0) {
        // Consume first, so that a returned frame leaves both counters on the unread rest.
        const uint8_t b = *next_byte;
        ++next_byte;
        --bytes_left;

        switch (parser.state) {
        case TID_HI:
            // The high byte replaces the whole word: nothing of the previous header survives.
            frame.transaction_id = uint32_t{b} << 8;
            parser.state = TID_LO;
            break;
        case TID_LO:
            frame.transaction_id |= b;
            parser.state = PID_HI;
            break;
        case PID_HI:
            frame.protocol_id = uint32_t{b} << 8;
            parser.state = PID_LO;
            break;
        case PID_LO:
            frame.protocol_id |= b;
            parser.state = LEN_HI;
            break;
        case LEN_HI:
            frame.length = uint32_t{b} << 8;
            parser.state = LEN_LO;
            break;
        case LEN_LO:
            frame.length |= b;
            parser.count = 0;
            frame.reserved = 0;
            // An empty header is forgotten; an oversized body is read past so the stream
            // stays in step with the next header.
            if (frame.length == 0) {
                parser.state = TID_HI;
            } else if (frame.length > MBAP_BODY_SIZE) {
                parser.state = SKIP_BODY;
            } else {
                parser.state = COLLECT_BODY;
            }
            break;
        case SKIP_BODY:
            ++parser.count;
            if (parser.count >= frame.length) {
                parser.state = TID_HI;
            }
            break;
        case COLLECT_BODY:
            frame.body[parser.count] = b;
            ++parser.count;
            if (parser.count >= frame.length) {
                parser.state = TID_HI;
                return &frame;
            }
            break;
        default:
            // Not reachable from mbap_reset; start over at a header rather than index wildly.
            parser.state = TID_HI;
            break;
        }
    }
    return nullptr;
}

int mbap_serialize(const MbapFrame& frame, uint8_t* out) {
    const uint32_t header[3] = {frame.transaction_id, frame.protocol_id, frame.length};
    int n = 0;
    for (uint32_t word : header) {
        out[n++] = static_cast<uint8_t>((word >> 8) & 0xFFu);
        out[n++] = static_cast<uint8_t>(word & 0xFFu);
    }
    for (uint32_t i = 0; i < frame.length; ++i) {
        out[n++] = frame.body[i];
    }
    return n;
}
