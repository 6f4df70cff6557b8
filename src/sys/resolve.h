// SPDX-License-Identifier: Apache-2.0
#pragma once
// Looking up a host name without waiting for it (with c-ares): the lookup's sockets are watched
// by the caller's own select, and the lookup is taken further when they are ready or when its
// next time-out has come. A dotted address needs no lookup. Each lookup reads /etc/hosts and
// /etc/resolv.conf afresh, so that changes since start-up take effect, as resolve_hostname does.
#include <sys/select.h>

#include <array>
#include <cstdint>

// The most sockets one lookup has open at once (one a name server, UDP and TCP).
inline constexpr int RESOLVE_MAX_SOCKETS = 8;

struct ResolveSocket {
    int fd = -1;
    bool read = false;  // wants to be read from
    bool write = false; // wants room to write
};

// One lookup. It must stay where it is while it is under way: the library is given its address.
struct ResolveLookup {
    void* channel = nullptr; // the library's, while the lookup is under way
    std::array<ResolveSocket, RESOLVE_MAX_SOCKETS> sockets{};
    const char* name = nullptr; // the caller's, kept until the lookup ends
    int status = 0;             // 1 resolved, 0 under way, -1 not resolved
    uint32_t address = 0;       // when resolved: the first IPv4 address, host byte order
    const char* failure = "";   // when not resolved: why, in the library's words
    // Set by a caller that says itself what became of its lookups: no line is logged.
    bool quiet = false;
};

// Starts looking up `name`, which the caller keeps until the lookup has ended: 1 resolved at once
// (a dotted address, or a name the library answers without asking: `address` set), 0 under way,
// -1 not resolved ("error resolving hostname %s" logged unless `quiet`, as every failure below).
int resolve_start(ResolveLookup& lookup, const char* name);
// When the lookup wants to be taken further at the latest (monotonic microseconds, see
// sys/deadline.h): a tenth of a second on while it is under way, for its time-outs. Its sockets are
// in `lookup.sockets`.
int64_t resolve_wake_us(const ResolveLookup& lookup, int64_t now_us);
// Takes the lookup further with what select found ready (its time-outs are handled whether or
// not a socket is ready): 1 resolved, 0 still under way, -1 not resolved.
int resolve_continue(ResolveLookup& lookup, const fd_set& readable, const fd_set& writable);
// Ends a lookup under way without a result or a log line; harmless on one that has ended.
void resolve_cancel(ResolveLookup& lookup);
