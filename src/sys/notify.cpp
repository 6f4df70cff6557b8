// SPDX-License-Identifier: Apache-2.0
#include "sys/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace {

struct Notifier {
    int fd = -1;
    sockaddr_un address{};
    socklen_t address_len = 0;
    bool watchdog_sent = false;
    int64_t watchdog_sent_us = 0;
};

Notifier g_notifier;

void send_text(const char* text) {
    if (g_notifier.fd < 0)
        return;
    // A lost message is not worth holding the loop up for: the next one follows soon.
    sendto(g_notifier.fd, text, strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&g_notifier.address), g_notifier.address_len);
}

} // namespace

int notify_open(const char* address) {
    notify_close();
    if (address == nullptr || (address[0] != '/' && address[0] != '@'))
        return 0;
    const size_t len = strlen(address);
    Notifier n;
    if (len >= sizeof n.address.sun_path)
        return 0;
    n.address.sun_family = AF_UNIX;
    memcpy(n.address.sun_path, address, len);
    if (address[0] == '@')
        n.address.sun_path[0] = '\0'; // abstract: no terminating zero counted
    n.address_len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (address[0] == '@' ? 0 : 1));
    n.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (n.fd < 0)
        return 0;
    g_notifier = n;
    return 1;
}

void notify_ready() {
    send_text("READY=1");
}

void notify_watchdog(int64_t now_us) {
    if (g_notifier.fd < 0 || (g_notifier.watchdog_sent &&
                              now_us - g_notifier.watchdog_sent_us < NOTIFY_WATCHDOG_INTERVAL_US))
        return;
    send_text("WATCHDOG=1");
    g_notifier.watchdog_sent = true;
    g_notifier.watchdog_sent_us = now_us;
}

void notify_close() {
    if (g_notifier.fd >= 0)
        close(g_notifier.fd);
    g_notifier = Notifier{};
}
