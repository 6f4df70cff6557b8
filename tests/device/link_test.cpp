// SPDX-License-Identifier: Apache-2.0
// Request framing, the reply recogniser and timed exchanges on a real pty.
#include <atomic>
#include <utility>

#include "device/link.h"
#include "device_test.h"

namespace {

DevRequest request(uint8_t station, uint8_t frame_class, uint8_t command, const Bytes& data) {
    DevRequest r{station, frame_class, command, static_cast<uint8_t>(data.size()), {}};
    std::copy(data.begin(), data.end(), r.data.begin());
    return r;
}

const DevRequest READ_BLOCK = request(1, 0x41, 0x20, {});
const Bytes READ_BLOCK_FRAME = hex("02 03 41 01 20 03 62 00");
const Bytes DATA_REPLY = hex("02 03 40 01 21 02 05 41 01 20 0A 0B 03 77 00");

} // namespace

TEST(DevFrame, RequestsByteForByte) {
    const std::pair<DevRequest, Bytes> rows[] = {
        {READ_BLOCK, READ_BLOCK_FRAME},
        {request(0x01, 0x41, 0x10, {0x01}), hex("02 04 41 01 10 01 03 53 00")},
        {request(0x01, 0x40, 0x10, {1, 2, 3, 4}), hex("02 07 40 01 10")},
        {request(0xFE, 0x41, 0xFF, {0xFF}), hex("02 04 41 FE FF FF 03 3D 03")}, // sum carries
    };
    uint8_t out[300];
    for (const auto& [req, expected] : rows)
        EXPECT_EQ(Bytes(out, out + dev_frame_request(req, out)), expected);
    ASSERT_EQ(dev_frame_request(request(0x01, 0x41, 0x10, Bytes(252, 0xAB)), out), 260u);
    // 0x41 + 0x01 + 0x10 + 252 * 0xAB = 0xA8A6
    EXPECT_EQ(Bytes(out, out + 2), hex("02 FF"));
    EXPECT_EQ(Bytes(out + 257, out + 260), hex("03 A6 A8"));
}

// Each row: bytes on the line, then the reply as "code class station data_len data..." (as
// many data bytes as listed), or "" when no reply may be recognised.
TEST(DevRecogniser, RepliesAndRestarts) {
    const char* rows[][2] = {
        {"02 03 40 01 21 02 05 41 01 20 0A 0B 03 77 00", "21 41 01 02 0A 0B 00"},
        {"00 FF 41 03 02 03 40 09 06", "06 40 09 00"},        // garbage first
        {"02 03 40 01 21 FF 02 03 40 07 06", "06 40 01 00"},  // ... between frames
        {"02 02 03 40 01 06", ""},                            // STX restarts, consumed
        {"02 02 03 40 01 06 02 03 40 07 06", "06 40 07 00"},  // ... then a reply
        {"02 02 02 03 40 07 06", "06 40 07 00"},              // a length below 3 is not a length
        {"02 04 40 01 15 99", "15 40 01 01 00"},              // NAK byte not kept
        {"02 04 40 01 15", ""},                               // NAK needs its byte
        {"02 04 40 01 06 00", ""},                            // ACK of length 4
        {"02 04 40 01 21 02 05 41 01 20 0A 0B 03 77 00", ""}, // 0x21 of length 4
        {"02 03 40 01 15 00", ""},                            // NAK of length 3
        {"02 05 41 01 20 0A 0B 03 77 00", ""},                // long first frame
        {"02 03 40 01 21 02 03 40 09 06", "06 40 01 00"},     // 0x21, short ACK
        {"02 03 40 01 21 02 04 40 09 15 00", "15 40 01 01"},  // 0x21, short NAK
        {"02 03 40 01 21 02 03 41 01 20 03 62 00", "21 41 01 00 00"}, // no data
        {"02 03 40 01 21 02 05 41 01 20 0A 0B 03 78 00", ""},         // bad checksum
        {"02 03 40 01 21 02 05 41 01 20 0A 0B 03 77 01 "              // bad checksum, then
         "02 03 40 01 21 02 05 41 01 20 0C 0D 03 7B 00",
         "21 41 01 02 0C 0D"},                                     // a whole reply
        {"02 03 40 01 21 02 03 42 02 03 40 05 06", "06 40 05 00"}, // second-frame restart
        {"02 03 40 01 21 02 06 41 01 00 AA BB CC 04 " // an abandoned frame leaves its data
         "02 03 40 01 21 02 04 41 01 00 DD 03 1F 01",
         "21 41 01 01 DD BB CC"},
    };
    for (const auto& [line, expected_text] : rows) {
        SCOPED_TRACE(line);
        DevReply reply;
        DevRecogniser rec{};
        dev_recogniser_reset(rec, reply);
        bool done = false;
        for (uint8_t b : hex(line)) // what follows a reply is ignored
            done = dev_recognise_byte(rec, b) || done;
        const Bytes expected = hex(expected_text);
        ASSERT_EQ(done, !expected.empty());
        if (!done)
            continue;
        Bytes got = {reply.code, reply.frame_class, reply.station, reply.data_len};
        got.insert(got.end(), reply.data.begin(), reply.data.begin() + (expected.size() - 4));
        EXPECT_EQ(got, expected);
    }
}

