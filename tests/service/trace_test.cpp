// SPDX-License-Identifier: Apache-2.0
// The traffic trace's lines and its rate limit, on an injected clock.
#include "service/trace.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

TEST(TraceFormat, HexLines) {
    std::vector<uint8_t> long_reply(301);
    for (size_t i = 0; i < long_reply.size(); ++i)
        long_reply[i] = static_cast<uint8_t>(i);
    std::string long_hex;
    for (size_t i = 0; i < TRACE_MAX_BYTES; ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, " %02X", static_cast<unsigned>(i & 0xFF));
        long_hex += byte;
    }
    const Bytes request = hex("00 01 00 00 00 06 01 03 04 00 00 02");
    const struct {
        const char* source;
        const char* what;
        const uint8_t* bytes;
        size_t length;
        size_t size;
        std::string line;
    } rows[] = {
        {"127.0.0.1", "modbus request", request.data(), request.size(), 1024,
         "trace 127.0.0.1 modbus request: 00 01 00 00 00 06 01 03 04 00 00 02"},
        {"push", "device reply", nullptr, 0, 1024, "trace push device reply: (none)"},
        {"10.1.2.3", "device reply", long_reply.data(), long_reply.size(), 1024,
         "trace 10.1.2.3 device reply:" + long_hex + " ... (301 bytes)"},
        {"127.0.0.1", "modbus request", request.data(), request.size(), 40,
         "trace 127.0.0.1 modbus request: 00 01 0"},
    };
    for (const auto& row : rows) {
        char out[1024];
        const size_t n = trace_format(out, row.size, row.source, row.what, row.bytes, row.length);
        EXPECT_EQ(std::string(out), row.line);
        EXPECT_EQ(n, row.line.size());
    }
}

// At most TRACE_MAX_LINES lines in any second; what is left out is counted in one line, a
// second after the first line left out, or when the trace is switched off.
TEST(TraceRate, FiftyLinesASecondAndTheRestCounted) {
    LogCapture log;
    TraceState trace;
    const uint8_t byte = 0xAB;
    const int64_t t0 = 5000000;
    trace_bytes(trace, t0, "a", "x", &byte, 1); // off: nothing
    EXPECT_TRUE(log.lines().empty());

    trace_switch(trace);
    for (int i = 0; i < 60; ++i)
        trace_bytes(trace, t0 + i * 1000, "a", "x", &byte, 1);
    EXPECT_EQ(log.count(LOG_INFO, "trace a x: AB"), 50);
    trace_tick(trace, t0 + 1049999); // a second after the first one left out (t0 + 50 ms)
    EXPECT_EQ(log.lines().size(), 51u);
    trace_tick(trace, t0 + 1050000);
    EXPECT_EQ(log.lines().back(),
              (std::pair<int, std::string>{LOG_INFO, "trace: 10 lines left out"}));
    for (int i = 0; i < 60; ++i) // the count line took one of the second's 50 lines
        trace_bytes(trace, t0 + 1050000, "a", "y", &byte, 1);
    EXPECT_EQ(log.count(LOG_INFO, "trace a y: AB"), 49);
    trace_tick(trace, t0 + 2049999); // not a second after the first of these was left out
    EXPECT_EQ(log.lines().size(), 101u);

    log.clear();
    trace_switch(trace); // the lines left out are reported before the trace goes off
    trace_bytes(trace, t0 + 9000000, "a", "x", &byte, 1);
    EXPECT_EQ(log.lines(),
              (Lines{{LOG_INFO, "trace: 11 lines left out"}, {LOG_NOTICE, "traffic trace off"}}));

    log.clear();
    trace_switch(trace); // on again: a fresh second
    trace_bytes(trace, t0 + 9000000, "a", "x", &byte, 1);
    EXPECT_EQ(log.lines(), (Lines{{LOG_NOTICE, "traffic trace on"}, {LOG_INFO, "trace a x: AB"}}));
}

} // namespace
