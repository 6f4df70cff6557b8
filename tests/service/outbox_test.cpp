// SPDX-License-Identifier: Apache-2.0
// The MQTT publisher's queue on disk: records that a torn or flipped byte never passes, a queue
// cut at its first damaged record on opening, acknowledgements that survive a restart, and a
// bound that drops the oldest messages and counts them.
#include "service/outbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace {

OutboxMessage message(uint8_t slot, uint16_t count, int64_t read_ms, bool alarmed = false) {
    OutboxMessage m;
    m.slot = slot;
    m.start = 1025;
    m.count = count;
    m.read_ms = read_ms;
    m.alarmed = alarmed;
    m.alarm = alarmed ? 0xBEEF : 0;
    for (uint16_t i = 0; i < count; ++i)
        m.values[i] = static_cast<uint16_t>(0x0101 * (i + 1) + slot);
    return m;
}

bool same(const OutboxMessage& a, const OutboxMessage& b) {
    return a.slot == b.slot && a.alarmed == b.alarmed && a.alarm == b.alarm &&
           a.read_ms == b.read_ms && a.start == b.start && a.count == b.count &&
           std::equal(a.values.begin(), a.values.begin() + a.count, b.values.begin());
}

std::vector<uint8_t> encoded(const OutboxRecord& record) {
    std::vector<uint8_t> bytes(OUTBOX_RECORD_MAX);
    bytes.resize(outbox_encode(record, bytes.data()));
    return bytes;
}

// The sequence numbers and messages the queue holds, in order.
std::vector<std::pair<uint64_t, OutboxMessage>> pending(Outbox& box) {
    std::vector<std::pair<uint64_t, OutboxMessage>> found;
    OutboxPos pos;
    OutboxRecord record;
    int more;
    while ((more = outbox_next(box, pos, record)) == 1)
        found.emplace_back(record.seq, record.message);
    EXPECT_EQ(more, 0);
    return found;
}

uint64_t folder_bytes(const std::string& dir) {
    uint64_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        total += entry.file_size();
    return total;
}

TEST(OutboxRecord, RoundTripsAndRejectsEveryTornOrFlippedByte) {
    const struct {
        OutboxRecord record;
    } rows[] = {
        {{OutboxKind::message, 1, message(1, 1, 0)}},
        {{OutboxKind::message, 0x0102030405060708ull, message(5, OUTBOX_MAX_VALUES, -1, true)}},
        {{OutboxKind::message, 7, message(3, 2, 1714564800123)}},
        {{OutboxKind::ack, 0xFFFFFFFFFFull, {}}},
    };
    for (const auto& row : rows) {
        const std::vector<uint8_t> bytes = encoded(row.record);
        ASSERT_FALSE(bytes.empty());
        OutboxRecord back;
        ASSERT_EQ(outbox_decode(bytes.data(), bytes.size(), back), bytes.size());
        EXPECT_EQ(back.kind, row.record.kind);
        EXPECT_EQ(back.seq, row.record.seq);
        if (row.record.kind == OutboxKind::message) {
            EXPECT_TRUE(same(back.message, row.record.message));
        }
        // Little-endian, byte by byte: the length at offset 4, the sequence number at 8.
        EXPECT_EQ(bytes[8], static_cast<uint8_t>(row.record.seq));
        EXPECT_EQ(bytes[4], static_cast<uint8_t>(bytes.size() - OUTBOX_HEADER - OUTBOX_TRAILER));
        for (size_t cut = 0; cut < bytes.size(); ++cut)
            EXPECT_EQ(outbox_decode(bytes.data(), cut, back), 0u) << "cut at " << cut;
        for (size_t at = 0; at < bytes.size(); ++at)
            for (uint8_t bit = 1; bit != 0; bit = static_cast<uint8_t>(bit << 1)) {
                std::vector<uint8_t> flipped = bytes;
                flipped[at] ^= bit;
                EXPECT_EQ(outbox_decode(flipped.data(), flipped.size(), back), 0u)
                    << "byte " << at << " bit " << int(bit);
            }
    }
    // What the encoder refuses to write.
    uint8_t out[OUTBOX_RECORD_MAX];
    EXPECT_EQ(outbox_encode({OutboxKind::message, 1, message(1, 0, 0)}, out), 0u);
    OutboxMessage too_many = message(1, 1, 0);
    too_many.count = OUTBOX_MAX_VALUES + 1;
    EXPECT_EQ(outbox_encode({OutboxKind::message, 1, too_many}, out), 0u);
}

