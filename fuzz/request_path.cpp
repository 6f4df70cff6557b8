// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: an arbitrary client byte stream through the MBAP parser and the request
// handler, served from registers in memory. Deterministic: no thread, no line, no clock.
//
// Input: byte 0 is the size of each read (0: the whole stream in one read); bytes 1 and 2 name a
// register whose transfers fail (0xFFFF: none), as a failing device would; the rest is the
// stream. Every yielded frame is handled and the response checked against the rules that decide
// it from the request and the registers alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modbus/mbap.h"
#include "modbus/request.h"
#include "register_store.h"
#include "require.h"

namespace {

uint32_t u16(const MbapFrame& f, size_t pos) {
    return uint32_t{f.body[pos]} << 8 | f.body[pos + 1];
}

// The exception 3 rules, decided from the request alone.
bool wants_illegal_value(const MbapFrame& req) {
    const uint32_t quantity = u16(req, 4);
    if (req.body[1] == MODBUS_READ_HOLDING)
        return quantity == 0 || quantity > MODBUS_MAX_READ || req.length < 6;
    const uint32_t byte_count = req.body[6];
    return quantity == 0 || quantity > MODBUS_MAX_WRITE || byte_count != 2 * quantity ||
           req.length < 7 + byte_count;
}

bool is_exception(const MbapFrame& req, const MbapFrame& resp, uint8_t code) {
    return resp.length == 3 && resp.body[1] == (req.body[1] | 0x80) && resp.body[2] == code;
}

void check_response(const MbapFrame& req, const MbapFrame& resp, const RegisterStore& store,
                    unsigned transfers) {
    const uint8_t function = req.body[1];
    require(resp.transaction_id == req.transaction_id, "transaction id echoed");
    require(resp.protocol_id == req.protocol_id, "protocol id echoed");
    require(resp.body[0] == req.body[0], "unit id echoed");

    if (function != MODBUS_READ_HOLDING && function != MODBUS_WRITE_MULTIPLE) {
        require(is_exception(req, resp, MODBUS_ILLEGAL_FUNCTION), "exception 1, unsupported");
        require(transfers == 0, "no transfer for exception 1");
        return;
    }
    if (wants_illegal_value(req)) {
        require(is_exception(req, resp, MODBUS_ILLEGAL_DATA_VALUE), "exception 3");
        require(transfers == 0, "no transfer for exception 3");
        return;
    }
    require(transfers == 1, "one transfer for a valid request");
    if (store.last_result == 0) {
        require(is_exception(req, resp, MODBUS_DEVICE_FAILURE),
                "exception 4 for a failed transfer");
        return;
    }
    const uint32_t start = u16(req, 2);
    const uint32_t quantity = u16(req, 4);
    if (function == MODBUS_WRITE_MULTIPLE) {
        require(resp.length == 6 && std::memcmp(resp.body.data(), req.body.data(), 6) == 0,
                "function 16 response echoes the request head");
        for (uint32_t i = 0; i < quantity && start + i < store.values.size(); ++i)
            require(store.values[start + i] == u16(req, 7 + 2 * i), "written values stored");
        return;
    }
    require(resp.length == 2 * quantity + 3 && resp.body[1] == function &&
                resp.body[2] == 2 * quantity,
            "function 3 response shape");
    for (uint32_t i = 0; i < quantity; ++i) {
        const uint32_t expected = start + i < store.values.size() ? store.values[start + i] : 0;
        require(u16(resp, 3 + 2 * i) == expected, "function 3 values from the registers");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    // One store for the run, filled afresh only after an input wrote to it: a fresh 128 KiB store
    // per input would cost more than the input itself.
    static RegisterStore store;
    static unsigned filled_at = UINT32_MAX;
    if (filled_at != store.writes) {
        for (size_t i = 0; i < store.values.size(); ++i)
            store.values[i] = static_cast<uint16_t>(i * 0x9E37u);
        filled_at = store.writes;
    }
    const uint32_t failing = uint32_t{data[1]} << 8 | data[2];
    store.failing = failing == 0xFFFF ? UINT32_MAX : failing;
    const ModbusRegisters registers = store.registers();

    const size_t read_size = data[0] == 0 ? size - 3 : data[0];
    const uint8_t* stream = data + 3;
    const size_t stream_size = size - 3;

    MbapParser parser;
    mbap_reset(parser);
    for (size_t begin = 0; begin < stream_size; begin += read_size) {
        const size_t end = begin + read_size < stream_size ? begin + read_size : stream_size;
        const uint8_t* next = stream + begin;
        int32_t left = int32_t(end - begin);
        while (left > 0) {
            MbapFrame* frame = mbap_parse(parser, next, left);
            require(next + left == stream + end, "next_byte and bytes_left describe the rest");
            if (frame == nullptr) {
                require(left == 0, "none only when the read is used up");
                continue;
            }
            require(frame == &parser.frame, "the parser's own frame");
            require(frame->length >= 1 && frame->length <= MBAP_BODY_SIZE, "length 1..256");
            const MbapFrame request = *frame;
            const unsigned before = store.reads + store.writes;
            MbapFrame& response = modbus_handle_request(registers, *frame);
            require(&response == frame, "answered in place");
            check_response(request, response, store, store.reads + store.writes - before);
        }
    }
    return 0;
}
