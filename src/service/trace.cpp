// SPDX-License-Identifier: Apache-2.0
#include "service/trace.h"

#include <cstdio>

#include "sys/log.h"

namespace {

void log_left_out(uint32_t count) {
    log_msg(LOG_INFO, "trace: %u lines left out", count);
}

} // namespace

void trace_switch(TraceState& trace) {
    if (trace.on) {
        if (trace.limit.left_out > 0)
            log_left_out(trace.limit.left_out);
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
    trace_tick(trace, now_us);
    if (!log_limit_take(trace.limit, now_us))
        return;
    // "trace " + an address + a label + 3 characters a byte + the tail of a cut message.
    char line[64 + 3 * TRACE_MAX_BYTES + 32];
    trace_format(line, sizeof line, source, what, bytes, length);
    log_msg(LOG_INFO, "%s", line);
}

void trace_tick(TraceState& trace, int64_t now_us) {
    const uint32_t left_out = trace.on ? log_limit_due(trace.limit, now_us) : 0;
    if (left_out > 0)
        log_left_out(left_out);
}
