// The simulated field device as its users meet it: the program and the faults it injects.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <tuple>
#include <utility>

#include "device/commands.h"
#include "device/link.h"
#include "device_test.h"

namespace {

// Ends the program on the way out, whatever assertion stops the test.
struct Child {
    pid_t pid;
    ~Child() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};

// A read of item 'i' 1.
const Bytes READ_I1 = hex("02 07 41 01 00 01 69 01 00 03 AD 00");

} // namespace

TEST(DevSimProgram, ServesAPtyUntilTerminated) {
    TempDir dir;
    const std::string link = dir.file("device");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    Child child{fork()};
    if (child.pid == 0) {
        dup2(out[1], 1);
        execl(KOVEX4_DEVSIM, "kovex4-devsim", "--set", "i:7=0x1234", "--set", "H:0=200", "--block",
              "1,2,3,4,5,6,7,8,9,10", "--baud", "1200", "--link", link.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char text[128] = {};
    ASSERT_TRUE(wait_readable(out[0], 5000));
    ASSERT_GT(read(out[0], text, sizeof text - 1), 0);
    close(out[0]);
    ASSERT_EQ(std::string(text).rfind("kovex4-devsim: device on /dev/pts/", 0), 0u) << text;
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    DevItem items[] = {{'i', 7, 0}, {'H', 0, 0}};
    DevLine line{fd};
    EXPECT_EQ(dev_read_items(line, 3, 2, items), 1);
    EXPECT_EQ(items[0].value, 0x1234);
    EXPECT_EQ(items[1].value, 200);
    DevBlock block{};
    const int64_t t0 = now_ns();
    EXPECT_EQ(dev_read_block(line, 3, block), 1);
    EXPECT_GT(seconds_since(t0), 0.18); // 23 reply bytes at 1200 bit/s take 192 ms
    EXPECT_EQ(block.word, 0x0201);
    EXPECT_EQ(block.byte[8], 10);
    close(fd);
    kill(child.pid, SIGTERM);
    int status = 0;
    ASSERT_GT(waitpid(std::exchange(child.pid, 0), &status, 0), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);
}

// What the gateway's recogniser makes of each fault's reply plan to a read of one item or to a
// flag write: the reply code, 0 when no reply is recognised, -1 when nothing is sent at all.
TEST(DevSimFaults, EachFaultAsTheGatewaySeesIt) {
    const std::tuple<SimFault, bool, int> rows[] = {
        {SimFault::none, true, 0x21},        {SimFault::silent, true, -1},
        {SimFault::nak, true, 0x15},         {SimFault::bad_checksum, true, 0},
        {SimFault::bad_checksum, false, 0},  {SimFault::garbage, true, 0x21},
        {SimFault::split, true, 0x21},       {SimFault::late, true, 0x21},
        {SimFault::wrong_count, true, 0x21}, {SimFault::wrong_count, false, 0x21},
    };
    for (const auto& [fault, read, code] : rows) {
        SCOPED_TRACE(sim_fault_name(fault));
        const Bytes request = read ? READ_I1 : hex("02 04 41 01 10 01 03 53 00");
        DevSim sim;
        sim.next_faults = {fault};
        std::vector<SimReply> plans;
        devsim_feed(sim, request.data(), request.size(), plans);
        ASSERT_EQ(plans.size(), code < 0 ? 0u : 1u);
        if (code < 0)
            continue;
        DevReply reply;
        DevRecogniser rec{};
        dev_recogniser_reset(rec, reply);
        bool done = false;
        for (const Bytes& w : plans[0].writes)
            for (uint8_t b : w)
                done = done || dev_recognise_byte(rec, b);
        EXPECT_EQ(done ? reply.code : 0, code);
        EXPECT_EQ(plans[0].delay_ms, fault == SimFault::late ? sim.late_ms : 0u);
        EXPECT_EQ(plans[0].writes.size() > 1, fault == SimFault::split);
        EXPECT_EQ(plans[0].writes[0][0] != 0x02, fault == SimFault::garbage);
        // A wrong count on a read: the reply's item count is not the one asked for.
        if (read && reply.code == 0x21) {
            EXPECT_EQ(reply.data[0] != 1, fault == SimFault::wrong_count);
        }
    }
}
