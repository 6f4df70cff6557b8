// SPDX-License-Identifier: Apache-2.0
#pragma once
// The shape of the service loop's handlers. The loop knows no protocol: before each wait it asks
// every handler what it waits for (its `X_watch`: descriptors to read from or to write to, and
// the latest time it wants to run again), waits for the first of them, and then calls every
// handler with what is ready (its `X_run`). A handler owns its sockets and states, and does at
// most one device transaction in a call, so that the others are served between two of them.
#include <sys/select.h>

#include <cstdint>

struct ResolveLookup;

struct LoopWatch {
    fd_set readable;
    fd_set writable;
    int max_fd;      // -1: no descriptor
    int64_t wake_us; // the wait ends then at the latest (monotonic, sys/deadline.h)
};

// A watch with no descriptor that wakes at `wake_us`.
void loop_watch_init(LoopWatch& watch, int64_t wake_us);
// Waits for `fd` to be readable, or (`for_write`) to have room to write. Descriptors that select
// cannot watch (negative, FD_SETSIZE and up) are left out: their owners never open them.
void loop_watch_fd(LoopWatch& watch, int fd, bool for_write = false);
// Ends the wait at `when_us` at the latest; a time already past makes it only look.
void loop_wake_by(LoopWatch& watch, int64_t when_us);
// Waits for a name lookup under way: its sockets as it asks, and its next time-out.
void loop_watch_lookup(LoopWatch& watch, const ResolveLookup& lookup, int64_t now_us);
// Whether `fd` was found ready (in `ready`, as loop_wait left it).
bool loop_fd_ready(const LoopWatch& ready, int fd, bool for_write = false);

// Waits until a descriptor of `watch` is ready or its wake-up time has come, resuming after
// signals. `ready` holds what is ready (nothing after a failure): the number of ready
// descriptors, 0 when the time came, -1 on failure (errno says why).
int loop_wait(const LoopWatch& watch, LoopWatch& ready);
