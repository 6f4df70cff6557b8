// SPDX-License-Identifier: Apache-2.0
#include "service/trace.h"

#include <cstdio>

#include "sys/log.h"

namespace {

constexpr int64_t SECOND_US = 1000000;

// Takes the place of the line TRACE_MAX_LINES lines back when that one is a second old (or
// there are fewer lines so far); false when the rate does not allow another line now.
bool take_slot(TraceState& trace, int64_t now_us) {
    int64_t& oldest = trace.sent_us[trace.next];
    if (trace.used == TRACE_MAX_LINES && now_us - oldest < SECOND_US)
        return false;
    oldest = now_us;
    trace.next = (trace.next + 1) % TRACE_MAX_LINES;
    if (trace.used < TRACE_MAX_LINES)
        ++trace.used;
    return true;
}

void log_left_out(TraceState& trace) {
    log_msg(LOG_INFO, "trace: %u lines left out", trace.left_out);
    trace.left_out = 0;
}

void report_left_out(TraceState& trace, int64_t now_us) {
    if (trace.left_out > 0 && now_us - trace.first_left_out_us >= SECOND_US &&
        take_slot(trace, now_us))
        log_left_out(trace);
}

} // namespace

void trace_switch(TraceState& trace) {
    if (trace.on) {
        if (trace.left_out > 0)
            log_left_out(trace);
        trace.on = false;
        log_msg(LOG_NOTICE, "traffic trace off");
        return;
    }
    trace = TraceState{};
    trace.on = true;
    log_msg(LOG_NOTICE, "traffic trace on");
}

size_t trace_format(char* out, size_t size, const char* source, const char* what,
                    const uint8_t* bytes, size_t length) {
    if (size == 0)
        return 0;
    int n = std::snprintf(out, size, "trace %s %s:", source, what);
    size_t used = n < 0 ? 0 : static_cast<size_t>(n);
    const auto append = [&](int written) {
        if (written > 0)
            used += static_cast<size_t>(written);
    };
    if (length == 0 && used < size)
        append(std::snprintf(out + used, size - used, " (none)"));
    for (size_t i = 0; i < length && i < TRACE_MAX_BYTES && used < size; ++i)
        append(std::snprintf(out + used, size - used, " %02X", bytes[i]));
    if (length > TRACE_MAX_BYTES && used < size)
        append(std::snprintf(out + used, size - used, " ... (%zu bytes)", length));
    return used < size ? used : size - 1;
}

void trace_bytes(TraceState& trace, int64_t now_us, const char* source, const char* what,
                 const uint8_t* bytes, size_t length) {
    if (!trace.on)
        return;
    report_left_out(trace, now_us);
    if (!take_slot(trace, now_us)) {
        if (trace.left_out++ == 0)
            trace.first_left_out_us = now_us;
        return;
    }
    // "trace " + an address + a label + 3 characters a byte + the tail of a cut message.
    char line[64 + 3 * TRACE_MAX_BYTES + 32];
    trace_format(line, sizeof line, source, what, bytes, length);
    log_msg(LOG_INFO, "%s", line);
}

void trace_tick(TraceState& trace, int64_t now_us) {
    if (trace.on)
        report_left_out(trace, now_us);
}
