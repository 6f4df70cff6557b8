// SPDX-License-Identifier: Apache-2.0
#include "service/loop.h"

#include "sys/deadline.h"
#include "sys/resolve.h"

void loop_watch_init(LoopWatch& watch, int64_t wake_us) {
    FD_ZERO(&watch.readable);
    FD_ZERO(&watch.writable);
    watch.max_fd = -1;
    watch.wake_us = wake_us;
}

void loop_watch_fd(LoopWatch& watch, int fd, bool for_write) {
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    FD_SET(fd, for_write ? &watch.writable : &watch.readable);
    if (fd > watch.max_fd)
        watch.max_fd = fd;
}

void loop_wake_by(LoopWatch& watch, int64_t when_us) {
    if (when_us < watch.wake_us)
        watch.wake_us = when_us;
}

void loop_watch_lookup(LoopWatch& watch, const ResolveLookup& lookup, int64_t now_us) {
    for (const ResolveSocket& s : lookup.sockets) {
        if (s.read)
            loop_watch_fd(watch, s.fd);
        if (s.write)
            loop_watch_fd(watch, s.fd, true);
    }
    loop_wake_by(watch, resolve_wake_us(lookup, now_us));
}

bool loop_fd_ready(const LoopWatch& ready, int fd, bool for_write) {
    return fd >= 0 && fd <= ready.max_fd &&
           FD_ISSET(fd, for_write ? &ready.writable : &ready.readable);
}

int loop_wait(const LoopWatch& watch, LoopWatch& ready) {
    ready = watch;
    const int n = wait_select(watch.max_fd + 1, ready.readable, watch.wake_us, &ready.writable);
    if (n <= 0) {
        FD_ZERO(&ready.readable);
        FD_ZERO(&ready.writable);
    }
    return n;
}
