#include "regmap/regmap.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(RegMap, TableInvariants) {
    ASSERT_EQ(regmap_table.size(), 307U);
    const RegMapEntry& end = regmap_table[REGMAP_ROWS];
    EXPECT_EQ(end.reg, 0xFFFF);
    EXPECT_EQ(end.item_type | end.first_item | end.item_count, 0);
    EXPECT_EQ(regmap_table[0].reg, 0);
    for (size_t i = 0; i < REGMAP_ROWS; ++i) {
        const RegMapEntry& row = regmap_table[i];
        SCOPED_TRACE(testing::Message() << "row " << i << " register " << row.reg);
        EXPECT_LT(i > 0 ? regmap_table[i - 1].reg : -1, row.reg);
        EXPECT_LE(row.item_count, 16);
        EXPECT_LE(row.first_item + row.item_count - 1, 255);
        // Every row is reachable through the lookup, including the first and the last.
        EXPECT_EQ(regmap_lookup(row.reg), &row);
    }
    // The two bit-packed groups differ in exactly two item counts.
    for (uint32_t k = 0; k <= 10; ++k) {
        const RegMapEntry *low = regmap_lookup(k), *high = regmap_lookup(0x0100 + k);
        ASSERT_TRUE(low != nullptr && high != nullptr) << k;
        EXPECT_EQ(low->item_type, high->item_type) << k;
        EXPECT_EQ(low->first_item, high->first_item) << k;
        EXPECT_EQ(low->item_count == high->item_count, k != 2 && k != 5) << k;
    }
}

// The first bit-packed group in full, the last register of every one-item run, and registers
// without a row (item type 0 here).
TEST(RegMap, LookupFindsTheListedRows) {
    const std::tuple<uint32_t, char, int, int> rows[] = {
        {0x0000, '@', 1, 16},  {0x0001, '@', 17, 8}, {0x0002, 'A', 1, 15},  {0x0003, 'A', 17, 0},
        {0x0004, 'A', 129, 4}, {0x0005, 'B', 1, 9},  {0x0006, 'B', 129, 4}, {0x0007, 'D', 1, 8},
        {0x0008, 'E', 1, 4},   {0x0009, 'F', 1, 4},  {0x000A, 'G', 1, 4},   {0x000B, 0, 0, 0},
        {0x000F, 0, 0, 0},     {0x0017, 'a', 8, 1},  {0x0018, 0, 0, 0},     {0x0102, 'A', 1, 8},
        {0x0105, 'B', 1, 6},   {0x0110, 0, 0, 0},    {0x0263, 'H', 100, 1}, {0x0264, 0, 0, 0},
        {0x0463, 'i', 100, 1}, {0x0464, 0, 0, 0},    {0x0600, 0, 0, 0},     {0x0800, 0, 0, 0},
        {0x2017, '@', 24, 1},  {0x2018, 0, 0, 0},    {0x210E, 'A', 15, 1},  {0x210F, 0, 0, 0},
        {0x2203, 'A', 132, 1}, {0x2308, 'B', 9, 1},  {0x2403, 'B', 132, 1}, {0x2507, 'D', 8, 1},
        {0x2603, 'E', 4, 1},   {0x2703, 'F', 4, 1},  {0x2803, 'G', 4, 1},   {0x2804, 0, 0, 0},
        {0xFFFF, 0, 0, 0},     {0x10000, 0, 0, 0},   {0x10400, 0, 0, 0},    {0xFFFFFFFF, 0, 0, 0},
    };
    for (const auto& [reg, type, first, count] : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "register 0x" << reg);
        const RegMapEntry* entry = regmap_lookup(reg);
        ASSERT_EQ(entry != nullptr, type != 0);
        if (entry == nullptr)
            continue;
        EXPECT_EQ(entry->item_type, type);
        EXPECT_EQ(entry->first_item, first);
        EXPECT_EQ(entry->item_count, count);
    }
}
