// The simulated field device: request parsing, its store, fault plans, serving and the program.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "device/commands.h"
#include "device/link.h"
#include "device_test.h"
#include "support.h"

namespace {

Bytes joined(const std::vector<SimReply>& plans) {
    Bytes out;
    for (const SimReply& plan : plans) {
        for (const Bytes& w : plan.writes) {
            out.insert(out.end(), w.begin(), w.end());
        }
    }
    return out;
}

// Ends the program on the way out, whatever assertion stops the test.
struct Child {
    pid_t pid;
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

const Bytes READ_I1 = hex("02 07 41 01 00 01 69 01 00 03 AD 00");

} // namespace

TEST(DevSimFeed, ParsesAndAnswersWellFormedRequestsOnly) {
    const std::string flag = "02 04 41 01 10 01 03 53 00", ack = "02 03 40 01 06";
    const std::pair<std::string, std::string> rows[] = {
        // request bytes, planned reply bytes
        {flag, ack},
        {"00 55 02 04 41 01 10 01 03 52 00 " + flag, ack}, // garbage, bad checksum
        {"02 FF 41 00 " + flag, ack},                      // looks like a header, is noise
        {"02 03 40 01 10", ""},                            // short form is no request
        {"02 03 41 07 99 03 E1 00", "02 04 40 07 15 00"},  // unknown command
        {"02 07 41 01 00 02 69 01 00 03 AE 00", "02 04 40 01 15 00"}, // count does not fit
        {"02 07 41 01 00 01 69 01 00 03 AD 00", "02 03 40 01 21 02 06 41 01 00 01 34 12 03 89 00"},
    };
    for (const auto& [input, replies] : rows) {
        SCOPED_TRACE(input);
        Bytes in = hex(input);
        for (size_t step : {in.size(), size_t{1}}) { // whole, then byte by byte
            DevSim sim;
            sim.items['i'][1] = 0x1234;
            std::vector<SimReply> plans;
            for (size_t i = 0; i < in.size(); i += step) {
                devsim_feed(sim, in.data() + i, std::min(step, in.size() - i), plans);
            }
            EXPECT_EQ(sim.requests.size(), replies.empty() ? 0u : 1u);
            EXPECT_EQ(joined(plans), hex(replies));
        }
    }
}

TEST(DevSimFeed, FaultPlans) {
    const Bytes flag = hex("02 04 41 01 10 01 03 53 00");
    struct Row {
        SimFault fault;
        Bytes request;
        int code; // of the recognised reply; 0: none recognised, -1: nothing planned
    } rows[] = {
        {SimFault::none, READ_I1, 0x21},        {SimFault::silent, READ_I1, -1},
        {SimFault::nak, READ_I1, 0x15},         {SimFault::bad_checksum, READ_I1, 0},
        {SimFault::bad_checksum, flag, 0},      {SimFault::garbage, READ_I1, 0x21},
        {SimFault::split, READ_I1, 0x21},       {SimFault::late, READ_I1, 0x21},
        {SimFault::wrong_count, READ_I1, 0x21}, {SimFault::wrong_count, flag, 0x21},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(sim_fault_name(row.fault));
        DevSim sim;
        sim.next_faults = {row.fault};
        std::vector<SimReply> plans;
        devsim_feed(sim, row.request.data(), row.request.size(), plans);
        EXPECT_EQ(sim.faults_injected, row.fault == SimFault::none ? 0u : 1u);
        ASSERT_EQ(plans.size(), row.code < 0 ? 0u : 1u);
        if (row.code < 0) {
            continue;
        }
        DevReply reply;
        DevRecogniser rec{};
        dev_recogniser_reset(rec, reply);
        bool done = false;
        for (uint8_t b : joined(plans)) {
            done = done || dev_recognise_byte(rec, b);
        }
        EXPECT_EQ(done ? reply.code : 0, row.code);
        EXPECT_EQ(plans[0].delay_ms, row.fault == SimFault::late ? sim.late_ms : 0u);
        EXPECT_EQ(plans[0].writes.size() > 1, row.fault == SimFault::split);
        EXPECT_EQ(plans[0].writes[0][0] != 0x02, row.fault == SimFault::garbage);
        if (row.fault == SimFault::wrong_count && row.request[4] == 0x00) {
            EXPECT_NE(reply.data[0], row.request[5]);
        }
    }
}

TEST(DevSimFeed, RandomFaultsFollowPercentAndSeed) {
    auto run = [](unsigned percent, uint32_t seed) {
        DevSim sim;
        sim.fault_percent = percent;
        sim.seed = seed;
        std::vector<SimReply> plans;
        for (int i = 0; i < 100; ++i) {
            devsim_feed(sim, READ_I1.data(), READ_I1.size(), plans);
        }
        return std::make_pair(sim.faults_injected, joined(plans));
    };
    EXPECT_EQ(run(0, 7).first, 0u);
    EXPECT_EQ(run(100, 7).first, 100u);
    auto half = run(30, 7);
    EXPECT_GT(half.first, 10u);
    EXPECT_LT(half.first, 60u);
    EXPECT_EQ(run(30, 7), half);
    EXPECT_NE(run(30, 8).second, half.second);
}

TEST(DevSimServer, StoreBehindTheCommands) {
    PtyLine line;
    DevSimServer sim(line.peer());
    sim.with([](DevSim& s) {
        s.items['a'][2] = 0xFFFF;
        s.items['H'][4] = 0x1234;
        s.block = {0, 0, 0, 0, 0, 0, 0, 0xA7, 0xA8, 0};
    });
    DevItem items[] = {{'i', 1, 0xBEEF}, {'a', 2, 0x0102}, {'@', 3, 0x0180}, {'H', 4, 0}};
    ASSERT_EQ(dev_write_items(line.fd(), 1, 3, items), 1);
    ASSERT_EQ(dev_read_items(line.fd(), 1, 4, items), 1);
    EXPECT_EQ(items[0].value, 0xBEEF);
    EXPECT_EQ(items[1].value, 0x0002); // 'a' is written as one byte
    EXPECT_EQ(items[2].value, 0x0080);
    EXPECT_EQ(items[3].value, 0x0034); // one-byte types answer the low byte

    DevBlock block{0x0201, {0, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}};
    ASSERT_EQ(dev_write_block(line.fd(), 1, block), 1);
    ASSERT_EQ(dev_write_flag(line.fd(), 1, 9), 1);
    sim.with([](DevSim& s) {
        EXPECT_EQ(s.block,
                  (std::array<uint8_t, 10>{1, 2, 0x11, 0x12, 0x13, 0x14, 0x15, 0xA7, 0xA8, 0x18}));
        EXPECT_EQ(s.flag, 1);
        ASSERT_EQ(s.requests.size(), 4u);
        EXPECT_EQ(s.requests[3].command, 0x10);
        EXPECT_EQ(s.requests[3].data, Bytes{1});
    });
}

TEST(DevSimServer, PacesRepliesAndStopsDuringADelay) {
    PtyLine line;
    auto server = std::make_unique<DevSimServer>(line.peer());
    server->with([](DevSim& s) { s.baud = 1200; });
    DevBlock block{};
    auto t0 = Clock::now();
    ASSERT_EQ(dev_read_block(line.fd(), 1, block), 1);
    EXPECT_GT(seconds_since(t0), 0.18); // 23 reply bytes at 1200 bit/s take 192 ms

    server->with([](DevSim& s) {
        s.late_ms = 60000;
        s.next_faults = {SimFault::late};
    });
    Bytes req = hex("02 03 41 01 20 03 62 00");
    ASSERT_EQ(write(line.fd(), req.data(), req.size()), 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    t0 = Clock::now();
    server.reset();
    EXPECT_LT(seconds_since(t0), 1.0);
}

TEST(DevSimProgram, ServesAPtyUntilTerminated) {
    TempDir dir;
    std::string link = dir.file("device");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    Child child{fork()};
    if (child.pid == 0) {
        dup2(out[1], 1);
        execl(KOVEX4_DEVSIM, "kovex4-devsim", "--set", "i:7=0x1234", "--set", "H:0=200", "--block",
              "1,2,3,4,5,6,7,8,9,10", "--link", link.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char text[128] = {};
    ASSERT_TRUE(wait_readable(out[0], 5000));
    ASSERT_GT(read(out[0], text, sizeof text - 1), 0);
    std::string line(text);
    ASSERT_EQ(line.rfind("kovex4-devsim: device on /dev/pts/", 0), 0u) << line;
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    DevItem items[] = {{'i', 7, 0}, {'H', 0, 0}};
    EXPECT_EQ(dev_read_items(fd, 3, 2, items), 1);
    EXPECT_EQ(items[0].value, 0x1234);
    EXPECT_EQ(items[1].value, 200);
    DevBlock block{};
    EXPECT_EQ(dev_read_block(fd, 3, block), 1);
    EXPECT_EQ(block.word, 0x0201);
    EXPECT_EQ(block.byte[8], 10);
    close(fd);
    kill(child.pid, SIGTERM);
    int status = 0;
    ASSERT_GT(waitpid(std::exchange(child.pid, 0), &status, 0), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);
    close(out[0]);

    const std::pair<const char*, int> rows[] = {
        {"--set=i:256=1", 2}, {"--block=1,2", 2}, {"--fault-percent=101", 2}, {"--help", 0}};
    for (const auto& [arg, code] : rows) {
        std::string cmd = std::string(KOVEX4_DEVSIM) + " " + arg + " >/dev/null 2>&1";
        EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), code) << arg;
    }
}