// Checksums that match, but fields that cannot be: each is refused as a whole record.
TEST(OutboxRecord, RefusesValidlySummedNonsense) {
    const struct {
        const char* what;
        OutboxMessage message;
        uint64_t seq;
    } rows[] = {
        {"slot 0", message(0, 1, 0), 1},
        {"start 0",
         [] {
             auto m = message(1, 1, 0);
             m.start = 0;
             return m;
         }(),
         1},
        {"past register 65536",
         [] {
             auto m = message(1, 2, 0);
             m.start = 65536;
             return m;
         }(),
         1},
        {"sequence number 0", message(1, 1, 0), 0},
    };
    for (const auto& row : rows) {
        const std::vector<uint8_t> bytes = encoded({OutboxKind::message, row.seq, row.message});
        OutboxRecord back;
        EXPECT_EQ(outbox_decode(bytes.data(), bytes.size(), back), 0u) << row.what;
    }
}

class OutboxFiles : public ::testing::Test {
protected:
    void TearDown() override { outbox_close(box); }
    std::string folder() const { return dir.file("q"); }
    void open(uint32_t bound = 64 * 1024) {
        ASSERT_EQ(outbox_open(box, folder().c_str(), bound, report), 1) << strerror(errno);
    }
    void append(std::vector<OutboxMessage> messages) {
        uint32_t dropped = 0;
        ASSERT_EQ(
            outbox_append(box, messages.data(), static_cast<uint32_t>(messages.size()), dropped),
            1);
    }
    TempDir dir;
    Outbox box;
    OutboxReport report;
};

// A power cut in the middle of an append leaves any part of the last record: the queue opens with
// every whole record before it, cuts the rest, and appends after them again.
TEST_F(OutboxFiles, ATornTailIsCutAndTheWholeRecordsStay) {
    const std::vector<uint8_t> torn = encoded({OutboxKind::message, 4, message(2, 40, 4000, true)});
    for (size_t cut = 1; cut < torn.size(); cut += 7) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        std::filesystem::remove_all(folder());
        open();
        append({message(1, 2, 1000), message(2, 3, 2000)});
        append({message(1, 2, 3000)});
        outbox_close(box);
        const std::string tail = outbox_segment_path(folder(), 1);
        const uint64_t whole = std::filesystem::file_size(tail);
        write_file(tail, read_file(tail) + std::string(torn.begin(), torn.begin() + cut));

        open();
        EXPECT_TRUE(report.cut);
        EXPECT_EQ(report.cut_bytes, cut);
        EXPECT_EQ(report.cut_offset, whole);
        EXPECT_EQ(report.pending, 3u);
        EXPECT_EQ(std::filesystem::file_size(tail), whole);
        append({message(3, 1, 5000)});
        outbox_close(box);
        open();
        EXPECT_FALSE(report.cut);
        const auto kept = pending(box);
        ASSERT_EQ(kept.size(), 4u);
        for (size_t i = 0; i < kept.size(); ++i)
            EXPECT_EQ(kept[i].first, i + 1);
        EXPECT_EQ(kept[3].second.read_ms, 5000);
    }
}

