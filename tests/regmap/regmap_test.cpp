#include "regmap/regmap.h"

#include <gtest/gtest.h>

TEST(RegMap, TableInvariants) {
    ASSERT_EQ(regmap_table.size(), 307U);
    const RegMapEntry& end = regmap_table[REGMAP_ROWS];
    EXPECT_EQ(end.reg, 0xFFFF);
    EXPECT_EQ(end.item_type, 0);
    EXPECT_EQ(end.first_item, 0);
    EXPECT_EQ(end.item_count, 0);
    EXPECT_EQ(regmap_table[0].reg, 0);
    for (size_t i = 0; i < REGMAP_ROWS; ++i) {
        const RegMapEntry& row = regmap_table[i];
        SCOPED_TRACE(testing::Message() << "row " << i << " register " << row.reg);
        if (i > 0) {
            EXPECT_LT(regmap_table[i - 1].reg, row.reg);
        }
        EXPECT_LE(row.item_count, 16);
        EXPECT_LE(row.first_item + row.item_count - 1, 255);
        // Every row is reachable through the lookup, including the first and the last.
        EXPECT_EQ(regmap_lookup(row.reg), &row);
    }
}

TEST(RegMap, BitPackedGroupsDifferOnlyInTwoCounts) {
    for (uint32_t k = 0; k <= 10; ++k) {
        SCOPED_TRACE(k);
        const RegMapEntry* low = regmap_lookup(k);
        const RegMapEntry* high = regmap_lookup(0x0100 + k);
        ASSERT_NE(low, nullptr);
        ASSERT_NE(high, nullptr);
        EXPECT_EQ(low->item_type, high->item_type);
        EXPECT_EQ(low->first_item, high->first_item);
        if (k == 2 || k == 5)
            EXPECT_NE(low->item_count, high->item_count);
        else
            EXPECT_EQ(low->item_count, high->item_count);
    }
}

TEST(RegMap, LookupFindsTheListedRows) {
    struct Row {
        uint32_t reg;
        bool found;
        char type;
        int first;
        int count;
    };
    const Row rows[] = {
        {0x0000, true, '@', 1, 16},  {0x0001, true, '@', 17, 8},   {0x0002, true, 'A', 1, 15},
        {0x0003, true, 'A', 17, 0},  {0x0004, true, 'A', 129, 4},  {0x0005, true, 'B', 1, 9},
        {0x000A, true, 'G', 1, 4},   {0x000B, false, 0, 0, 0},     {0x000F, false, 0, 0, 0},
        {0x0010, true, 'a', 1, 1},   {0x0017, true, 'a', 8, 1},    {0x0018, false, 0, 0, 0},
        {0x00FF, false, 0, 0, 0},    {0x0100, true, '@', 1, 16},   {0x0102, true, 'A', 1, 8},
        {0x0103, true, 'A', 17, 0},  {0x0105, true, 'B', 1, 6},    {0x010A, true, 'G', 1, 4},
        {0x0110, false, 0, 0, 0},    {0x0200, true, 'H', 1, 1},    {0x0263, true, 'H', 100, 1},
        {0x0264, false, 0, 0, 0},    {0x0400, true, 'i', 1, 1},    {0x0463, true, 'i', 100, 1},
        {0x0464, false, 0, 0, 0},    {0x0600, false, 0, 0, 0},     {0x0608, false, 0, 0, 0},
        {0x0800, false, 0, 0, 0},    {0x2000, true, '@', 1, 1},    {0x2017, true, '@', 24, 1},
        {0x2018, false, 0, 0, 0},    {0x2100, true, 'A', 1, 1},    {0x210E, true, 'A', 15, 1},
        {0x210F, false, 0, 0, 0},    {0x2200, true, 'A', 129, 1},  {0x2203, true, 'A', 132, 1},
        {0x2300, true, 'B', 1, 1},   {0x2308, true, 'B', 9, 1},    {0x2400, true, 'B', 129, 1},
        {0x2403, true, 'B', 132, 1}, {0x2500, true, 'D', 1, 1},    {0x2507, true, 'D', 8, 1},
        {0x2600, true, 'E', 1, 1},   {0x2603, true, 'E', 4, 1},    {0x2700, true, 'F', 1, 1},
        {0x2703, true, 'F', 4, 1},   {0x2800, true, 'G', 1, 1},    {0x2803, true, 'G', 4, 1},
        {0x2804, false, 0, 0, 0},    {0xFFFF, false, 0, 0, 0},     {0x10000, false, 0, 0, 0},
        {0x10400, false, 0, 0, 0},   {0xFFFFFFFF, false, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "register 0x" << row.reg);
        const RegMapEntry* entry = regmap_lookup(row.reg);
        ASSERT_EQ(entry != nullptr, row.found);
        if (entry == nullptr)
            continue;
        EXPECT_EQ(entry->item_type, static_cast<uint8_t>(row.type));
        EXPECT_EQ(entry->first_item, row.first);
        EXPECT_EQ(entry->item_count, row.count);
    }
}
