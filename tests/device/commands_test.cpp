// SPDX-License-Identifier: Apache-2.0
// The five device commands: request layout, reply judgement, limits, and the simulated device.
#include <functional>
#include <optional>
#include <tuple>

#include "device/commands.h"
#include "device/link.h"
#include "device_test.h"
#include "sys/deadline.h"

namespace {

using Values = std::vector<uint16_t>;

const char NAK[] = "02 04 40 01 15 00";
const char ACK[] = "02 03 40 01 06";

// Runs the command `what` names on station 1: "read <letters>" reads item 1 of each type,
// "block" the block, "write" item 'i' 1, "write block" and "flag" write those. Returns what a
// read left in its outputs (item values, or word, byte[1] and byte[8]; 0xEEEE/0xEE: untouched).
Values run_command(const std::string& what, DevLine& fd, int& result) {
    std::vector<DevItem> items;
    DevBlock block{0xEEEE, {}};
    block.byte.fill(0xEE);
    const DevItem item{'i', 1, 5};
    if (what.rfind("read ", 0) == 0) {
        for (char type : what.substr(5))
            items.push_back({static_cast<uint8_t>(type), 1, 0xEEEE});
        result = dev_read_items(fd, 1, static_cast<int>(items.size()), items.data());
        Values out;
        for (const DevItem& i : items)
            out.push_back(i.value);
        return out;
    }
    if (what == "block") {
        result = dev_read_block(fd, 1, block);
        return {block.word, block.byte[1], block.byte[8]};
    }
    result = what == "write"         ? dev_write_items(fd, 1, 1, &item)
             : what == "write block" ? dev_write_block(fd, 1, block)
                                     : dev_write_flag(fd, 1, 0);
    return {};
}

} // namespace

TEST(DevCommands, RequestFramesByteForByte) {
    DevBlock block{0x0201, {0x00, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}};
    DevItem reads[] = {{0x69, 1, 0}, {0x40, 3, 0}};
    DevItem writes[] = {{0x69, 1, 0x0201}, {0x61, 2, 0x0102}, {0x40, 3, 0x0001}};
    DevItem high_only[] = {{0x40, 3, 0x0100}};
    const std::pair<std::function<int(DevLine&)>, const char*> rows[] = {
        {[](DevLine& fd) { return dev_write_flag(fd, 1, 1); }, "02 04 41 01 10 01 03 53 00"},
        {[](DevLine& fd) { return dev_write_flag(fd, 1, 7); }, "02 04 41 01 10 01 03 53 00"},
        {[&](DevLine& fd) { return dev_read_block(fd, 1, block); }, "02 03 41 01 20 03 62 00"},
        {[&](DevLine& fd) { return dev_read_items(fd, 0x105, 2, reads); }, // station's low 8 bits
         "02 0A 41 05 00 02 69 01 00 40 03 00 03 F5 00"},
        {[](DevLine& fd) { return dev_read_items(fd, 5, 0, nullptr); },
         "02 04 41 05 00 00 03 46 00"},
        {[&](DevLine& fd) { return dev_write_items(fd, 5, 3, writes); },
         "02 11 41 05 01 03 69 01 00 01 02 61 02 00 02 40 03 00 01 03 60 01"},
        {[&](DevLine& fd) { return dev_write_items(fd, 5, 1, high_only); },
         "02 08 41 05 01 01 40 03 00 00 03 8B 00"},
        {[&](DevLine& fd) { return dev_write_block(fd, 1, block); },
         "02 0B 41 01 21 01 02 11 12 13 14 15 18 03 DD 00"},
    };
    Pty line;
    DevLine dev{line.slave};
    for (const auto& [call, frame] : rows) {
        SCOPED_TRACE(frame);
        EXPECT_EQ(scripted(line.master, script(NAK), [&, call = call] { EXPECT_EQ(call(dev), 0); }),
                  hex(frame));
    }
}

