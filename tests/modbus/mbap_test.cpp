// SPDX-License-Identifier: Apache-2.0
// The MBAP parser over any split of a byte stream, and the encoder.
#include <utility>

#include <gtest/gtest.h>

#include "modbus/mbap.h"
#include "register_store.h"
#include "support.h"

namespace {

Bytes pattern(size_t n, uint8_t salt) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(i * 7 + salt);
    return out;
}

// Each yielded frame, encoded again, with the stream offset just past its last byte.
using Yields = std::vector<std::pair<size_t, Bytes>>;

// Runs `stream` through a parser in reads that end at `cuts` (ascending, last = size), calling
// as the service does: repeatedly while bytes are left in the read. The parser is reset after
// an earlier connection stopped in the middle of a header.
Yields run(const Bytes& stream, const std::vector<size_t>& cuts) {
    MbapParser parser;
    mbap_reset(parser);
    const uint8_t* next = stream.data();
    int32_t left = 3;
    EXPECT_EQ(mbap_parse(parser, next, left), nullptr);
    mbap_reset(parser);
    Yields out;
    size_t begin = 0;
    for (size_t cut : cuts) {
        next = stream.data() + begin;
        left = static_cast<int32_t>(cut - begin);
        while (left > 0) {
            const MbapFrame* frame = mbap_parse(parser, next, left);
            EXPECT_EQ(next + left, stream.data() + cut);
            EXPECT_TRUE(frame == nullptr ? left == 0 : frame == &parser.frame);
            if (frame != nullptr)
                out.emplace_back(static_cast<size_t>(next - stream.data()), mbap_bytes(*frame));
        }
        begin = cut;
    }
    return out;
}

// Reads of `chunk` bytes over `n` bytes.
std::vector<size_t> cuts(size_t n, size_t chunk) {
    std::vector<size_t> out;
    for (size_t c = chunk; c < n; c += chunk)
        out.push_back(c);
    out.push_back(n);
    return out;
}

} // namespace

// A request, an empty header, an oversized frame, then frames of length 1, 256 and 3. Header
// values overlap bitwise so that a header not assigned afresh shows.
TEST(MbapParse, SameFramesWhateverTheSplit) {
    Bytes stream;
    Yields expected;
    const std::pair<Bytes, bool> frames[] = {
        {mbap_wire(0x0102, 0x0304, 6, hex("01 03 00 10 00 02")), true},
        {mbap_wire(0xFFFF, 0xFFFF, 0, {}), false},
        {mbap_wire(0x0BAD, 0x0000, 257, pattern(257, 3)), false},
        {mbap_wire(0x00F0, 0x0000, 1, {0x11}), true},
        {mbap_wire(0xFF00, 0x8000, 256, pattern(256, 0x5A)), true},
        {mbap_wire(0x0040, 0x0001, 3, hex("22 84 01")), true},
    };
    for (const auto& [frame, yielded] : frames) {
        stream.insert(stream.end(), frame.begin(), frame.end());
        if (yielded)
            expected.emplace_back(stream.size(), frame);
    }
    const size_t n = stream.size();
    EXPECT_EQ(run(stream, {n}), expected) << "one read";
    EXPECT_EQ(run(stream, cuts(n, 1)), expected) << "byte by byte";
    for (size_t split = 1; split < n && !HasFailure(); ++split)
        EXPECT_EQ(run(stream, {split, n}), expected) << "split at " << split;
}

TEST(MbapParse, OversizedFramesAreSkippedInStep) {
    const Bytes next = read_request(7, 0x10, 2);
    for (uint16_t length : {uint16_t{257}, uint16_t{65535}}) {
        // The skipped body looks like headers, so only counting keeps the stream in step.
        Bytes stream = mbap_wire(1, 0, length, pattern(length, 0));
        for (size_t i = 0; i + 6 <= length; i += 6)
            std::copy(next.begin(), next.begin() + 6, stream.begin() + 6 + static_cast<long>(i));
        stream.insert(stream.end(), next.begin(), next.end());
        for (size_t chunk : {size_t{1}, size_t{256}, stream.size()})
            EXPECT_EQ(run(stream, cuts(stream.size(), chunk)), (Yields{{stream.size(), next}}))
                << length << " in reads of " << chunk;
    }
}

// Only the low 16 bits of each header word and the first `length` body bytes go out.
TEST(MbapSerialize, HeaderBigEndianLow16BitsThenBody) {
    const MbapFrame f{0x1ABCD, 0x10001, 2, 0xDEADBEEF, {0xFF, 0xEE, 0xDD}};
    EXPECT_EQ(mbap_bytes(f), hex("AB CD 00 01 00 02 FF EE"));
}
