// SPDX-License-Identifier: Apache-2.0
#pragma once
// Holding registers in memory, bound to the Modbus layer's register interface: what the unit
// tests, the push tests and the fuzz targets serve instead of a field device on a line; and the
// wire bytes of a frame. Header only, so that the fuzz targets (a project of their own) use it.
#include <array>
#include <cstdint>
#include <vector>

#include "modbus/mbap.h"
#include "modbus/modbus.h"

struct RegisterStore {
    std::array<uint16_t, 0x10000> values{}; // registers past 0xFFFF read 0, writes are dropped
    // A transfer fails (and changes nothing) when its range holds this register; none by default.
    uint32_t failing = UINT32_MAX;
    unsigned reads = 0, writes = 0; // transfers asked for, failed ones included
    int last_result = -1;

    ModbusRegisters registers() { return {read, write, this}; }

private:
    bool fails(uint32_t start, uint32_t quantity) const {
        return failing >= start && uint64_t{failing} < uint64_t{start} + quantity;
    }
    static int read(void* context, uint32_t start, uint32_t quantity, uint16_t* out) {
        RegisterStore& s = *static_cast<RegisterStore*>(context);
        ++s.reads;
        s.last_result = s.fails(start, quantity) ? 0 : 1;
        for (uint32_t i = 0; s.last_result == 1 && i < quantity; ++i)
            out[i] = uint64_t{start} + i < s.values.size() ? s.values[start + i] : 0;
        return s.last_result;
    }
    static int write(void* context, uint32_t start, uint32_t quantity, const uint16_t* in) {
        RegisterStore& s = *static_cast<RegisterStore*>(context);
        ++s.writes;
        s.last_result = s.fails(start, quantity) ? 0 : 1;
        for (uint32_t i = 0; s.last_result == 1 && i < quantity; ++i)
            if (uint64_t{start} + i < s.values.size())
                s.values[start + i] = in[i];
        return s.last_result;
    }
};

// The wire bytes of `frame`, as mbap_serialize writes them.
inline std::vector<uint8_t> mbap_bytes(const MbapFrame& frame) {
    std::vector<uint8_t> out(MBAP_MAX_WIRE);
    out.resize(static_cast<size_t>(mbap_serialize(frame, out.data())));
    return out;
}