// Each command against a scripted reply: its result and, on success, what a read returned. A
// failed command leaves its outputs untouched.
TEST(DevCommands, ReplyJudgement) {
    const std::string data = "02 03 40 01 21 | ", one = data + "02 04 41 01 01 01 03 44 00";
    const struct {
        const char* command;
        std::string reply;
        int result;
        Values outputs = {};
    } rows[] = {
        {"read i@", data + "02 07 41 01 00 02 01 02 01 03 48 00", 1, {0x0201, 0x0001}},
        {"read @ia", data + "02 09 41 01 00 03 80 FF FF 34 12 03 09 03", 1, {128, 65535, 0x1234}},
        {"read ii", data + "02 06 41 01 00 02 01 02 03 47 00", 1, {0x0201, 0}}, // short data
        {"read i@", data + "02 07 41 01 00 03 01 02 01 03 49 00", 0},
        {"read i", ACK, 0},
        {"read i", NAK, 0},
        {"block",
         data + "02 0D 41 77 20 01 02 11 12 13 14 15 16 17 18 03 7F 01",
         1,
         {0x0201, 0x11, 0x18}},
        {"block", data + "02 0C 41 01 20 01 02 11 12 13 14 15 16 17 03 F1 00", 0},
        {"block", data + "02 0E 41 01 20 01 02 11 12 13 14 15 16 17 18 19 03 22 01", 0},
        {"block", ACK, 0},
        {"write", ACK, 1},
        {"write", NAK, 0},
        {"write", one, 0},
        {"write", data + ACK, 1},
        {"write block", one, 0},
        {"write block", ACK, 1},
        {"flag", data + ACK, 1},
        {"flag", NAK, 0},
    };
    Pty line;
    DevLine dev{line.slave};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.command) + ": " + r.reply);
        int result = -1;
        Values outputs;
        scripted(line.master, script(r.reply),
                 [&] { outputs = run_command(r.command, dev, result); });
        EXPECT_EQ(result, r.result);
        if (result == 1) {
            EXPECT_EQ(outputs, r.outputs);
        } else {
            for (uint16_t v : outputs)
                EXPECT_TRUE(v == 0xEEEE || v == 0xEE) << v;
        }
    }
}

// A device answering after a second is waited for; a silent one costs the budget alone, and the
// answer comes at its end, before the late-reply second has passed. A late reply, coming within
// that second, is dropped before the next request is written and never answers it. The same
// holds while the thread gets a signal every 50 ms: every wait resumes with what is left of it.
TEST(DevCommands, SlowSilentAndLateDeviceWithAndWithoutSignals) {
    for (bool signals : {false, true}) {
        SCOPED_TRACE(signals ? "with signals" : "without signals");
        Pty line;
        DevSimServer sim(line.master);
        sim.with([](DevSim& s) {
            s.block[0] = 0x42;
            s.items['i'][1] = 111;
            s.late_ms = 1000;
            s.next_faults = {SimFault::late, SimFault::silent};
        });
        const unsigned handled = SignalStorm::handled();
        std::optional<SignalStorm> storm;
        if (signals)
            storm.emplace();
        DevLine dev{line.slave};
        DevBlock block{0xEEEE, {}};
        int64_t t0 = now_ns();
        EXPECT_EQ(dev_read_block(dev, 1, block), 1);
        EXPECT_GT(seconds_since(t0), 0.9);
        EXPECT_EQ(block.word, 0x0042);
        block.word = 0xEEEE;
        t0 = now_ns();
        EXPECT_EQ(dev_read_block(dev, 1, block), 0);
        EXPECT_GT(dev.quiet_until_us, wait_clock_us());
        EXPECT_GT(seconds_since(t0), 2.9);
        EXPECT_EQ(block.word, 0xEEEE);

        sim.with([](DevSim& s) {
            s.late_ms = 3500; // half a second from either end of the late-reply second
            s.next_faults = {SimFault::late};
        });
        DevItem item{'i', 1, 0};
        EXPECT_EQ(dev_read_items(dev, 1, 1, &item), 0);
        sim.with([](DevSim& s) { s.items['i'][1] = 222; });
        EXPECT_EQ(dev_read_items(dev, 1, 1, &item), 1); // not the late 111
        EXPECT_EQ(item.value, 222);
        EXPECT_EQ(dev.counters.timeouts, 2u);
        EXPECT_EQ(dev.counters.transactions, 4u);
        EXPECT_EQ(SignalStorm::handled() > handled, signals);
    }
}
