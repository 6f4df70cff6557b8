// SPDX-License-Identifier: Apache-2.0
#include "sys/resolve.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "sys/log.h"

// The library's one function with a time_t, ares_timeout, answers in a struct timeval: a 32-bit
// target's library may have been built with a 32-bit time_t while the gateway counts in 64 bits,
// so no time_t is passed to or from it, and a call to it does not build.
#pragma GCC poison ares_timeout

namespace {

// How often a lookup under way is looked at for its time-outs (a name server that does not
// answer, the next try), since the library is not asked when exactly (above).
constexpr int64_t RESOLVE_TICK_US = 100000;

// The library tells which of its sockets it waits on, and for what.
void socket_state(void* data, ares_socket_t fd, int readable, int writable) {
    auto& lookup = *static_cast<ResolveLookup*>(data);
    ResolveSocket* free_entry = nullptr;
    for (ResolveSocket& s : lookup.sockets) {
        if (s.fd == fd) {
            s = readable || writable ? ResolveSocket{fd, readable != 0, writable != 0}
                                     : ResolveSocket{};
            return;
        }
        if (s.fd < 0 && free_entry == nullptr)
            free_entry = &s;
    }
    // A socket beyond the table is not watched: the lookup then ends at its time-out.
    if ((readable || writable) && free_entry != nullptr)
        *free_entry = ResolveSocket{fd, readable != 0, writable != 0};
}

int not_resolved(ResolveLookup& lookup, const char* why) {
    lookup.failure = why;
    if (!lookup.quiet)
        log_msg(LOG_ERR, "error resolving hostname %s", lookup.name);
    return lookup.status = -1;
}

void resolved(void* data, int status, int, ares_addrinfo* result) {
    auto& lookup = *static_cast<ResolveLookup*>(data);
    if (status == ARES_EDESTRUCTION) // cancelled
        return;
    const ares_addrinfo_node* node =
        status == ARES_SUCCESS && result != nullptr ? result->nodes : nullptr;
    while (node != nullptr && node->ai_family != AF_INET)
        node = node->ai_next;
    if (node != nullptr) {
        lookup.address =
            ntohl(reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr.s_addr);
        lookup.status = 1;
    } else {
        not_resolved(lookup, status == ARES_SUCCESS ? "no IPv4 address" : ares_strerror(status));
    }
    if (result != nullptr)
        ares_freeaddrinfo(result);
}

// A lookup that has ended gives its channel back.
int ended(ResolveLookup& lookup) {
    if (lookup.status != 0 && lookup.channel != nullptr) {
        ares_destroy(static_cast<ares_channel>(lookup.channel));
        lookup.channel = nullptr;
        lookup.sockets = {};
    }
    return lookup.status;
}

} // namespace

int resolve_start(ResolveLookup& lookup, const char* name) {
    resolve_cancel(lookup);
    lookup.name = name;
    lookup.address = 0;
    lookup.status = 0;
    lookup.failure = "";
    // The forms of an address that the system's resolver takes without a lookup.
    in_addr dotted{};
    if (inet_aton(name, &dotted) != 0) {
        lookup.address = ntohl(dotted.s_addr);
        return lookup.status = 1;
    }
    static const bool library_ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
    ares_options options{};
    options.sock_state_cb = socket_state;
    options.sock_state_cb_data = &lookup;
    ares_channel channel = nullptr;
    if (!library_ready ||
        ares_init_options(&channel, &options, ARES_OPT_SOCK_STATE_CB) != ARES_SUCCESS)
        return not_resolved(lookup, "the resolver cannot be set up");
    lookup.channel = channel;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ares_getaddrinfo(channel, name, nullptr, &hints, resolved, &lookup);
    return ended(lookup);
}

int64_t resolve_wake_us(const ResolveLookup& lookup, int64_t now_us) {
    return lookup.channel == nullptr ? now_us : now_us + RESOLVE_TICK_US;
}

int resolve_continue(ResolveLookup& lookup, const fd_set& readable, const fd_set& writable) {
    if (lookup.channel == nullptr)
        return lookup.status;
    auto channel = static_cast<ares_channel>(lookup.channel);
    // The table changes as the library is called: what was ready is taken from a copy.
    const auto sockets = lookup.sockets;
    bool any = false;
    for (const ResolveSocket& s : sockets) {
        if (s.fd < 0 || s.fd >= FD_SETSIZE || lookup.status != 0)
            continue;
        const bool read = s.read && FD_ISSET(s.fd, &readable);
        const bool write = s.write && FD_ISSET(s.fd, &writable);
        if (read || write) {
            any = true;
            ares_process_fd(channel, read ? s.fd : ARES_SOCKET_BAD, write ? s.fd : ARES_SOCKET_BAD);
        }
    }
    // Nothing ready: its time-outs (a name server that does not answer, the next try).
    if (!any && lookup.status == 0)
        ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    return ended(lookup);
}

void resolve_cancel(ResolveLookup& lookup) {
    if (lookup.channel != nullptr)
        ares_destroy(static_cast<ares_channel>(lookup.channel));
    lookup.channel = nullptr;
    lookup.sockets = {};
}
