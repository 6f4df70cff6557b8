#include <climits>
#include <cstring>

#include "sim_link.h"

namespace {

Bytes pattern(size_t n, uint8_t salt) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(i * 7 + salt);
    return out;
}

struct Yield {
    MbapFrame frame;
    size_t end; // stream offset just past the frame's last byte
};

// Runs `stream` through a fresh parser in reads that end at `cuts` (ascending, last = size),
// calling as the service does: repeatedly while bytes are left in the read.
std::vector<Yield> run(const Bytes& stream, const std::vector<size_t>& cuts) {
    MbapParser parser;
    mbap_reset(parser);
    std::vector<Yield> out;
    size_t begin = 0;
    for (size_t cut : cuts) {
        const uint8_t* next = stream.data() + begin;
        int32_t left = int32_t(cut - begin);
        while (left > 0) {
            MbapFrame* frame = mbap_parse(parser, next, left);
            EXPECT_EQ(next + left, stream.data() + cut);
            if (frame == nullptr) {
                EXPECT_EQ(left, 0);
                continue;
            }
            EXPECT_EQ(frame, &parser.frame);
            out.push_back({*frame, size_t(next - stream.data())});
        }
        begin = cut;
    }
    return out;
}

// A request, an empty header, an oversized frame, then frames of length 1, 256 and 3. Header
// values overlap bitwise so that a header not assigned afresh shows.
struct Stream {
    Bytes bytes;
    std::vector<Yield> expected;

    Stream() {
        add(0x0102, 0x0304, {0x01, 0x03, 0x00, 0x10, 0x00, 0x02});
        append(wire(0xFFFF, 0xFFFF, 0, {}));
        append(wire(0x0BAD, 0x0000, 257, pattern(257, 3)));
        add(0x00F0, 0x0000, {0x11});
        add(0xFF00, 0x8000, pattern(256, 0x5A));
        add(0x0040, 0x0001, {0x22, 0x84, 0x01});
    }
    void append(const Bytes& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
    // Body bytes past a frame's length keep what the earlier frames left.
    void add(uint16_t tid, uint16_t pid, const Bytes& body) {
        append(wire(tid, pid, uint16_t(body.size()), body));
        MbapFrame f = expected.empty() ? MbapFrame{} : expected.back().frame;
        f.transaction_id = tid;
        f.protocol_id = pid;
        f.length = uint32_t(body.size());
        std::copy(body.begin(), body.end(), f.body.begin());
        expected.push_back({f, bytes.size()});
    }
};

void expect_yields(const Stream& s, const std::vector<Yield>& got, const std::string& how) {
    SCOPED_TRACE(how);
    ASSERT_EQ(got.size(), s.expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const MbapFrame& g = got[i].frame;
        const MbapFrame& e = s.expected[i].frame;
        EXPECT_EQ(got[i].end, s.expected[i].end) << "frame " << i;
        EXPECT_EQ(g.transaction_id, e.transaction_id) << "frame " << i;
        EXPECT_EQ(g.protocol_id, e.protocol_id) << "frame " << i;
        EXPECT_EQ(g.length, e.length) << "frame " << i;
        EXPECT_EQ(g.body, e.body) << "frame " << i;
        const size_t begin = got[i].end - 6 - g.length;
        EXPECT_EQ(serialize(g),
                  Bytes(s.bytes.begin() + long(begin), s.bytes.begin() + long(got[i].end)))
            << "frame " << i;
    }
}

TEST(MbapParse, SameFramesWhateverTheSplit) {
    const Stream s;
    const size_t n = s.bytes.size();
    expect_yields(s, run(s.bytes, {n}), "one read");
    for (size_t split = 1; split < n; ++split) {
        expect_yields(s, run(s.bytes, {split, n}), "split at " + std::to_string(split));
        if (HasFailure())
            return;
    }
    std::vector<size_t> every_byte;
    for (size_t i = 1; i <= n; ++i)
        every_byte.push_back(i);
    expect_yields(s, run(s.bytes, every_byte), "byte by byte");
}

TEST(MbapParse, OversizedFramesAreSkippedInStep) {
    const Bytes next = wire(0x0007, 0, 6, {0x01, 0x03, 0x00, 0x10, 0x00, 0x02});
    for (uint16_t length : {uint16_t(257), uint16_t(65535)}) {
        // The skipped body looks like headers, so only counting keeps the stream in step.
        Bytes stream = wire(0x0001, 0, length, pattern(length, 0));
        for (size_t i = 0; i + 6 <= length; i += 6) {
            std::copy(next.begin(), next.begin() + 6, stream.begin() + 6 + long(i));
        }
        stream.insert(stream.end(), next.begin(), next.end());
        for (size_t chunk : {size_t(1), size_t(256), stream.size()}) {
            std::vector<size_t> cuts;
            for (size_t c = chunk; c < stream.size(); c += chunk)
                cuts.push_back(c);
            cuts.push_back(stream.size());
            const auto got = run(stream, cuts);
            ASSERT_EQ(got.size(), 1u) << length << " in reads of " << chunk;
            EXPECT_EQ(got[0].end, stream.size());
            EXPECT_EQ(got[0].frame.transaction_id, 7u);
            EXPECT_EQ(serialize(got[0].frame), next);
        }
    }
}

TEST(MbapParse, NothingLeftToReadChangesNothing) {
    const Bytes partial = {0x12, 0x34, 0x00};
    for (int32_t count : {0, -1, INT32_MIN}) {
        MbapParser parser;
        mbap_reset(parser);
        const uint8_t* next = partial.data();
        int32_t left = 3;
        ASSERT_EQ(mbap_parse(parser, next, left), nullptr);
        const MbapParser before = parser;
        left = count;
        EXPECT_EQ(mbap_parse(parser, next, left), nullptr);
        EXPECT_EQ(next, partial.data() + 3);
        EXPECT_EQ(left, count);
        EXPECT_EQ(std::memcmp(&before, &parser, sizeof parser), 0);
    }
}

TEST(MbapParse, ResetClearsEverything) {
    MbapParser parser;
    std::memset(&parser, 0xA5, sizeof parser);
    mbap_reset(parser);
    MbapParser zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&zero, &parser, sizeof parser), 0);
}

TEST(MbapSerialize, HeaderBigEndianLow16BitsThenBody) {
    struct Row {
        uint32_t tid, pid, length;
        Bytes body, expected;
    } rows[] = {
        {0x1234, 0xABCD, 3, {0x11, 0x84, 0x01}, {0x12, 0x34, 0xAB, 0xCD, 0, 3, 0x11, 0x84, 0x01}},
        {0x1ABCD, 0x10001, 1, {0xFF, 0xEE}, {0xAB, 0xCD, 0x00, 0x01, 0, 1, 0xFF}},
    };
    for (const Row& r : rows) {
        MbapFrame f{};
        f.transaction_id = r.tid;
        f.protocol_id = r.pid;
        f.length = r.length;
        f.reserved = 0xDEADBEEF;
        std::copy(r.body.begin(), r.body.end(), f.body.begin());
        EXPECT_EQ(serialize(f), r.expected);
    }
}

} // namespace