// A reply split at any byte is recognised. Last, the reply comes whole after another one was
// left on the line by an earlier exchange: that one is discarded before the request is sent.
TEST(DevTransact, SplitRepliesAndStaleInput) {
    Pty line;
    DevLine dev{line.slave};
    const Bytes stale = hex("02 03 40 01 21 02 05 41 01 20 0C 0D 03 7B 00");
    for (size_t cut = 0; cut <= DATA_REPLY.size(); ++cut) {
        SCOPED_TRACE(cut);
        if (cut == DATA_REPLY.size()) {
            ASSERT_EQ(write(line.master, stale.data(), stale.size()), ssize_t(stale.size()));
            ASSERT_TRUE(wait_readable(line.slave, 1000));
        }
        DevReply reply;
        int result = 0;
        const Bytes sent = scripted(line.master,
                                    {Bytes(DATA_REPLY.begin(), DATA_REPLY.begin() + cut),
                                     Bytes(DATA_REPLY.begin() + cut, DATA_REPLY.end())},
                                    [&] { result = dev_transact(dev, READ_BLOCK, reply); });
        EXPECT_EQ(sent, READ_BLOCK_FRAME);
        ASSERT_EQ(result, 1);
        EXPECT_EQ(Bytes(reply.data.begin(), reply.data.begin() + reply.data_len), hex("0A 0B"));
    }
}

// Nothing is written for an oversized request. A line that reports end of input (a pipe whose
// writer is gone) or EIO (the master side of a pseudo-terminal whose slave is closed, as a line
// whose adapter is gone) is lost at once: it fails this exchange and every later one without
// waiting.
TEST(DevTransact, OversizedRequestAndLostLine) {
    Pty line;
    DevRequest req = request(1, 0x41, 0x01, Bytes(252, 0));
    req.data_len = 253;
    DevReply reply;
    DevLine dev{line.slave};
    EXPECT_EQ(dev_transact(dev, req, reply), 0);
    EXPECT_FALSE(wait_readable(line.master, 100));
    EXPECT_EQ(dev.counters.transactions, 0u);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]); // the read end reports end of input; the request write just fails
    close(std::exchange(line.slave, -1));
    for (auto [fd, error] : {std::pair{fds[0], 0}, {line.master, EIO}}) {
        DevLine lost{fd};
        const int64_t t0 = now_ns();
        EXPECT_EQ(dev_transact(lost, READ_BLOCK, reply), 0);
        EXPECT_EQ(dev_transact(lost, READ_BLOCK, reply), 0);
        EXPECT_LT(seconds_since(t0), 2.0); // not the 3 s budget
        EXPECT_TRUE(lost.lost);
        EXPECT_EQ(lost.lost_errno, error);
        EXPECT_EQ(lost.counters.transactions, 1u);
    }
    close(fds[0]);
}

// The budget covers the whole reply: a device that keeps sending a byte every 0.5 s (a valid
// reply, far too slowly) is given up after 3 s, not renewed by the bytes that keep coming.
TEST(DevTransact, TricklingDeviceTimesOutOnTheWholeBudget) {
    Pty line;
    std::atomic<bool> stop{false};
    std::thread device([&] {
        uint8_t buf[64];
        ASSERT_TRUE(wait_readable(line.master, 2000));
        ASSERT_GT(read(line.master, buf, sizeof buf), 0);
        for (size_t i = 0; !stop; i = (i + 1) % DATA_REPLY.size()) {
            ASSERT_EQ(write(line.master, &DATA_REPLY[i], 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    DevReply reply;
    DevLine dev{line.slave};
    const int64_t t0 = now_ns();
    EXPECT_EQ(dev_transact(dev, READ_BLOCK, reply), 0);
    const double took = seconds_since(t0);
    stop = true;
    device.join();
    EXPECT_GT(took, 2.9);
    EXPECT_EQ(dev.counters.timeouts, 1u);
}
