// libFuzzer target: an arbitrary client byte stream through the MBAP parser and the request
// handler against a simulated field device that answers at once.
//
// Input: byte 0 is the size of each read (0: the whole stream in one read), the rest is the
// stream. Every yielded frame is handled and encoded, and the response is checked against the
// rules that decide it from the request alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devsim.h"
#include "modbus/mbap.h"
#include "modbus/request.h"
#include "sys/log.h"

namespace {

constexpr int STATION = 1;

void discard(int, const char*) {}

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

// Set up once and kept for the whole run; the simulator thread serves the pty's master end.
struct Device {
    SimPty pty;
    DevSimServer* server = nullptr;
    Device() {
        require(sim_open_pty(pty), "pseudo-terminal for the simulator");
        server = new DevSimServer(pty.master);
        log_set_sink(discard);
    }
    size_t requests() {
        return server->with([](DevSim& s) { return s.requests.size(); });
    }
};

Device& device() {
    static Device* d = new Device;
    return *d;
}

uint32_t u16(const MbapFrame& f, size_t pos) {
    return uint32_t{f.body[pos]} << 8 | f.body[pos + 1];
}

// The exception 3 rules, decided from the request alone.
bool wants_illegal_value(const MbapFrame& req) {
    const uint32_t quantity = u16(req, 4);
    if (req.body[1] == MODBUS_READ_HOLDING) {
        return quantity == 0 || quantity > 125 || req.length < 6;
    }
    const uint32_t byte_count = req.body[6];
    return quantity == 0 || quantity > 123 || byte_count != 2 * quantity ||
           req.length < 7 + byte_count;
}

void check_response(const MbapFrame& req, const MbapFrame& resp, size_t device_requests) {
    const uint8_t function = req.body[1];
    const bool served = function == MODBUS_READ_HOLDING || function == MODBUS_WRITE_MULTIPLE;
    require(resp.transaction_id == req.transaction_id, "transaction id echoed");
    require(resp.protocol_id == req.protocol_id, "protocol id echoed");
    require(resp.body[0] == req.body[0], "unit id echoed");

    if (!served) {
        require(resp.length == 3 && resp.body[1] == (function | 0x80) &&
                    resp.body[2] == MODBUS_ILLEGAL_FUNCTION,
                "exception 1 for an unsupported function");
        require(device_requests == 0, "no device traffic for exception 1");
        return;
    }
    if (wants_illegal_value(req)) {
        require(resp.length == 3 && resp.body[1] == (function | 0x80) &&
                    resp.body[2] == MODBUS_ILLEGAL_DATA_VALUE,
                "exception 3 for a bad quantity, byte count or length");
        require(device_requests == 0, "no device traffic for exception 3");
        return;
    }
    // The simulator answers every request at once, so a valid request never fails.
    require((resp.body[1] & 0x80) == 0, "valid request served");
    const uint32_t quantity = u16(req, 4);
    if (function == MODBUS_READ_HOLDING) {
        require(resp.length == 2 * quantity + 3 && resp.body[1] == function &&
                    resp.body[2] == 2 * quantity,
                "function 3 response shape");
    } else {
        require(resp.length == 6 && std::memcmp(resp.body.data(), req.body.data(), 6) == 0,
                "function 16 response echoes the request head");
    }
}

void check_encoding(const MbapFrame& f) {
    uint8_t out[MBAP_MAX_WIRE];
    const int n = mbap_serialize(f, out);
    require(n == int(6 + f.length), "serialized size is 6 + length");
    require(out[0] == uint8_t(f.transaction_id >> 8) && out[1] == uint8_t(f.transaction_id) &&
                out[2] == uint8_t(f.protocol_id >> 8) && out[3] == uint8_t(f.protocol_id) &&
                out[4] == uint8_t(f.length >> 8) && out[5] == uint8_t(f.length),
            "header big-endian");
    require(std::memcmp(out + 6, f.body.data(), f.length) == 0, "body follows the header");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    Device& dev = device();
    dev.server->with([](DevSim& s) { s.requests.clear(); });

    const size_t read_size = data[0] == 0 ? size - 1 : data[0];
    const uint8_t* stream = data + 1;
    const size_t stream_size = size - 1;

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
            const size_t before = dev.requests();
            MbapFrame& response = modbus_handle_request(dev.pty.slave, STATION, *frame);
            require(&response == frame, "answered in place");
            check_response(request, response, dev.requests() - before);
            check_encoding(response);
        }
    }
    return 0;
}
