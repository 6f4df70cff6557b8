// The five device commands: request layout, reply judgement, limits, and the simulated device.
#include <functional>

#include "device/commands.h"
#include "device/link.h"
#include "device_test.h"

namespace {

using Call = std::function<int(int fd)>;

// Writes of a scripted device, separated by '|'.
std::vector<Bytes> script(const std::string& text) {
    std::vector<Bytes> writes;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '|');) {
        writes.push_back(hex(part));
    }
    return writes;
}

const char NAK[] = "02 04 40 01 15 00";
const char ACK[] = "02 03 40 01 06";

} // namespace

TEST(DevCommands, RequestFramesByteForByte) {
    DevBlock block{0x0201, {0x00, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}};
    DevItem reads[] = {{0x69, 1, 0}, {0x40, 3, 0}};
    DevItem writes[] = {{0x69, 1, 0x0201}, {0x61, 2, 0x0102}, {0x40, 3, 0x0001}};
    DevItem high_only[] = {{0x40, 3, 0x0100}};
    std::pair<Call, const char*> rows[] = {
        {[](int fd) { return dev_write_flag(fd, 1, 1); }, "02 04 41 01 10 01 03 53 00"},
        {[](int fd) { return dev_write_flag(fd, 1, 7); }, "02 04 41 01 10 01 03 53 00"},
        {[&](int fd) { return dev_read_block(fd, 1, block); }, "02 03 41 01 20 03 62 00"},
        {[&](int fd) { return dev_read_items(fd, 0x105, 2, reads); }, // station's low 8 bits
         "02 0A 41 05 00 02 69 01 00 40 03 00 03 F5 00"},
        {[](int fd) { return dev_read_items(fd, 5, 0, nullptr); }, "02 04 41 05 00 00 03 46 00"},
        {[&](int fd) { return dev_write_items(fd, 5, 3, writes); },
         "02 11 41 05 01 03 69 01 00 01 02 61 02 00 02 40 03 00 01 03 60 01"},
        {[&](int fd) { return dev_write_items(fd, 5, 1, high_only); },
         "02 08 41 05 01 01 40 03 00 00 03 8B 00"},
        {[&](int fd) { return dev_write_block(fd, 1, block); },
         "02 0B 41 01 21 01 02 11 12 13 14 15 18 03 DD 00"},
    };
    PtyLine line;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.second);
        EXPECT_EQ(scripted(line.peer(), script(NAK), [&] { EXPECT_EQ(row.first(line.fd()), 0); }),
                  hex(row.second));
    }
}

TEST(DevCommands, ReadItemsJudgementAndWidths) {
    struct Row {
        const char* types; // item type letters
        std::string reply;
        int result;
        std::vector<uint16_t> values; // 0xEEEE: left untouched
    } rows[] = {
        {"i@", "02 03 40 01 21 | 02 07 41 01 00 02 01 02 01 03 48 00", 1, {0x0201, 0x0001}},
        {"@ia",
         "02 03 40 01 21 | 02 09 41 01 00 03 80 FF FF 34 12 03 09 03",
         1,
         {128, 65535, 0x1234}},
        {"ii", "02 03 40 01 21 | 02 06 41 01 00 02 01 02 03 47 00", 1, {0x0201, 0}}, // short data
        {"i@", "02 03 40 01 21 | 02 07 41 01 00 03 01 02 01 03 49 00", 0, {0xEEEE, 0xEEEE}},
        {"i", ACK, 0, {0xEEEE}},
        {"i", NAK, 0, {0xEEEE}},
    };
    PtyLine line;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        std::vector<DevItem> items;
        for (const char* t = row.types; *t != '\0'; ++t) {
            items.push_back({static_cast<uint8_t>(*t), 1, 0xEEEE});
        }
        scripted(line.peer(), script(row.reply), [&] {
            EXPECT_EQ(dev_read_items(line.fd(), 1, static_cast<int>(items.size()), items.data()),
                      row.result);
        });
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].value, row.values[i]) << i;
        }
    }
}

TEST(DevCommands, BlockAndWriteJudgement) {
    const DevBlock sentinel{0xEEEE, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};
    DevBlock out{};
    DevItem item{0x69, 1, 5};
    Call read_block = [&](int fd) { return dev_read_block(fd, 1, out); };
    Call write_items = [&](int fd) { return dev_write_items(fd, 1, 1, &item); };
    Call write_block = [&](int fd) { return dev_write_block(fd, 1, out); };
    Call write_flag = [](int fd) { return dev_write_flag(fd, 1, 0); };
    const std::string data = "02 03 40 01 21 | ";
    const std::string one = data + "02 04 41 01 01 01 03 44 00";
    struct Row {
        Call* call;
        std::string reply;
        int result;
    } rows[] = {
        {&read_block, data + "02 0D 41 77 20 01 02 11 12 13 14 15 16 17 18 03 7F 01", 1},
        {&read_block, data + "02 0C 41 01 20 01 02 11 12 13 14 15 16 17 03 F1 00", 0},
        {&read_block, data + "02 0E 41 01 20 01 02 11 12 13 14 15 16 17 18 19 03 22 01", 0},
        {&read_block, ACK, 0},
        {&write_items, ACK, 1},
        {&write_items, NAK, 0},
        {&write_items, one, 0},
        {&write_items, data + ACK, 1},
        {&write_block, one, 0},
        {&write_block, ACK, 1},
        {&write_flag, data + ACK, 1},
        {&write_flag, NAK, 0},
    };
    PtyLine line;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        out = sentinel;
        scripted(line.peer(), script(row.reply),
                 [&] { EXPECT_EQ((*row.call)(line.fd()), row.result); });
        bool filled = row.call == &read_block && row.result == 1;
        EXPECT_EQ(out.word, filled ? 0x0201 : 0xEEEE);
        EXPECT_EQ(out.byte[1], filled ? 0x11 : 0xEE);
        EXPECT_EQ(out.byte[8], filled ? 0x18 : 0xEE);
    }
}

