// Request framing, the reply recogniser and timed exchanges on a real pty.
#include <fcntl.h>

#include <atomic>

#include "device/link.h"
#include "device_test.h"

namespace {

DevRequest request(uint8_t station, uint8_t frame_class, uint8_t command, const Bytes& data) {
    DevRequest r{};
    r.station = station;
    r.frame_class = frame_class;
    r.command = command;
    r.data_len = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), r.data.begin());
    return r;
}

// Feeds `bytes` until the recogniser reports a complete reply; true when it did.
bool recognise(const Bytes& bytes, DevReply& reply) {
    DevRecogniser rec{};
    dev_recogniser_reset(rec, reply);
    for (uint8_t b : bytes) {
        if (dev_recognise_byte(rec, b)) {
            return true;
        }
    }
    return false;
}

const Bytes DATA_REPLY = hex("02 03 40 01 21 02 05 41 01 20 0A 0B 03 77 00");

} // namespace

TEST(DevFrame, RequestsByteForByte) {
    Bytes big(252, 0xAB);
    struct Row {
        DevRequest req;
        Bytes expected;
    } rows[] = {
        {request(0x01, 0x41, 0x20, {}), hex("02 03 41 01 20 03 62 00")},
        {request(0x01, 0x41, 0x10, {0x01}), hex("02 04 41 01 10 01 03 53 00")},
        {request(0x01, 0x40, 0x10, {1, 2, 3, 4}), hex("02 07 40 01 10")},
        {request(0xFE, 0x41, 0xFF, {0xFF}), hex("02 04 41 FE FF FF 03 3D 03")}, // sum carries
    };
    for (const Row& row : rows) {
        uint8_t out[300];
        size_t n = dev_frame_request(row.req, out);
        EXPECT_EQ(Bytes(out, out + n), row.expected);
    }
    uint8_t out[300];
    ASSERT_EQ(dev_frame_request(request(0x01, 0x41, 0x10, big), out), 260u);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[257], 0x03);
    EXPECT_EQ(out[258], 0xA6); // 0x41 + 0x01 + 0x10 + 252 * 0xAB = 0xA8A6
    EXPECT_EQ(out[259], 0xA8);
}

// Each row: bytes on the line, then the reply as "code class station data_len data..." (as
// many data bytes as listed), or "" when no reply may be recognised.
TEST(DevRecogniser, RepliesAndRestarts) {
    const char* rows[][2] = {
        {"02 03 40 01 21 02 05 41 01 20 0A 0B 03 77 00", "21 41 01 02 0A 0B 00"},
        {"00 FF 41 03 02 03 40 09 06", "06 40 09 00"},                // garbage first
        {"02 02 03 40 01 06", ""},                                    // STX restarts, consumed
        {"02 02 03 40 01 06 02 03 40 07 06", "06 40 07 00"},          // ... then a reply
        {"02 04 40 01 15 99", "15 40 01 01 00"},                      // NAK byte not kept
        {"02 04 40 01 15", ""},                                       // NAK needs its byte
        {"02 04 40 01 06 00", ""},                                    // ACK of length 4
        {"02 04 40 01 21 02 05 41 01 20 0A 0B 03 77 00", ""},         // 0x21 of length 4
        {"02 03 40 01 15 00", ""},                                    // NAK of length 3
        {"02 05 41 01 20 0A 0B 03 77 00", ""},                        // long first frame
        {"02 03 40 01 21 02 03 40 09 06", "06 40 01 00"},             // 0x21, short ACK
        {"02 03 40 01 21 02 04 40 09 15 00", "15 40 01 01"},          // 0x21, short NAK
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
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        DevReply reply;
        Bytes expected = hex(row[1]);
        ASSERT_EQ(recognise(hex(row[0]), reply), !expected.empty());
        if (!expected.empty()) {
            Bytes got = {reply.code, reply.frame_class, reply.station, reply.data_len};
            got.insert(got.end(), reply.data.begin(), reply.data.begin() + (expected.size() - 4));
            EXPECT_EQ(got, expected);
        }
    }
}

TEST(DevTransact, ReplySplitAtEveryPosition) {
    PtyLine line;
    for (size_t cut = 0; cut < DATA_REPLY.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::vector<Bytes> writes{Bytes(DATA_REPLY.begin(), DATA_REPLY.begin() + cut),
                                  Bytes(DATA_REPLY.begin() + cut, DATA_REPLY.end())};
        DevReply reply;
        int result = 0;
        Bytes sent = scripted(line.peer(), writes, [&] {
            result = dev_transact(line.fd(), request(1, 0x41, 0x20, {}), reply);
        });
        EXPECT_EQ(sent, hex("02 03 41 01 20 03 62 00"));
        ASSERT_EQ(result, 1);
        EXPECT_EQ(reply.code, 0x21);
        EXPECT_EQ(reply.data_len, 2);
        EXPECT_EQ(reply.data[1], 0x0B);
    }
}

// A reply left on the line by an earlier exchange must not answer the next request.
TEST(DevTransact, StaleInputIsDiscardedBeforeTheRequest) {
    PtyLine line;
    Bytes stale = hex("02 03 40 01 21 02 05 41 01 20 0C 0D 03 7B 00");
    ASSERT_EQ(write(line.peer(), stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    ASSERT_TRUE(wait_readable(line.fd(), 1000));
    DevReply reply;
    int result = 0;
    Bytes sent = scripted(line.peer(), {DATA_REPLY}, [&] {
        result = dev_transact(line.fd(), request(1, 0x41, 0x20, {}), reply);
    });
    EXPECT_EQ(sent, hex("02 03 41 01 20 03 62 00"));
    ASSERT_EQ(result, 1);
    EXPECT_EQ(reply.data[0], 0x0A);
}

TEST(DevTransact, OversizedRequestIsNotWritten) {
    PtyLine line;
    DevRequest req = request(1, 0x41, 0x01, Bytes(252, 0));
    req.data_len = 253;
    DevReply reply;
    EXPECT_EQ(dev_transact(line.fd(), req, reply), 0);
    EXPECT_FALSE(wait_readable(line.peer(), 100));
}

TEST(DevTransact, EndOfInputEndsTheWait) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]); // the read end now reports end of input; the request write just fails
    DevReply reply;
    auto t0 = Clock::now();
    EXPECT_EQ(dev_transact(fds[0], request(1, 0x41, 0x20, {}), reply), 0);
    EXPECT_LT(seconds_since(t0), 1.0);
    close(fds[0]);
}

// The budget covers the whole reply: a device that keeps sending a byte every 0.5 s (a valid
// reply, far too slowly) is given up after about 3 s, not after the last byte.
TEST(DevTransact, TricklingDeviceTimesOutOnTheWholeBudget) {
    PtyLine line;
    std::atomic<bool> stop{false};
    std::thread device([&] {
        ASSERT_TRUE(wait_readable(line.peer(), 2000));
        uint8_t buf[64];
        ASSERT_GT(read(line.peer(), buf, sizeof buf), 0);
        for (size_t i = 0; !stop; i = (i + 1) % DATA_REPLY.size()) {
            ASSERT_EQ(write(line.peer(), &DATA_REPLY[i], 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    DevReply reply;
    auto t0 = Clock::now();
    EXPECT_EQ(dev_transact(line.fd(), request(1, 0x41, 0x20, {}), reply), 0);
    double took = seconds_since(t0);
    stop = true;
    device.join();
    EXPECT_GT(took, 2.9);
    EXPECT_LT(took, 3.6);
}
