// SPDX-License-Identifier: Apache-2.0
// Messages to the service manager: a datagram socket of the test stands in for it.
#include "sys/notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

// The service manager's socket; the module is closed again with it.
struct Listener : NotifyListener {
    using NotifyListener::NotifyListener;
    ~Listener() { notify_close(); }
};

using Messages = std::vector<std::string>;

TEST(Notify, WatchdogAtMostOnceAnIntervalReadyWhenAsked) {
    TempDir dir;
    Listener manager(dir.file("notify"));
    ASSERT_EQ(notify_open(dir.file("notify").c_str()), 1);
    notify_ready();
    EXPECT_EQ(manager.take(), Messages{"READY=1"});
    // now_us of each call and whether it sends: the first always, later ones only a whole
    // interval after the last one sent (a skipped call does not restart the interval).
    constexpr int64_t s = NOTIFY_WATCHDOG_INTERVAL_US;
    const struct {
        int64_t now_us;
        bool sends;
    } rows[] = {{5 * s, true},          {5 * s + 1, false},    {6 * s - 1, false}, {6 * s, true},
                {6 * s + s / 2, false}, {7 * s + s / 4, true}, {20 * s, true},     {20 * s, false}};
    for (const auto& row : rows) {
        notify_watchdog(row.now_us);
        EXPECT_EQ(manager.take(), row.sends ? Messages{"WATCHDOG=1"} : Messages{}) << row.now_us;
    }
}

TEST(Notify, AbstractAddressAndNoAddress) {
    const std::string name = "@kovex4-notify-test-" + std::to_string(getpid());
    Listener manager(name);
    ASSERT_EQ(notify_open(name.c_str()), 1);
    notify_watchdog(0);
    EXPECT_EQ(manager.take(), Messages{"WATCHDOG=1"});
    // Without a usable address (no service manager, a relative path) nothing is sent, and an
    // earlier socket is closed.
    for (const char* address : {static_cast<const char*>(nullptr), "", "notify"}) {
        EXPECT_EQ(notify_open(address), 0);
        notify_ready();
        notify_watchdog(100 * NOTIFY_WATCHDOG_INTERVAL_US);
        EXPECT_EQ(manager.take(), Messages{});
    }
}

} // namespace