TEST(DevCommands, OversizedListsSendNothing) {
    std::vector<DevItem> words(90, DevItem{0x69, 1, 0});
    std::vector<DevItem> bytes(70, DevItem{0x40, 1, 0});
    struct Row {
        bool write;
        std::vector<DevItem>* items;
        int count;
        size_t frame; // 0: nothing may be sent
    } rows[] = {
        {false, &words, 83, 258}, {false, &words, 84, 0}, {false, &words, -1, 0},
        {true, &words, 50, 259},  {true, &words, 51, 0},  {true, &bytes, 62, 257},
        {true, &bytes, 63, 0},    {true, &bytes, -1, 0},
    };
    PtyLine line;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.count);
        auto call = [&] {
            DevItem* items = row.items->data();
            return row.write ? dev_write_items(line.fd(), 1, row.count, items)
                             : dev_read_items(line.fd(), 1, row.count, items);
        };
        if (row.frame == 0) {
            EXPECT_EQ(call(), 0);
            EXPECT_FALSE(wait_readable(line.peer(), 50));
        } else {
            EXPECT_EQ(scripted(line.peer(), script(NAK), call).size(), row.frame);
        }
    }
}

// Commands against the simulated device, with one injected fault each.
TEST(DevCommands, SimulatedDeviceFaults) {
    struct Row {
        SimFault fault;
        bool write;
        int result;
        uint16_t stored; // the device's item after the command
    } rows[] = {
        {SimFault::none, false, 1, 0x1234},        {SimFault::garbage, false, 1, 0x1234},
        {SimFault::split, false, 1, 0x1234},       {SimFault::nak, false, 0, 0x1234},
        {SimFault::wrong_count, false, 0, 0x1234}, {SimFault::none, true, 1, 0x0506},
        {SimFault::split, true, 1, 0x0506},        {SimFault::nak, true, 0, 0x1234},
        {SimFault::wrong_count, true, 0, 0x1234},
    };
    PtyLine line;
    DevSimServer sim(line.peer());
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(sim_fault_name(row.fault)) + (row.write ? " write" : " read"));
        sim.with([&](DevSim& s) {
            s.items['i'][9] = 0x1234;
            s.next_faults = {row.fault};
        });
        DevItem item{'i', 9, row.write ? uint16_t{0x0506} : uint16_t{0xEEEE}};
        int result = row.write ? dev_write_items(line.fd(), 1, 1, &item)
                               : dev_read_items(line.fd(), 1, 1, &item);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(item.value, row.write ? 0x0506 : row.result ? 0x1234 : 0xEEEE);
        EXPECT_EQ(sim.with([](DevSim& s) { return s.items['i'][9]; }), row.stored);
    }
    EXPECT_EQ(sim.with([](DevSim& s) { return s.faults_injected; }), 7u);
}

// A silent device costs the whole budget; a late reply must not answer the next request.
TEST(DevCommands, SilentAndLateDevice) {
    PtyLine line;
    DevSimServer sim(line.peer());
    sim.with([](DevSim& s) {
        s.block[0] = 0x42;
        s.items['i'][1] = 111;
        s.next_faults = {SimFault::silent, SimFault::late};
    });
    DevBlock block{0xEEEE, {}};
    auto t0 = Clock::now();
    EXPECT_EQ(dev_read_block(line.fd(), 1, block), 0);
    EXPECT_GT(seconds_since(t0), 2.9);
    EXPECT_EQ(block.word, 0xEEEE);

    DevItem item{'i', 1, 0};
    EXPECT_EQ(dev_read_items(line.fd(), 1, 1, &item), 0);
    ASSERT_TRUE(wait_readable(line.fd(), 2000)); // the late answer (111) arrives
    sim.with([](DevSim& s) { s.items['i'][1] = 222; });
    EXPECT_EQ(dev_read_items(line.fd(), 1, 1, &item), 1);
    EXPECT_EQ(item.value, 222);
    EXPECT_EQ(dev_read_block(line.fd(), 1, block), 1);
    EXPECT_EQ(block.word, 0x0042);
}
