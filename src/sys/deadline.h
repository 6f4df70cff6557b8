// SPDX-License-Identifier: Apache-2.0
#pragma once
// Waiting on descriptors with a deadline, written once for every caller. A signal handler that
// runs during a wait (EINTR) never cuts it short: the wait resumes with what is left of its
// budget. Deadlines are points on the monotonic clock, so a change of the wall clock does not
// stretch or shorten them.
#include <sys/select.h>

#include <cerrno>
#include <cstdint>

// Now on the monotonic clock, in microseconds.
int64_t wait_clock_us();

enum class WaitFor : uint8_t { read, write };

// Waits until `fd` is ready or `deadline_us` has passed: 1 ready, 0 deadline passed, -1 failure
// with errno set (EBADF for a descriptor that select cannot watch: negative or FD_SETSIZE and up).
int wait_fd(int fd, WaitFor what, int64_t deadline_us);

// select() for reading on the descriptors of `readable` (and, when given, for room to write on
// those of `writable`) below `nfds` until `deadline_us`: the number ready (and the sets say
// which), 0 when the deadline passed, -1 on failure (errno set).
int wait_select(int nfds, fd_set& readable, int64_t deadline_us, fd_set* writable = nullptr);

// Sleeps until `deadline_us`, resuming after signals.
void wait_until(int64_t deadline_us);

// Calls `call` (a read, write, send or recv) again for as long as a signal handler cuts it short,
// and returns the first result that was not: every such call of the gateway resumes this way.
template <typename Call> auto retry_after_signal(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}
