#pragma once
// A simulated field device on the far end of a pseudo-terminal, and helpers to push wire bytes
// through the parser.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devsim.h"
#include "modbus/mbap.h"
#include "modbus/modbus.h"
#include "regmap/regs.h"

using Bytes = std::vector<uint8_t>;

inline Bytes hex(const std::string& text) {
    std::istringstream in(text);
    Bytes out;
    for (unsigned v; in >> std::hex >> v;)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

struct Pty : SimPty {
    Pty() { EXPECT_TRUE(sim_open_pty(*this)); }
    ~Pty() { sim_close_pty(*this); }
};

struct SimLink {
    Pty pty;
    DevSimServer sim{pty.master};
    DevLine line{pty.slave};
    int station = 0;

    // The registers of the simulated device at `station`, as the gateway binds them.
    ModbusRegisters registers(int at) {
        station = at;
        return {[](void* c, uint32_t start, uint32_t quantity, uint16_t* values) {
                    auto* self = static_cast<SimLink*>(c);
                    return regs_read(self->line, self->station, start, quantity, values);
                },
                [](void* c, uint32_t start, uint32_t quantity, const uint16_t* values) {
                    auto* self = static_cast<SimLink*>(c);
                    return regs_write(self->line, self->station, start, quantity, values);
                },
                this};
    }

    // The daemon's end of the serial line.
    int fd() const { return pty.slave; }
    size_t requests() {
        return sim.with([](DevSim& s) { return s.requests.size(); });
    }
    void set_item(uint8_t type, uint8_t number, uint16_t value) {
        sim.with([&](DevSim& s) { s.items[type][number] = value; });
    }
};

// MBAP header with the given length field, then `body`.
inline Bytes wire(uint16_t tid, uint16_t pid, uint16_t length, const Bytes& body) {
    Bytes out;
    out.reserve(6 + body.size());
    for (uint16_t field : {tid, pid, length}) {
        out.push_back(uint8_t(field >> 8));
        out.push_back(uint8_t(field));
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Feeds `wire` in one read and expects exactly one frame from it.
inline MbapFrame* parse_one(MbapParser& parser, const Bytes& wire) {
    const uint8_t* next = wire.data();
    int32_t left = static_cast<int32_t>(wire.size());
    MbapFrame* frame = mbap_parse(parser, next, left);
    EXPECT_NE(frame, nullptr);
    EXPECT_EQ(left, 0);
    return frame;
}

inline Bytes serialize(const MbapFrame& frame) {
    Bytes out(MBAP_MAX_WIRE);
    out.resize(static_cast<size_t>(mbap_serialize(frame, out.data())));
    return out;
}
