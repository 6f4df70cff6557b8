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
    Bytes out = {uint8_t(tid >> 8), uint8_t(tid),         uint8_t(pid >> 8),
                 uint8_t(pid),      uint8_t(length >> 8), uint8_t(length)};
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
