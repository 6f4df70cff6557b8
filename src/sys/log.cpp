// SPDX-License-Identifier: Apache-2.0
#include "sys/log.h"

#include <cstdarg>
#include <cstdio>

namespace {
LogSink g_sink = nullptr;
}

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
