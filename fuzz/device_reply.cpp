// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: arbitrary field-device reply streams against each device command.
//
// Input: byte 0 picks the command (and the item list of a read), byte 1 the number n of split
// points (0..15), the next n bytes the sizes of the first pieces; the rest is the reply stream.
// A peer thread waits for the request frame, sends the stream in those pieces (one read each on
// a sequenced-packet socket pair) and then ends its side, so that a reply that never completes
// ends the exchange at once instead of after the 3 s budget.
//
// Checked: on failure the outputs are untouched and the failure has a reason (end of input, a
// refused reply); on success values are in range and the block's bytes are a run of the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <semaphore>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "device/link.h"
#include "require.h"

namespace {

constexpr int STATION = 7;
constexpr size_t MAX_PIECE = 512; // one read of the link; a larger packet would be cut

// Item lists for reads: none, one byte-wide item, one 'i' item, all widths mixed, and a full
// batch of 49; with values that a read must either replace or leave alone.
int make_list(int which, DevItem* items) {
    static const DevItem mixed[] = {
        {'i', 1, 0}, {'@', 3, 0}, {'a', 2, 0}, {'B', 129, 0}, {'H', 100, 0}};
    const int count = which == 0 ? 0 : which < 3 ? 1 : which == 3 ? 5 : 49;
    for (int i = 0; i < count; ++i) {
        items[i] = which == 1   ? DevItem{'H', 5, 0}
                   : which == 2 ? DevItem{'i', 9, 0}
                   : which == 3 ? mixed[i]
                                : DevItem{static_cast<uint8_t>(i % 2 ? 'H' : 'i'),
                                          static_cast<uint8_t>(i + 1), 0};
        items[i].value = static_cast<uint16_t>(0xA5A5 + i);
    }
    return count;
}

// One peer thread for the whole run, handed a socket per input: a thread started per input made
// the resident memory of long runs grow with every input. It takes one request frame in, sends
// the pieces, then ends its side.
struct Peer {
    int fd;
    const std::vector<std::vector<uint8_t>>* pieces;
    uint8_t command;
    std::binary_semaphore job{0}, done{0};
    std::thread thread{[this] {
        for (;;) {
            job.acquire();
            uint8_t frame[600];
            const ssize_t n = recv(fd, frame, sizeof frame, 0);
            if (n > 0) { // nothing comes when the command sends nothing
                require(n >= 8 && frame[0] == DEV_STX && frame[1] == n - 5 &&
                            frame[2] == DEV_CLASS_LONG && frame[3] == STATION &&
                            frame[4] == command && frame[n - 3] == DEV_ETX,
                        "one whole long request frame for the command");
                for (const std::vector<uint8_t>& piece : *pieces)
                    if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0)
                        break;
                shutdown(fd, SHUT_WR);
            }
            done.release();
        }
    }};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const int which = data[0] % 9;
    size_t pos = 2;
    std::vector<size_t> sizes;
    for (int i = 0; i < data[1] % 16 && pos < size; ++i)
        sizes.push_back(1 + data[pos++]);
    const uint8_t* stream = data + pos;
    const size_t stream_size = size - pos;
    std::vector<std::vector<uint8_t>> pieces;
    for (size_t at = 0, i = 0; at < stream_size; ++i) {
        const size_t n = std::min(i < sizes.size() ? sizes[i] : MAX_PIECE, stream_size - at);
        pieces.emplace_back(stream + at, stream + at + n);
        at += n;
    }

    int fds[2];
    require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0, "socket pair");
    static const uint8_t commands[] = {DEV_CMD_READ_ITEMS, DEV_CMD_READ_ITEMS,  DEV_CMD_READ_ITEMS,
                                       DEV_CMD_READ_ITEMS, DEV_CMD_READ_ITEMS,  DEV_CMD_WRITE_ITEMS,
                                       DEV_CMD_READ_BLOCK, DEV_CMD_WRITE_BLOCK, DEV_CMD_WRITE_FLAG};
    static Peer* peer = new Peer; // never destroyed: the thread runs until the process ends
    peer->fd = fds[1];
    peer->pieces = &pieces;
    peer->command = commands[which];
    peer->job.release();

    DevLine line{fds[0]};
    DevItem items[49], before[49];
    DevBlock block{0x5A5A, {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38}};
    const DevBlock block_before = block;
    int result = 0;
    if (which < 5) {
        const int count = make_list(which, items);
        std::copy(items, items + count, before);
        result = dev_read_items(line, STATION, count, items);
        for (int i = 0; i < count; ++i) {
            const DevItem& got = items[i];
            require(got.type == before[i].type && got.number == before[i].number, "list kept");
            require(result == 1 || got.value == before[i].value, "values untouched on failure");
            require(result == 0 || got.type == DEV_TYPE_I || got.type == DEV_TYPE_A ||
                        got.value <= 255,
                    "one-byte items read 0..255");
        }
    } else if (which == 5) {
        result = dev_write_items(line, STATION, make_list(3, items), items);
    } else if (which == 6) {
        result = dev_read_block(line, STATION, block);
        require(block.byte[0] == block_before.byte[0], "the unused byte[0] untouched");
        require(result == 1 || (block.word == block_before.word && block.byte == block_before.byte),
                "block untouched on failure");
        // The ten data bytes of an accepted frame came in one run from the stream.
        uint8_t run[10] = {static_cast<uint8_t>(block.word), static_cast<uint8_t>(block.word >> 8)};
        std::copy(block.byte.begin() + 1, block.byte.end(), run + 2);
        require(result == 0 || std::search(stream, stream + stream_size, run, run + 10) !=
                                   stream + stream_size,
                "block data from the reply");
    } else if (which == 7) {
        result = dev_write_block(line, STATION, block);
    } else {
        result = dev_write_flag(line, STATION, data[1] & 0x80);
    }
    require(result == 0 || result == 1, "result 1 or 0");
    // Every failure has its reason on the line: the end of the stream, a reply the command
    // refused, or (only on a machine too slow to send the stream within the budget) a time-out.
    const DevCounters& c = line.counters;
    require(result == 1 || line.lost || c.naks + c.rejected + c.timeouts == 1,
            "a failure is explained");
    // A success needs at least a short frame.
    require(result == 0 || stream_size >= 5, "no success without a reply");

    shutdown(fds[0], SHUT_RDWR);
    peer->done.acquire();
    close(fds[0]);
    close(fds[1]);
    return 0;
}
