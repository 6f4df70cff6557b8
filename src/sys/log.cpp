// SPDX-License-Identifier: Apache-2.0
#include "sys/log.h"

#include <cstdarg>
#include <cstdio>

namespace {

LogSink g_sink = nullptr;

// Takes the place of the line `max_lines` lines back when that one is a second old (or there are
// fewer lines so far); false when the rate does not allow another line now.
bool take_place(LogLimit& limit, int64_t now_us) {
    int64_t& oldest = limit.sent_us[limit.next];
    if (limit.used == limit.max_lines && now_us - oldest < 1000000)
        return false;
    oldest = now_us;
    limit.next = (limit.next + 1) % limit.max_lines;
    if (limit.used < limit.max_lines)
        ++limit.used;
    return true;
}

} // namespace

void log_set_sink(LogSink sink) {
    g_sink = sink;
}

void log_msg(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_sink == nullptr) {
        vsyslog(priority, format, args);
    } else {
        char line[1024];
        vsnprintf(line, sizeof line, format, args);
        g_sink(priority, line);
    }
    va_end(args);
}

bool log_limit_take(LogLimit& limit, int64_t now_us) {
    if (take_place(limit, now_us))
        return true;
    if (limit.left_out++ == 0)
        limit.first_left_out_us = now_us;
    return false;
}

uint32_t log_limit_due(LogLimit& limit, int64_t now_us) {
    if (limit.left_out == 0 || now_us - limit.first_left_out_us < 1000000 ||
        !take_place(limit, now_us))
        return 0;
    const uint32_t left_out = limit.left_out;
    limit.left_out = 0;
    return left_out;
}