// Damage in the middle of the queue (a flipped byte on the flash) cuts it there: later segments
// go too, since nothing after an unreadable record can be trusted to follow it.
TEST_F(OutboxFiles, DamageInAnOlderSegmentCutsEverythingAfterIt) {
    open(16 * 1024); // segments of 1 KB: a 120-register record and a little more each
    for (int i = 0; i < 12; ++i)
        append({message(1, 120, 1000 * i)});
    ASSERT_GE(box.used, 4u);
    const uint32_t second = box.segments[1].number;
    outbox_close(box);
    const std::string path = outbox_segment_path(folder(), second);
    std::string bytes = read_file(path);
    bytes[OUTBOX_HEADER + 5] ^= 0x40;
    write_file(path, bytes);
    open(16 * 1024);
    EXPECT_TRUE(report.cut);
    EXPECT_EQ(report.cut_segment, second);
    EXPECT_EQ(report.cut_offset, 0u);
    EXPECT_EQ(box.used, 2u);
    const auto kept = pending(box);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().first, kept.size());
}

// Acknowledgements are records of their own: after a restart only what was not acknowledged is
// pending, numbering goes on, and segments with nothing pending are removed.
TEST_F(OutboxFiles, AcknowledgedMessagesStayAcknowledgedAcrossARestart) {
    open(16 * 1024);
    for (int i = 0; i < 10; ++i)
        append({message(1, 100, i)});
    ASSERT_GE(box.used, 3u);
    ASSERT_EQ(outbox_acknowledge(box, 7), 1);
    EXPECT_EQ(box.pending, 3u);
    outbox_close(box);
    open(16 * 1024);
    EXPECT_EQ(report.pending, 3u);
    auto kept = pending(box);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].first, 8u);
    EXPECT_EQ(kept[0].second.read_ms, 7);
    append({message(2, 1, 99)});
    EXPECT_EQ(pending(box).back().first, 11u);
    // Everything acknowledged: one segment is left, the tail.
    ASSERT_EQ(outbox_acknowledge(box, 11), 1);
    EXPECT_EQ(box.pending, 0u);
    EXPECT_EQ(box.used, 1u);
    outbox_close(box);
    open(16 * 1024);
    EXPECT_TRUE(pending(box).empty());
    // An acknowledgement of what is already acknowledged, or of more than was ever queued, changes
    // nothing wrongly.
    EXPECT_EQ(outbox_acknowledge(box, 3), 1);
    append({message(3, 1, 100)});
    EXPECT_EQ(outbox_acknowledge(box, 1000), 1);
    EXPECT_EQ(box.pending, 0u);
}

// A full queue drops its oldest messages first, counts every one, and never grows past its bound;
// what stays is the newest messages, without a gap.
TEST_F(OutboxFiles, AFullQueueDropsTheOldestWithinItsBound) {
    const struct {
        uint32_t bound;
        uint16_t count;
        int messages;
    } rows[] = {{16 * 1024, 120, 200}, {16 * 1024, 1, 2000}, {40 * 1024, 60, 900}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.bound) + " " + std::to_string(row.count));
        std::filesystem::remove_all(folder());
        open(row.bound);
        uint64_t dropped = 0;
        for (int i = 1; i <= row.messages; ++i) {
            OutboxMessage m = message(1, row.count, i);
            uint32_t now = 0;
            ASSERT_EQ(outbox_append(box, &m, 1, now), 1);
            dropped += now;
            ASSERT_LE(folder_bytes(folder()), row.bound);
        }
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(box.dropped, dropped);
        const auto kept = pending(box);
        ASSERT_EQ(kept.size() + dropped, static_cast<size_t>(row.messages));
        EXPECT_EQ(kept.front().first, dropped + 1);
        EXPECT_EQ(kept.back().second.read_ms, row.messages);
        EXPECT_EQ(box.pending, kept.size());
        outbox_close(box);
        open(row.bound);
        EXPECT_EQ(pending(box).size(), kept.size());
    }
}

} // namespace
