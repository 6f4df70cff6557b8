// SPDX-License-Identifier: Apache-2.0
// Pushes from the real daemon to real receivers. The daemon listens on and pushes to the same
// port, so the receiver takes the port first and the daemon runs without its own server. The
// first push comes one minute after start-up, so the test waits for it once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fixture.h"

namespace {

constexpr int FIRST_PUSH_MS = 75000;

class PushEndToEnd : public DaemonFixture {
protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        d.sim().with([](DevSim& s) {
            s.items['i'][1] = 300;
            s.items['i'][2] = 5;
            s.items['a'][1] = 17;
            s.items['i'][5] = 1; // slot 2's alarm register, 1029 (1-based)
        });
    }
    void TearDown() override { end_process(receiver); }

    // Slot 1: registers 1025-1026 every data period. Slot 2: register 17, alarm register 1029.
    std::string push_settings() const {
        return d.settings("MOD_KOVEX4_IPADDR=127.0.0.1\nMOD_KOVEX4_DATA_PERIOD=3600\n"
                          "MOD_KOVEX4_ALARM_PERIOD=1\nMOD_KOVEX4_START1=1025\n"
                          "MOD_KOVEX4_COUNT1=2\nMOD_KOVEX4_START2=17\nMOD_KOVEX4_COUNT2=1\n"
                          "MOD_KOVEX4_ALARM2=1029\n");
    }
    uint16_t alarm() { return item(5); }

    pid_t receiver = -1;
};

TEST_F(PushEndToEnd, SlotsReachThePushReceiverAndAlarmsAreCleared) {
    const std::string out = d.dir().file("pushrecv.out"), port = std::to_string(d.port());
    receiver = spawn_to_file({KOVEX4_PUSHRECV, "--port", port}, out);
    ASSERT_TRUE(wait_file_contains(out, "listening", 5000)) << read_file(out);
    ASSERT_TRUE(d.start(push_settings()));
    ASSERT_TRUE(d.wait_log("bind socket error: Address already in use"));

    ASSERT_TRUE(
        wait_file_contains(out, "slot unit=1 tid=0 start=16 count=1 values=17", FIRST_PUSH_MS))
        << read_file(out);
    EXPECT_NE(read_file(out).find("slot unit=1 tid=0 start=1024 count=2 values=300,5\n"),
              std::string::npos);
    EXPECT_TRUE(d.wait_log("TCP connection to 127.0.0.1 established"));
    // The acknowledged alarm is cleared on the device.
    EXPECT_TRUE(eventually([&] { return alarm() == 0; }, 5000));

    // A new alarm sends slot 2 alone at the next alarm period, and is cleared again.
    d.sim().with([](DevSim& s) {
        s.items['a'][1] = 18;
        s.items['i'][5] = 2;
    });
    ASSERT_TRUE(wait_file_contains(out, "start=16 count=1 values=18", 5000)) << read_file(out);
    EXPECT_TRUE(eventually([&] { return alarm() == 0; }, 5000));
    // The data slot went out once: alarm periods carry only the alarmed slot.
    const std::string text = read_file(out);
    EXPECT_EQ(text.find("start=1024"), text.rfind("start=1024"));

    // A receiver that answers with an exception leaves the alarm set.
    end_process(receiver);
    receiver = spawn_to_file({KOVEX4_PUSHRECV, "--port", port, "--answer", "exception"}, out);
    ASSERT_TRUE(wait_file_contains(out, "listening", 5000));
    const int cycles = d.count_log("TCP connection closed");
    d.sim().with([](DevSim& s) { s.items['i'][5] = 3; });
    ASSERT_TRUE(wait_file_contains(out, "start=16 count=1", 5000)) << read_file(out);
    ASSERT_TRUE(d.wait_log_count("TCP connection closed", cycles + 1, 5000));
    EXPECT_EQ(alarm(), 3);

    // The alarm stays set until a third-party server acknowledges the slot.
    end_process(receiver);
    const std::string server = d.dir().file("server.out");
    receiver = spawn_to_file({"/usr/bin/python3", KOVEX4_PEER, "server", port}, server);
    ASSERT_TRUE(wait_file_contains(server, "write 16 18", 15000)) << read_file(server);
    EXPECT_TRUE(eventually([&] { return alarm() == 0; }, 5000));
}

} // namespace
