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
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "device/link.h"

namespace {

constexpr int STATION = 7;
constexpr size_t MAX_PIECE = 512; // one read of the link; a larger packet would be cut

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

// Item lists for reads: none, one byte-wide item, one 'i' item, all widths mixed, and a full
// batch of 49.
struct ItemList {
    int count;
    DevItem items[49];
};

ItemList make_list(int which) {
    ItemList list{};
    const DevItem mixed[] = {{'i', 1, 0}, {'@', 3, 0}, {'a', 2, 0}, {'B', 129, 0}, {'H', 100, 0}};
    switch (which) {
    case 0:
        break;
    case 1:
        list.count = 1;
        list.items[0] = {'H', 5, 0};
        break;
    case 2:
        list.count = 1;
        list.items[0] = {'i', 9, 0};
        break;
    case 3:
        list.count = 5;
        std::copy(std::begin(mixed), std::end(mixed), list.items);
        break;
    default:
        list.count = 49;
        for (int i = 0; i < 49; ++i)
            list.items[i] = {static_cast<uint8_t>(i % 2 ? 'H' : 'i'), static_cast<uint8_t>(i + 1),
                             0};
        break;
    }
    // Values that a read must either replace or leave alone.
    for (int i = 0; i < list.count; ++i)
        list.items[i].value = static_cast<uint16_t>(0xA5A5 + i);
    return list;
}

// The peer: one request frame in, the pieces out, then end of input.
void serve(int fd, const std::vector<std::vector<uint8_t>>* pieces, uint8_t command) {
    uint8_t frame[600];
    const ssize_t n = recv(fd, frame, sizeof frame, 0);
    if (n <= 0)
        return; // the command sent nothing
    require(n >= 8 && frame[0] == DEV_STX && frame[1] == n - 5 && frame[2] == DEV_CLASS_LONG &&
                frame[3] == STATION && frame[4] == command && frame[n - 3] == DEV_ETX,
            "one whole long request frame for the command");
    for (const std::vector<uint8_t>& piece : *pieces)
        if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0)
            break;
    shutdown(fd, SHUT_WR);
}

// One peer thread for the whole run, handed a socket per input: a thread started per input made
// the resident memory of long runs grow with every input.
class Peer {
public:
    void start(int fd, const std::vector<std::vector<uint8_t>>* pieces, uint8_t command) {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = {fd, pieces, command};
        busy_ = true;
        changed_.notify_all();
    }
    void wait_done() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
    }

private:
    struct Job {
        int fd;
        const std::vector<std::vector<uint8_t>>* pieces;
        uint8_t command;
    };
    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return busy_; });
                job = job_;
            }
            serve(job.fd, job.pieces, job.command);
            std::lock_guard<std::mutex> lock(mutex_);
            busy_ = false;
            changed_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    Job job_{};
    bool busy_ = false;
    std::thread thread_{[this] { run(); }};
};

bool contains(const uint8_t* data, size_t size, const uint8_t* run, size_t length) {
    return std::search(data, data + size, run, run + length) != data + size;
}

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
        const size_t want = i < sizes.size() ? sizes[i] : MAX_PIECE;
        const size_t n = std::min(want, stream_size - at);
        pieces.emplace_back(stream + at, stream + at + n);
        at += n;
    }

    int fds[2];
    require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0, "socket pair");
    static const uint8_t commands[] = {DEV_CMD_READ_ITEMS, DEV_CMD_READ_ITEMS,  DEV_CMD_READ_ITEMS,
                                       DEV_CMD_READ_ITEMS, DEV_CMD_READ_ITEMS,  DEV_CMD_WRITE_ITEMS,
                                       DEV_CMD_READ_BLOCK, DEV_CMD_WRITE_BLOCK, DEV_CMD_WRITE_FLAG};
    static Peer* peer = new Peer; // never destroyed: the thread runs until the process ends
    peer->start(fds[1], &pieces, commands[which]);

    DevLine line{fds[0]};
    int result = 0;
    if (which < 5) {
        ItemList list = make_list(which);
        const ItemList before = list;
        result = dev_read_items(line, STATION, list.count, list.items);
        for (int i = 0; i < list.count; ++i) {
            const DevItem& got = list.items[i];
            const DevItem& was = before.items[i];
            require(got.type == was.type && got.number == was.number, "item list kept");
            require(result == 1 || got.value == was.value, "values untouched on failure");
            require(result == 0 || got.type == DEV_TYPE_I || got.type == DEV_TYPE_A ||
                        got.value <= 255,
                    "one-byte items read 0..255");
        }
    } else if (which == 5) {
        const ItemList list = make_list(3);
        result = dev_write_items(line, STATION, list.count, list.items);
    } else if (which == 6) {
        DevBlock block{};
        for (size_t k = 0; k < block.byte.size(); ++k)
            block.byte[k] = static_cast<uint8_t>(0x30 + k);
        block.word = 0x5A5A;
        const DevBlock before = block;
        result = dev_read_block(line, STATION, block);
        require(block.byte[0] == before.byte[0], "the unused byte[0] untouched");
        if (result == 0) {
            require(block.word == before.word && block.byte == before.byte,
                    "block untouched on failure");
        } else {
            // The ten data bytes of the accepted frame came in one run from the stream.
            const uint8_t run[10] = {static_cast<uint8_t>(block.word & 0xFF),
                                     static_cast<uint8_t>(block.word >> 8),
                                     block.byte[1],
                                     block.byte[2],
                                     block.byte[3],
                                     block.byte[4],
                                     block.byte[5],
                                     block.byte[6],
                                     block.byte[7],
                                     block.byte[8]};
            require(contains(stream, stream_size, run, sizeof run), "block data from the reply");
        }
    } else if (which == 7) {
        const DevBlock block{0x0201, {0, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}};
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
    peer->wait_done();
    close(fds[0]);
    close(fds[1]);
    return 0;
}
