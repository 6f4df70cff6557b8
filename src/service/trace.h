// SPDX-License-Identifier: Apache-2.0
#pragma once
// The live traffic trace, switched on and off at run time: while it is on, each Modbus request
// and answer and each device request and reply is logged in hex at LOG_INFO, at most
// TRACE_MAX_LINES lines in any one second.
#include <cstddef>
#include <cstdint>

#include "sys/log.h"

inline constexpr uint32_t TRACE_MAX_LINES = 50;
static_assert(TRACE_MAX_LINES <= LOG_LIMIT_MAX_LINES);
// Bytes of one message shown in hex; a longer one ends in " ... (N bytes)".
inline constexpr size_t TRACE_MAX_BYTES = 300;

// The source of the device exchanges that no client's request asked for.
inline constexpr char TRACE_PUSH[] = "push";

struct TraceState {
    bool on = false;
    LogLimit limit{TRACE_MAX_LINES};
    // Whom the device exchanges in progress serve: the address of the client whose request is
    // being answered, otherwise the push cycle.
    const char* source = TRACE_PUSH;
};

// Switches the trace on or off: "traffic trace on" / "traffic trace off" at LOG_NOTICE. Lines
// left out and not yet reported are reported before "traffic trace off".
void trace_switch(TraceState& trace);

// "trace <source> <what>: <hex>" into `out` (cut to `size` - 1 characters); returns its length.
// `source` is the client's address, `what` e.g. "modbus request"; no bytes show as "(none)".
size_t trace_format(char* out, size_t size, const char* source, const char* what,
                    const uint8_t* bytes, size_t length);

// Logs one line when the trace is on and the rate allows it; otherwise, when on, counts it as
// left out. Lines left out are reported ("trace: N lines left out") once a second at most,
// before the next line that may go out.
void trace_bytes(TraceState& trace, int64_t now_us, const char* source, const char* what,
                 const uint8_t* bytes, size_t length);

// Reports lines left out when that is due, without waiting for the next traced message; for the
// main loop.
void trace_tick(TraceState& trace, int64_t now_us);
