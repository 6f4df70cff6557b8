// SPDX-License-Identifier: Apache-2.0
#pragma once
// The daemon's one way to log. Production output goes to syslog (the service calls openlog);
// tests install a sink to capture the formatted lines instead.
#include <syslog.h>

using LogSink = void (*)(int priority, const char* message);

void log_msg(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// nullptr restores syslog.
void log_set_sink(LogSink sink);
