// SPDX-License-Identifier: Apache-2.0
#include "sys/deadline.h"

#include <cerrno>
#include <ctime>

namespace {

timeval timeval_until(int64_t deadline_us, int64_t now_us) {
    const int64_t left = deadline_us > now_us ? deadline_us - now_us : 0;
    return timeval{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
}

} // namespace

int64_t wait_clock_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int wait_select(int nfds, fd_set& readable, int64_t deadline_us, fd_set* writable) {
    // select() leaves the sets undefined after EINTR, so every try starts from the caller's sets.
    const fd_set wanted = readable;
    fd_set wanted_writable;
    if (writable != nullptr)
        wanted_writable = *writable;
    for (;;) {
        readable = wanted;
        if (writable != nullptr)
            *writable = wanted_writable;
        timeval timeout = timeval_until(deadline_us, wait_clock_us());
        const int ready = select(nfds, &readable, writable, nullptr, &timeout);
        if (ready >= 0 || errno != EINTR)
            return ready;
    }
}

int wait_fd(int fd, WaitFor what, int64_t deadline_us) {
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval timeout = timeval_until(deadline_us, wait_clock_us());
        fd_set* readable = what == WaitFor::read ? &set : nullptr;
        fd_set* writable = what == WaitFor::write ? &set : nullptr;
        const int ready = select(fd + 1, readable, writable, nullptr, &timeout);
        if (ready >= 0)
            return ready > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
}

void wait_until(int64_t deadline_us) {
    const timespec at{static_cast<time_t>(deadline_us / 1000000),
                      static_cast<long>(deadline_us % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}
