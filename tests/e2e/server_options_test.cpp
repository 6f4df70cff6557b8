// The opt-in server settings through the real daemon and third-party clients: several clients at
// once, function 6 from mbpoll, and a listen address.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ServerOptions : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for private mount namespaces";
        d.sim().with([](DevSim& s) {
            s.items['i'][1] = 11;
            s.items['i'][2] = 22;
        });
    }
    void start_serving(const std::string& extra) {
        ASSERT_TRUE(d.start(d.settings(extra)));
        ASSERT_TRUE(d.wait_listening());
    }
    std::string parallel_reads(int clients) {
        return run_command("/usr/bin/python3 " KOVEX4_PEER " parallel " + std::to_string(d.port()) +
                           " " + std::to_string(clients) + " 20 1024 2 2>&1");
    }
    // mbpoll writing one value to register 0x0400 (mbpoll counts from 1).
    std::string mbpoll_write(unsigned value) {
        return run_command("/usr/bin/mbpoll -m tcp -p " + std::to_string(d.port()) +
                           " -a 1 -r 1025 -t 4 -1 127.0.0.1 " + std::to_string(value) + " 2>&1");
    }
    Daemon d;
};

// Four pymodbus clients reading side by side are all served on their own connections; with one
// client allowed (the default) the newest throws the others out.
TEST_F(ServerOptions, SeveralClientsAtOnce) {
    start_serving("MOD_KOVEX4_CLIENTS=4\n");
    EXPECT_EQ(parallel_reads(4), "ok\n");
}

TEST_F(ServerOptions, OneClientByDefault) {
    start_serving("");
    EXPECT_NE(parallel_reads(4), "ok\n");
}

TEST_F(ServerOptions, WriteSingleRegisterFromMbpoll) {
    start_serving("MOD_KOVEX4_WRITE_SINGLE=1\n");
    const std::string out = mbpoll_write(4321);
    EXPECT_NE(out.find("Written 1 references"), std::string::npos) << out;
    EXPECT_EQ(d.sim().with([](DevSim& s) { return s.items['i'][1]; }), 4321);
}

TEST_F(ServerOptions, WriteSingleRefusedByDefault) {
    start_serving("");
    const std::string out = mbpoll_write(4321);
    EXPECT_NE(out.find("Illegal function"), std::string::npos) << out;
    EXPECT_EQ(d.sim().with([](DevSim& s) { return s.items['i'][1]; }), 11);
}

TEST_F(ServerOptions, ListenAddressOnly) {
    ASSERT_TRUE(d.start(d.settings("MOD_KOVEX4_LISTEN=127.0.0.2\n")));
    ASSERT_TRUE(d.wait_log("started"));
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        usleep(50000);
        fd = connect_to("127.0.0.2", d.port());
    }
    ASSERT_GE(fd, 0);
    const Bytes answer = request_reply(fd, {0, 1, 0, 0, 0, 6, 1, 3, 0x04, 0x00, 0, 1});
    close(fd);
    EXPECT_EQ(answer, (Bytes{0, 1, 0, 0, 0, 5, 1, 3, 2, 0, 11}));
    EXPECT_LT(connect_local(d.port()), 0);
}

} // namespace
