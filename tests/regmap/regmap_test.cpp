// SPDX-License-Identifier: Apache-2.0
#include "regmap/regmap.h"

#include <gtest/gtest.h>

#include <tuple>

// The lookup finds every row of the table and nothing between or past them. The rows themselves
// are checked where the table is built (static_assert) and against docs/register-map.md.
TEST(RegMap, LookupFindsEveryRowAndNothingElse) {
    for (size_t i = 0; i < REGMAP_ROWS; ++i) {
        const uint32_t reg = regmap_table[i].reg;
        EXPECT_EQ(regmap_lookup(reg), &regmap_table[i]) << reg;
        const bool gap = regmap_table[i + 1].reg != reg + 1; // the end row is 0xFFFF
        EXPECT_TRUE(!gap || regmap_lookup(reg + 1) == nullptr) << reg + 1;
    }
    // Above the table, including numbers whose low 16 bits name a row.
    for (uint32_t reg : {0xFFFFu, 0x10000u, 0x10400u, 0xFFFFFFFFu})
        EXPECT_EQ(regmap_lookup(reg), nullptr) << reg;
}

// Rows the gateway's behaviour depends on: the bit-packed groups (which differ in two counts), a
// row without items, the ends of the one-item runs; block and flag have no row.
TEST(RegMap, RowsThatMatter) {
    const std::tuple<uint32_t, char, int, int> rows[] = {
        {0x0000, '@', 1, 16},  {0x0002, 'A', 1, 15}, {0x0102, 'A', 1, 8}, {0x0003, 'A', 17, 0},
        {0x0005, 'B', 1, 9},   {0x0105, 'B', 1, 6},  {0x0017, 'a', 8, 1}, {0x0263, 'H', 100, 1},
        {0x0463, 'i', 100, 1}, {0x2803, 'G', 4, 1},  {0x0600, 0, 0, 0},   {0x0800, 0, 0, 0},
    };
    for (const auto& [reg, type, first, count] : rows) {
        const RegMapEntry* e = regmap_lookup(reg);
        using Row = std::tuple<int, int, int>;
        const Row got = e == nullptr ? Row() : Row(e->item_type, e->first_item, e->item_count);
        EXPECT_EQ(got, Row(type, first, count)) << reg;
    }
}
