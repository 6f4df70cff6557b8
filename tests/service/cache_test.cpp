// SPDX-License-Identifier: Apache-2.0
// The register cache on its own, with the clock given by the test.
#include <gtest/gtest.h>

#include <vector>

#include "service/cache.h"

namespace {

constexpr int64_t MS = 1000;

// Steps on one table with a maximum age of 100 ms: keep a read's values, drop a range, or look a
// range up (hit or not, and the values a hit gives).
TEST(Cache, RulesWithAnInjectedClock) {
    enum class Op { store, drop, lookup };
    const struct Step {
        Op op;
        uint32_t start, quantity;
        int64_t now_ms;
        int hit;
        std::vector<uint16_t> values; // stored, or expected from a hit
    } steps[] = {
        {Op::lookup, 0x0200, 2, 0, 0, {}}, // nothing kept yet
        {Op::store, 0x0200, 3, 0, 0, {7, 8, 9}},
        {Op::lookup, 0x0201, 2, 99, 1, {8, 9}}, // younger than 100 ms
        {Op::lookup, 0x0201, 3, 99, 0, {}},     // 0x0203 was never read
        {Op::lookup, 0x0201, 2, 100, 0, {}},    // 100 ms old: expired
        {Op::store, 0x0201, 1, 50, 0, {5}},     // a later read refreshes one register
        {Op::lookup, 0x0200, 2, 120, 0, {}},    // 0x0200 expired, 0x0201 not
        {Op::lookup, 0x0201, 1, 120, 1, {5}},   // its new value
        {Op::lookup, 0x0003, 1, 120, 1, {0}},   // a register without items needs nothing kept
        {Op::store, 0x0000, 4, 200, 0, {0xFFFF, 0x00FF, 0x7FFF, 0xAAAA}},
        {Op::lookup, 0x0000, 4, 210, 1, {0xFFFF, 0x00FF, 0x7FFF, 0}}, // 0x0003 reads 0 as always
        {Op::store, 0x0100, 1, 200, 0, {0x1234}},
        {Op::store, 0x2001, 1, 200, 0, {1}},
        {Op::drop, 0x2000, 1, 0, 0, {}}, // item '@' 1: also bit 0 of 0x0000 and 0x0100
        {Op::lookup, 0x0000, 1, 210, 0, {}},
        {Op::lookup, 0x0100, 1, 210, 0, {}},
        {Op::lookup, 0x0001, 3, 210, 1, {0x00FF, 0x7FFF, 0}}, // other items stay
        {Op::lookup, 0x2001, 1, 210, 1, {1}},
        {Op::store, 0x0600, 9, 200, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9}}, // the block is not kept
        {Op::lookup, 0x0600, 9, 210, 0, {}},
        {Op::drop, 0x0800, 1, 0, 0, {}}, // the flag drops everything
        {Op::lookup, 0x2001, 1, 210, 0, {}},
        {Op::lookup, 0x0001, 1, 210, 0, {}},
    };
    Cache cache;
    cache_init(cache, 100);
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "step at 0x" << std::hex << s.start << std::dec << "/"
                                        << s.quantity << ", " << s.now_ms << " ms");
        if (s.op == Op::store) {
            cache_store(cache, s.start, s.quantity, s.values.data(), s.now_ms * MS);
        } else if (s.op == Op::drop) {
            cache_drop(cache, s.start, s.quantity);
        } else {
            std::vector<uint16_t> got(s.quantity, 0xEEEE);
            ASSERT_EQ(cache_lookup(cache, s.start, s.quantity, got.data(), s.now_ms * MS), s.hit);
            if (s.hit) {
                EXPECT_EQ(got, s.values);
            }
        }
    }
}

// A full table keeps what it holds until it expires; the register that finds no room is not
// kept. Without a maximum age nothing is kept at all.
TEST(Cache, FullTableAndNoCache) {
    Cache cache;
    cache_init(cache, 100);
    std::vector<uint16_t> values(CACHE_ENTRIES + 1);
    for (uint32_t i = 0; i <= CACHE_ENTRIES; ++i)
        values[i] = uint16_t(i + 1);
    // 0x0200-0x0263 and 0x0400-0x0463 are one-item registers: 200 of them.
    cache_store(cache, 0x0200, 100, values.data(), 0);
    cache_store(cache, 0x0400, CACHE_ENTRIES + 1 - 100, values.data() + 100, 10 * MS);
    uint16_t got[100];
    const uint32_t last = 0x0400 + CACHE_ENTRIES - 100; // the one that found no room
    EXPECT_EQ(cache_lookup(cache, 0x0200, 100, got, 50 * MS), 1);
    EXPECT_EQ(cache_lookup(cache, 0x0400, last - 0x0400, got, 50 * MS), 1);
    EXPECT_EQ(got[last - 0x0400 - 1], CACHE_ENTRIES);
    EXPECT_EQ(cache_lookup(cache, last, 1, got, 50 * MS), 0);
    // Once the first read's values have expired, their places take new registers.
    cache_store(cache, last, 1, values.data() + CACHE_ENTRIES, 100 * MS);
    EXPECT_EQ(cache_lookup(cache, last, 1, got, 100 * MS), 1);
    EXPECT_EQ(got[0], CACHE_ENTRIES + 1);
    EXPECT_EQ(cache_lookup(cache, 0x0400, 1, got, 100 * MS), 1);

    cache_init(cache, 0);
    cache_store(cache, 0x0200, 1, values.data(), 0);
    EXPECT_EQ(cache_lookup(cache, 0x0200, 1, got, 0), 0);
}

} // namespace
