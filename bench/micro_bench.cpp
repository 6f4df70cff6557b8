// SPDX-License-Identifier: Apache-2.0
// kovex4-microbench: the request path's functions in isolation (Google Benchmark).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/link.h"
#include "devsim.h"
#include "modbus/mbap.h"
#include "modbus/request.h"
#include "register_store.h"
#include "regmap/regmap.h"
#include "regmap/regs.h"
#include "support.h"

namespace {

// The field device's registers through the register translation on `line`, station 1, bound as
// the service binds them.
struct DeviceRegisters {
    DevLine line;
    ModbusRegisters registers() {
        return {[](void* c, uint32_t start, uint32_t quantity, uint16_t* values) {
                    return regs_read(static_cast<DeviceRegisters*>(c)->line, 1, start, quantity,
                                     values);
                },
                [](void* c, uint32_t start, uint32_t quantity, const uint16_t* values) {
                    return regs_write(static_cast<DeviceRegisters*>(c)->line, 1, start, quantity,
                                      values);
                },
                this};
    }
};

// Transaction id 1, unit 1 and `pdu`.
Bytes frame_bytes(const Bytes& pdu) {
    Bytes body(1 + pdu.size(), 1);
    std::copy(pdu.begin(), pdu.end(), body.begin() + 1);
    return mbap_wire(1, 0, static_cast<uint16_t>(body.size()), body);
}

double minimum(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

// Parses one frame from `wire` and handles it on `registers`.
void parse_and_handle(benchmark::State& state, const Bytes& wire, const ModbusRegisters& registers,
                      uint8_t expected_function) {
    MbapParser parser;
    mbap_reset(parser);
    for (auto _ : state) {
        const uint8_t* next = wire.data();
        int32_t left = static_cast<int32_t>(wire.size());
        MbapFrame* frame = mbap_parse(parser, next, left);
        if (frame == nullptr) {
            state.SkipWithError("no frame");
            break;
        }
        modbus_handle_request(registers, *frame);
        benchmark::DoNotOptimize(frame->body.data());
        if (frame->body[1] != expected_function) {
            state.SkipWithError("unexpected answer");
            break;
        }
    }
}

// Function 4: answered with exception 1, no registers involved.
void BM_ParseHandle_Exception(benchmark::State& state) {
    RegisterStore store;
    parse_and_handle(state, frame_bytes({4, 0, 0, 0, 1}), store.registers(), 0x84);
}
BENCHMARK(BM_ParseHandle_Exception)->ComputeStatistics("min", minimum);

// Function 3 of 125 registers that have no map row: every register is looked up twice; still no
// device request.
void BM_ParseHandle_Read125Unmapped(benchmark::State& state) {
    DeviceRegisters device;
    parse_and_handle(state, frame_bytes({3, 0x04, 0x64, 0, 125}), device.registers(), 3);
}
BENCHMARK(BM_ParseHandle_Read125Unmapped)->ComputeStatistics("min", minimum);

// Function 3 of 2 'i' registers against the simulator on a socketpair: one device exchange,
// including the simulator thread's wake-up and its reply.
void BM_ParseHandle_Read2Device(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    {
        DevSimServer sim(fds[1]);
        sim.with([](DevSim& s) {
            s.keep_requests = false;
            s.items['i'][1] = 0x1234;
            s.items['i'][2] = 0x5678;
        });
        DeviceRegisters device{DevLine{fds[0]}};
        parse_and_handle(state, frame_bytes({3, 0x04, 0x00, 0, 2}), device.registers(), 3);
        close(fds[0]); // the simulator sees the end of input
    }
    close(fds[1]);
}
BENCHMARK(BM_ParseHandle_Read2Device)->ComputeStatistics("min", minimum)->UseRealTime();

// regmap_lookup for the first row, an early row, a late row, the last row and a register
// without a row.
void BM_RegmapLookup(benchmark::State& state) {
    const auto reg = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(regmap_lookup(reg));
    }
}
BENCHMARK(BM_RegmapLookup)
    ->Arg(0x0000)
    ->Arg(0x0010)
    ->Arg(0x0463)
    ->Arg(0x2803)
    ->Arg(0x0464)
    ->ComputeStatistics("min", minimum);

// The reply recogniser fed the largest reply of a read: 49 one-byte items (63 bytes).
void BM_RecogniseReply(benchmark::State& state) {
    Bytes data = {49};
    for (int k = 1; k <= 49; ++k)
        data.push_back(static_cast<uint8_t>(k * 37));
    Bytes reply;
    sim_frame_short(1, DEV_DATA_FOLLOWS, reply);
    sim_frame_long(1, 0x00, data.data(), data.size(), reply);
    DevReply out{};
    DevRecogniser rec{};
    for (auto _ : state) {
        dev_recogniser_reset(rec, out);
        bool done = false;
        for (const uint8_t b : reply)
            done = dev_recognise_byte(rec, b);
        if (!done) {
            state.SkipWithError("reply not recognised");
            break;
        }
        benchmark::DoNotOptimize(out.data.data());
    }
    state.counters["time/byte"] = benchmark::Counter(static_cast<double>(reply.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(BM_RecogniseReply)->ComputeStatistics("min", minimum);

} // namespace

BENCHMARK_MAIN();
