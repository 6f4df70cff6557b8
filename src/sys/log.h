// SPDX-License-Identifier: Apache-2.0
#pragma once
// The daemon's one way to log. Production output goes to syslog (the service calls openlog);
// tests install a sink to capture the formatted lines instead.
#include <syslog.h>

#include <array>
#include <cstdint>

using LogSink = void (*)(int priority, const char* message);

void log_msg(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// nullptr restores syslog.
void log_set_sink(LogSink sink);

// At most `max_lines` lines of one kind in any one second (a line may go out when the one
// `max_lines` lines before it is a second old); the lines left out are counted, for one line that
// reports them a second after the first of them.
inline constexpr uint32_t LOG_LIMIT_MAX_LINES = 50;
struct LogLimit {
    uint32_t max_lines = LOG_LIMIT_MAX_LINES; // 1 ... LOG_LIMIT_MAX_LINES
    // When the last `max_lines` lines were logged (monotonic, us), a ring.
    std::array<int64_t, LOG_LIMIT_MAX_LINES> sent_us{};
    uint32_t used = 0;
    uint32_t next = 0;
    uint32_t left_out = 0;         // lines not logged since the last report
    int64_t first_left_out_us = 0; // when the first of them was left out
};

// True when a line may be logged at `now_us` (it then counts as logged); false when it is left
// out (then it is counted).
bool log_limit_take(LogLimit& limit, int64_t now_us);
// How many lines left out are to be reported now: when the first of them is a second old and the
// report line itself may go out (it takes a line's place). 0 when none is due; otherwise the
// count starts again from 0.
uint32_t log_limit_due(LogLimit& limit, int64_t now_us);
