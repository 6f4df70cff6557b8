// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a handler of the service loop waits for: descriptors to read or write and a time to be
// called again by. The loop collects them from every handler, waits once, and calls each handler
// back with what became ready.
#include <sys/select.h>

#include <cstdint>

struct LoopWatch {
    fd_set readable;
    fd_set writable;
    int max_fd = -1;
    int64_t wake_us = INT64_MAX; // monotonic
};

inline void loop_watch_reset(LoopWatch& watch, int64_t wake_us) {
    FD_ZERO(&watch.readable);
    FD_ZERO(&watch.writable);
    watch.max_fd = -1;
    watch.wake_us = wake_us;
}

// Descriptors at FD_SETSIZE and beyond cannot be watched and are left out.
inline void loop_watch_fd(LoopWatch& watch, int fd, bool for_write) {
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    FD_SET(fd, for_write ? &watch.writable : &watch.readable);
    if (fd > watch.max_fd)
        watch.max_fd = fd;
}

inline void loop_wake_by(LoopWatch& watch, int64_t when_us) {
    if (when_us < watch.wake_us)
        watch.wake_us = when_us;
}

inline bool loop_fd_ready(const LoopWatch& ready, int fd, bool for_write) {
    return fd >= 0 && fd < FD_SETSIZE &&
           FD_ISSET(fd, for_write ? &ready.writable : &ready.readable);
}
