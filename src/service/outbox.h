// SPDX-License-Identifier: Apache-2.0
#pragma once
// The MQTT publisher's store and forward: a bounded queue of messages on disk that survives a
// restart and a power cut. Messages are appended to segment files in a folder of their own, each
// record with its length and a checksum, and synced before they count as stored; the broker's
// acknowledgements are appended the same way. At start the segments are read up to the first
// record that is not whole and valid; the rest is cut off, so nothing torn is ever sent. When
// the queue is at its bound, its oldest segment goes, and the messages in it are counted as
// dropped.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr uint32_t OUTBOX_MAX_VALUES = 125; // registers one record carries, as one read
// A record on disk: a header (magic, kind, flags, body length, sequence number), the body and a
// CRC-32 of both. Every field is little-endian, written and read byte by byte.
inline constexpr size_t OUTBOX_HEADER = 16;
inline constexpr size_t OUTBOX_TRAILER = 4;
// A message body: slot, flags, alarm value, read time, first register, count, then the values.
inline constexpr size_t OUTBOX_MESSAGE_FIXED = 18;
inline constexpr size_t OUTBOX_RECORD_MAX =
    OUTBOX_HEADER + OUTBOX_MESSAGE_FIXED + 2 * OUTBOX_MAX_VALUES + OUTBOX_TRAILER;
// The bound is shared by at most this many segment files (the tail may be partly filled); the
// oldest of them is what a full queue drops.
inline constexpr uint32_t OUTBOX_SEGMENTS = 16;
inline constexpr uint32_t OUTBOX_MIN_BYTES = 16 * 1024;

enum class OutboxKind : uint8_t {
    message = 1, // one slot's values
    ack = 2,     // every message up to the record's sequence number was acknowledged
};

// One slot's registers as read from the device.
struct OutboxMessage {
    uint8_t slot = 0;     // 1 ... 5
    bool alarmed = false; // the slot's alarm register was found non-zero ...
    uint16_t alarm = 0;   // ... with this value
    int64_t read_ms = 0;  // when the values were read: UTC, milliseconds since 1970
    uint32_t start = 0;   // first register, 1-based (1 ... 65536)
    uint16_t count = 0;   // 1 ... OUTBOX_MAX_VALUES
    std::array<uint16_t, OUTBOX_MAX_VALUES> values{};
};

struct OutboxRecord {
    OutboxKind kind = OutboxKind::message;
    uint64_t seq = 0; // a message's own number, or the last one an ack covers
    OutboxMessage message{};
};

// The bytes of `record` into `out` (room for OUTBOX_RECORD_MAX): their number, 0 when the
// message's count is 0 or above OUTBOX_MAX_VALUES.
size_t outbox_encode(const OutboxRecord& record, uint8_t* out);
// The record at the start of `data`: its length on disk, or 0 when `data` does not begin with a
// whole, valid record (too short, another magic or kind, a length or count out of range, a
// checksum that does not match). Pure: no I/O, no allocation.
size_t outbox_decode(const uint8_t* data, size_t size, OutboxRecord& record);

// Where a record lies: segment file number and offset in it.
struct OutboxPos {
    uint32_t segment = 0;
    uint32_t offset = 0;
};

struct OutboxSegment {
    uint32_t number = 0;   // the file's name: 8 hexadecimal digits and ".q"
    uint32_t size = 0;     // bytes of whole records
    uint64_t last_seq = 0; // of its last message, 0 with none
};

struct Outbox {
    std::string dir;
    uint32_t bound = 0;                                        // bytes of all segments together
    uint32_t segment_bound = 0;                                // bytes of one segment
    std::array<OutboxSegment, OUTBOX_SEGMENTS + 1> segments{}; // oldest first; the last is the tail
    uint32_t used = 0;                                         // segments in use
    int tail_fd = -1;
    int read_fd = -1; // the segment last read from ...
    uint32_t read_segment = 0;
    uint64_t next_seq = 1; // of the next message appended
    uint64_t acked = 0;    // every message up to this one was acknowledged or dropped
    OutboxPos head{};      // the first message after `acked`, or the end
    uint32_t pending = 0;  // messages after `acked`
    uint64_t dropped = 0;  // messages dropped since the start: the queue was full
};

// What opening found: messages kept from before, and a damaged record (then `cut_segment` and
// `cut_offset` say where the queue was cut, `cut_bytes` how many bytes went with it).
struct OutboxReport {
    uint32_t pending = 0;
    bool cut = false;
    uint32_t cut_segment = 0;
    uint32_t cut_offset = 0;
    uint64_t cut_bytes = 0;
};

// The path of segment `number` in `dir`.
std::string outbox_segment_path(const std::string& dir, uint32_t number);

// Opens (and creates, with missing parents) the queue folder `dir` with a bound of `bound` bytes (at least
// OUTBOX_MIN_BYTES), reads what it holds and cuts it at the first damaged record. 1 on success;
// 0 with errno set when the folder or a segment cannot be used.
int outbox_open(Outbox& box, const char* dir, uint32_t bound, OutboxReport& report);
void outbox_close(Outbox& box);

// Appends `count` messages, numbered on from next_seq, and syncs them to the disk. A full queue
// first drops its oldest segments (counted in `dropped` and returned through `dropped_now`). 1 when
// every message is stored; 0 with errno set otherwise (the file is then cut back to where it was).
int outbox_append(Outbox& box, const OutboxMessage* messages, uint32_t count,
                  uint32_t& dropped_now);
// The next message after `pos` that is not acknowledged yet: 1 with `record` and `pos` moved past
// it, 0 at the end, -1 on a read failure (errno set). A `pos` before the head starts from it.
int outbox_next(Outbox& box, OutboxPos& pos, OutboxRecord& record);
// Records that every message up to `seq` was acknowledged (an ack record, synced), and removes
// the segments nothing pending is left in. 1 on success (also when `seq` says nothing new), 0 with
// errno set.
int outbox_acknowledge(Outbox& box, uint64_t seq);
