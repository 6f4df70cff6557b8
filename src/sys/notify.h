// SPDX-License-Identifier: Apache-2.0
#pragma once
// Start-up and liveness messages to the service manager over the datagram socket it names in
// NOTIFY_SOCKET ("READY=1", "WATCHDOG=1"). Written here rather than linked from the service
// manager's library: a handful of lines, no shared library the target image may lack (the SysV
// init script runs the daemon without one), and nothing else to cross-build. Without a socket
// every call does nothing.
#include <cstdint>

// The least time between two "WATCHDOG=1" messages: a loop that turns quickly sends one about
// once a second, not one per turn.
inline constexpr int64_t NOTIFY_WATCHDOG_INTERVAL_US = 1000000;

// Opens a datagram socket to `address`: a path, or "@name" for the abstract namespace. nullptr or
// "" (no service manager) leaves the module without socket. 1 when a socket was opened, else 0.
int notify_open(const char* address);

// Sends "READY=1".
void notify_ready();

// Sends "WATCHDOG=1" unless one was sent less than NOTIFY_WATCHDOG_INTERVAL_US before `now_us`
// (monotonic microseconds, sys/deadline.h). Called where the service makes progress.
void notify_watchdog(int64_t now_us);

// Closes the socket; the module does nothing again until the next notify_open.
void notify_close();
