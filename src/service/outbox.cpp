// SPDX-License-Identifier: Apache-2.0
#include "service/outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/deadline.h"

namespace {

constexpr uint8_t MAGIC_0 = 'K';
constexpr uint8_t MAGIC_1 = 'Q';
constexpr uint8_t FLAG_ALARMED = 0x01;

// CRC-32 (the reflected 0xEDB88320 polynomial of zip and Ethernet), one table built at compile
// time.
constexpr std::array<uint32_t, 256> CRC_TABLE = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        c = CRC_TABLE[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put_le(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | in[i];
    return value;
}

// Writes all of `data`, resuming after signals and short writes.
bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = retry_after_signal([&] { return write(fd, data, size); });
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Makes the folder's entries (a new or removed segment) durable.
bool sync_dir(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// "0000002a.q" gives 42; anything else false.
bool segment_number(const char* name, uint32_t& number) {
    if (std::strlen(name) != 10 || std::strcmp(name + 8, ".q") != 0)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        const char c = name[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    number = value;
    return true;
}

uint64_t total_size(const Outbox& box) {
    uint64_t total = 0;
    for (uint32_t i = 0; i < box.used; ++i)
        total += box.segments[i].size;
    return total;
}

OutboxSegment& tail(Outbox& box) {
    return box.segments[box.used - 1];
}

// Removes segment i (not the tail) from the list and the disk.
void remove_segment(Outbox& box, uint32_t i) {
    if (box.read_fd >= 0 && box.read_segment == box.segments[i].number) {
        close(box.read_fd);
        box.read_fd = -1;
    }
    unlink(outbox_segment_path(box.dir, box.segments[i].number).c_str());
    for (uint32_t k = i; k + 1 < box.used; ++k)
        box.segments[k] = box.segments[k + 1];
    --box.used;
    if (box.head.segment < box.segments[0].number)
        box.head = OutboxPos{box.segments[0].number, 0};
}

// Removes the segments before the tail whose messages are all acknowledged or dropped.
void remove_consumed(Outbox& box) {
    while (box.used > 1 && box.segments[0].last_seq <= box.acked)
        remove_segment(box, 0);
}

// Drops the oldest segment to make room; its messages not yet acknowledged count as dropped.
uint32_t drop_oldest(Outbox& box) {
    const uint64_t last = box.segments[0].last_seq;
    const uint32_t dropped = last > box.acked ? static_cast<uint32_t>(last - box.acked) : 0;
    box.acked = std::max(box.acked, last);
    box.dropped += dropped;
    box.pending -= std::min(box.pending, dropped);
    remove_segment(box, 0);
    return dropped;
}

// A new, empty tail after the current one.
bool roll(Outbox& box) {
    if (box.tail_fd >= 0 && fdatasync(box.tail_fd) != 0)
        return false;
    const uint32_t number = box.used > 0 ? tail(box).number + 1 : 1;
    const int fd = open(outbox_segment_path(box.dir, number).c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (box.tail_fd >= 0)
        close(box.tail_fd);
    box.tail_fd = fd;
    box.segments[box.used++] = OutboxSegment{number, 0, 0};
    return sync_dir(box.dir);
}

// Appends one record to the tail, rolling to a new tail and dropping the oldest segments as the
// bounds ask. Not synced.
bool append_record(Outbox& box, const uint8_t* bytes, size_t size, uint32_t& dropped) {
    if (tail(box).size > 0 && tail(box).size + size > box.segment_bound) {
        remove_consumed(box);
        if (box.used == box.segments.size())
            dropped += drop_oldest(box);
        if (!roll(box))
            return false;
    }
    while (box.used > 1 && total_size(box) + size > box.bound)
        dropped += drop_oldest(box);
    const uint32_t before = tail(box).size;
    if (!write_all(box.tail_fd, bytes, size)) {
        const int error = errno;
        // No torn record stays in the middle of the segment, where later ones would follow it;
        // should even the cut fail, the next start cuts the queue there.
        const int cut = ftruncate(box.tail_fd, before);
        (void)cut;
        errno = error;
        return false;
    }
    tail(box).size = before + static_cast<uint32_t>(size);
    return true;
}

// Reads whole records of one segment file from offset 0 and hands each to `take` (which returns
// false to stop at it as if damaged). The number of bytes of whole, accepted records.
template <typename Take> uint64_t scan(int fd, Take take) {
    uint8_t buffer[8192];
    size_t have = 0;
    uint64_t offset = 0; // of buffer[0] in the file
    size_t at = 0;
    for (bool end = false;;) {
        if (!end && have - at < OUTBOX_RECORD_MAX) {
            std::memmove(buffer, buffer + at, have - at);
            offset += at;
            have -= at;
            at = 0;
            const ssize_t n =
                retry_after_signal([&] { return read(fd, buffer + have, sizeof buffer - have); });
            if (n <= 0)
                end = true;
            else
                have += static_cast<size_t>(n);
        }
        OutboxRecord record;
        const size_t size = outbox_decode(buffer + at, have - at, record);
        if (size == 0 || !take(record)) {
            if (end || have - at >= OUTBOX_RECORD_MAX)
                return offset + at;
            continue; // read more before judging
        }
        at += size;
    }
}

size_t segment_index(const Outbox& box, uint32_t number) {
    for (uint32_t i = 0; i < box.used; ++i)
        if (box.segments[i].number >= number)
            return i;
    return box.used;
}

} // namespace

size_t outbox_encode(const OutboxRecord& record, uint8_t* out) {
    size_t body = 0;
    if (record.kind == OutboxKind::message) {
        const OutboxMessage& m = record.message;
        if (m.count == 0 || m.count > OUTBOX_MAX_VALUES)
            return 0;
        uint8_t* b = out + OUTBOX_HEADER;
        b[0] = m.slot;
        b[1] = m.alarmed ? FLAG_ALARMED : 0;
        put_le(b + 2, m.alarm, 2);
        put_le(b + 4, static_cast<uint64_t>(m.read_ms), 8);
        put_le(b + 12, m.start, 4);
        put_le(b + 16, m.count, 2);
        for (uint32_t i = 0; i < m.count; ++i)
            put_le(b + OUTBOX_MESSAGE_FIXED + 2 * i, m.values[i], 2);
        body = OUTBOX_MESSAGE_FIXED + 2u * m.count;
    }
    out[0] = MAGIC_0;
    out[1] = MAGIC_1;
    out[2] = static_cast<uint8_t>(record.kind);
    out[3] = 0;
    put_le(out + 4, body, 4);
    put_le(out + 8, record.seq, 8);
    put_le(out + OUTBOX_HEADER + body, crc32(out, OUTBOX_HEADER + body), 4);
    return OUTBOX_HEADER + body + OUTBOX_TRAILER;
}

size_t outbox_decode(const uint8_t* data, size_t size, OutboxRecord& record) {
    if (size < OUTBOX_HEADER + OUTBOX_TRAILER || data[0] != MAGIC_0 || data[1] != MAGIC_1 ||
        data[3] != 0)
        return 0;
    const uint64_t body = get_le(data + 4, 4);
    const uint8_t kind = data[2];
    if (kind == static_cast<uint8_t>(OutboxKind::ack)) {
        if (body != 0)
            return 0;
    } else if (kind == static_cast<uint8_t>(OutboxKind::message)) {
        if (body < OUTBOX_MESSAGE_FIXED + 2 || body > OUTBOX_MESSAGE_FIXED + 2 * OUTBOX_MAX_VALUES)
            return 0;
    } else {
        return 0;
    }
    const size_t total = OUTBOX_HEADER + static_cast<size_t>(body) + OUTBOX_TRAILER;
    if (size < total ||
        get_le(data + total - OUTBOX_TRAILER, 4) != crc32(data, total - OUTBOX_TRAILER))
        return 0;
    record.kind = static_cast<OutboxKind>(kind);
    record.seq = get_le(data + 8, 8);
    if (record.kind == OutboxKind::ack)
        return total;
    const uint8_t* b = data + OUTBOX_HEADER;
    OutboxMessage& m = record.message;
    m.slot = b[0];
    m.alarmed = (b[1] & FLAG_ALARMED) != 0;
    m.alarm = static_cast<uint16_t>(get_le(b + 2, 2));
    m.read_ms = static_cast<int64_t>(get_le(b + 4, 8));
    m.start = static_cast<uint32_t>(get_le(b + 12, 4));
    m.count = static_cast<uint16_t>(get_le(b + 16, 2));
    // The count must agree with the length, and the range lie within registers 1 ... 65536.
    if ((b[1] & ~FLAG_ALARMED) != 0 || m.slot == 0 || body != OUTBOX_MESSAGE_FIXED + 2u * m.count ||
        m.start == 0 || uint64_t{m.start} - 1 + m.count > 0x10000 || record.seq == 0)
        return 0;
    for (uint32_t i = 0; i < m.count; ++i)
        m.values[i] = static_cast<uint16_t>(get_le(b + OUTBOX_MESSAGE_FIXED + 2 * i, 2));
    return total;
}

std::string outbox_segment_path(const std::string& dir, uint32_t number) {
    char name[16];
    std::snprintf(name, sizeof name, "%08x.q", static_cast<unsigned>(number));
    return dir + "/" + name;
}

int outbox_open(Outbox& box, const char* dir, uint32_t bound, OutboxReport& report) {
    outbox_close(box);
    box = Outbox{};
    box.dir = dir;
    box.bound = std::max(bound, OUTBOX_MIN_BYTES);
    box.segment_bound = box.bound / OUTBOX_SEGMENTS;
    report = OutboxReport{};
    // The folder and any missing parents, as mkdir -p does.
    for (size_t at = 1; at <= box.dir.size(); ++at) {
        if (at < box.dir.size() && box.dir[at] != '/')
            continue;
        const std::string part = box.dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return 0;
    }
    // The segment numbers found, oldest first; beyond what the list holds, the oldest go.
    uint32_t found[256];
    size_t count = 0;
    DIR* folder = opendir(dir);
    if (folder == nullptr)
        return 0;
    while (const dirent* entry = readdir(folder)) {
        uint32_t number = 0;
        if (segment_number(entry->d_name, number) && count < std::size(found))
            found[count++] = number;
    }
    closedir(folder);
    std::sort(found, found + count);
    const size_t keep = std::min<size_t>(count, box.segments.size());
    for (size_t i = 0; i + keep < count; ++i)
        unlink(outbox_segment_path(box.dir, found[i]).c_str());

    uint64_t last_message = 0, last_ack = 0;
    for (size_t i = count - keep; i < count; ++i) {
        const std::string path = outbox_segment_path(box.dir, found[i]);
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return 0;
        OutboxSegment segment{found[i], 0, 0};
        // Sequence numbers only grow: a record that says otherwise is as damaged as a torn one.
        const uint64_t whole = scan(fd, [&](const OutboxRecord& record) {
            if (record.kind == OutboxKind::ack) {
                if (record.seq < last_ack)
                    return false;
                last_ack = record.seq;
                return true;
            }
            if (record.seq <= last_message)
                return false;
            last_message = segment.last_seq = record.seq;
            return true;
        });
        struct stat st {};
        fstat(fd, &st);
        if (static_cast<uint64_t>(st.st_size) > whole) {
            // Cut here: the damaged record and everything after it.
            report.cut = true;
            report.cut_segment = found[i];
            report.cut_offset = static_cast<uint32_t>(whole);
            report.cut_bytes = static_cast<uint64_t>(st.st_size) - whole;
            const bool cut = ftruncate(fd, static_cast<off_t>(whole)) == 0 && fsync(fd) == 0;
            for (size_t k = i + 1; k < count; ++k) {
                const std::string later = outbox_segment_path(box.dir, found[k]);
                struct stat gone {};
                if (stat(later.c_str(), &gone) == 0)
                    report.cut_bytes += static_cast<uint64_t>(gone.st_size);
                unlink(later.c_str());
            }
            count = i + 1;
            if (!cut) {
                close(fd);
                return 0;
            }
        }
        close(fd);
        segment.size = static_cast<uint32_t>(whole);
        box.segments[box.used++] = segment;
    }
    box.next_seq = std::max(last_message, last_ack) + 1;
    box.acked = std::min(last_ack, last_message);
    if (box.used > 0)
        box.head = OutboxPos{box.segments[0].number, 0};
    remove_consumed(box);
    if (box.used == 0)
        return roll(box) ? 1 : 0;
    box.tail_fd = open(outbox_segment_path(box.dir, tail(box).number).c_str(),
                       O_WRONLY | O_APPEND | O_CLOEXEC);
    if (box.tail_fd < 0)
        return 0;
    OutboxPos pos = box.head;
    OutboxRecord record;
    int more = 0;
    while ((more = outbox_next(box, pos, record)) == 1)
        ++box.pending;
    report.pending = box.pending;
    return more == 0 ? 1 : 0;
}

void outbox_close(Outbox& box) {
    if (box.tail_fd >= 0)
        close(box.tail_fd);
    if (box.read_fd >= 0)
        close(box.read_fd);
    box.tail_fd = box.read_fd = -1;
}

int outbox_append(Outbox& box, const OutboxMessage* messages, uint32_t count,
                  uint32_t& dropped_now) {
    dropped_now = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t bytes[OUTBOX_RECORD_MAX];
        OutboxRecord record{OutboxKind::message, box.next_seq, messages[i]};
        const size_t size = outbox_encode(record, bytes);
        if (size == 0) {
            errno = EINVAL;
            return 0;
        }
        if (!append_record(box, bytes, size, dropped_now))
            return 0;
        tail(box).last_seq = box.next_seq++;
        ++box.pending;
    }
    return fdatasync(box.tail_fd) == 0 ? 1 : 0;
}

int outbox_next(Outbox& box, OutboxPos& pos, OutboxRecord& record) {
    if (pos.segment < box.head.segment ||
        (pos.segment == box.head.segment && pos.offset < box.head.offset))
        pos = box.head;
    for (size_t i = segment_index(box, pos.segment); i < box.used;) {
        const OutboxSegment& segment = box.segments[i];
        if (segment.number != pos.segment)
            pos = OutboxPos{segment.number, 0};
        if (pos.offset >= segment.size) {
            if (++i < box.used)
                pos = OutboxPos{box.segments[i].number, 0};
            continue;
        }
        if (box.read_fd < 0 || box.read_segment != segment.number) {
            if (box.read_fd >= 0)
                close(box.read_fd);
            box.read_fd =
                open(outbox_segment_path(box.dir, segment.number).c_str(), O_RDONLY | O_CLOEXEC);
            box.read_segment = segment.number;
            if (box.read_fd < 0)
                return -1;
        }
        uint8_t bytes[OUTBOX_RECORD_MAX];
        const size_t want = std::min<size_t>(sizeof bytes, segment.size - pos.offset);
        const ssize_t n =
            retry_after_signal([&] { return pread(box.read_fd, bytes, want, pos.offset); });
        const size_t size = n > 0 ? outbox_decode(bytes, static_cast<size_t>(n), record) : 0;
        if (size == 0) {
            errno = n < 0 ? errno : EIO;
            return -1;
        }
        pos.offset += static_cast<uint32_t>(size);
        if (record.kind == OutboxKind::message && record.seq > box.acked)
            return 1;
    }
    return 0;
}

int outbox_acknowledge(Outbox& box, uint64_t seq) {
    seq = std::min(seq, box.next_seq - 1);
    if (seq <= box.acked)
        return 1;
    // Segments the acknowledgement consumes go first, so that its record never makes a full queue
    // drop anything. Should the record not reach the disk, the messages of those segments are
    // acknowledged all the same, and those after them are sent again: nothing is lost.
    while (box.used > 1 && box.segments[0].last_seq <= seq)
        remove_segment(box, 0);
    uint8_t bytes[OUTBOX_RECORD_MAX];
    const size_t size = outbox_encode(OutboxRecord{OutboxKind::ack, seq, {}}, bytes);
    uint32_t dropped = 0;
    if (!append_record(box, bytes, size, dropped) || fdatasync(box.tail_fd) != 0)
        return 0;
    box.pending -= std::min<uint64_t>(box.pending, seq - std::min(seq, box.acked));
    box.acked = std::max(box.acked, seq);
    remove_consumed(box);
    return 1;
}
