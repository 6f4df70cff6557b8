// SPDX-License-Identifier: Apache-2.0
#include "regmap/regmap.h"

#include <algorithm>
#include <iterator>
#include <numeric>

namespace {

// Registers 0x0000-0x000A: bit j of a register stands for item first + j.
constexpr RegMapEntry kPackedLow[] = {
    {0x0000, '@', 1, 16},  // '@' 1-16
    {0x0001, '@', 17, 8},  // '@' 17-24
    {0x0002, 'A', 1, 15},  // 'A' 1-15
    {0x0003, 'A', 17, 0},  // no item
    {0x0004, 'A', 129, 4}, // 'A' 129-132
    {0x0005, 'B', 1, 9},   // 'B' 1-9
    {0x0006, 'B', 129, 4}, // 'B' 129-132
    {0x0007, 'D', 1, 8},   // 'D' 1-8
    {0x0008, 'E', 1, 4},   // 'E' 1-4
    {0x0009, 'F', 1, 4},   // 'F' 1-4
    {0x000A, 'G', 1, 4},   // 'G' 1-4
};

// Registers 0x0100-0x010A: the same as above but with fewer 'A' and 'B' items.
constexpr RegMapEntry kPackedHigh[] = {
    {0x0100, '@', 1, 16},  // '@' 1-16
    {0x0101, '@', 17, 8},  // '@' 17-24
    {0x0102, 'A', 1, 8},   // 'A' 1-8
    {0x0103, 'A', 17, 0},  // no item
    {0x0104, 'A', 129, 4}, // 'A' 129-132
    {0x0105, 'B', 1, 6},   // 'B' 1-6
    {0x0106, 'B', 129, 4}, // 'B' 129-132
    {0x0107, 'D', 1, 8},   // 'D' 1-8
    {0x0108, 'E', 1, 4},   // 'E' 1-4
    {0x0109, 'F', 1, 4},   // 'F' 1-4
    {0x010A, 'G', 1, 4},   // 'G' 1-4
};

// A run of one-item registers: register first_reg + k holds item first_item + k.
struct OneItemRun {
    uint16_t first_reg;
    uint8_t item_type;
    uint8_t first_item;
    uint8_t rows;
};

constexpr OneItemRun kFirstOneItemRun = {0x0010, 'a', 1, 8}; // 0x0010-0x0017

constexpr OneItemRun kOneItemRuns[] = {
    {0x0200, 'H', 1, 100}, // 0x0200-0x0263
    {0x0400, 'i', 1, 100}, // 0x0400-0x0463
    {0x2000, '@', 1, 24},  // 0x2000-0x2017
    {0x2100, 'A', 1, 15},  // 0x2100-0x210E
    {0x2200, 'A', 129, 4}, // 0x2200-0x2203
    {0x2300, 'B', 1, 9},   // 0x2300-0x2308
    {0x2400, 'B', 129, 4}, // 0x2400-0x2403
    {0x2500, 'D', 1, 8},   // 0x2500-0x2507
    {0x2600, 'E', 1, 4},   // 0x2600-0x2603
    {0x2700, 'F', 1, 4},   // 0x2700-0x2703
    {0x2800, 'G', 1, 4},   // 0x2800-0x2803
};

using Table = std::array<RegMapEntry, REGMAP_ROWS + 1>;

struct TableBuilder {
    Table table{};
    size_t rows = 0;

    template <size_t N> constexpr void add_rows(const RegMapEntry (&group)[N]) {
        for (const RegMapEntry& row : group)
            table[rows++] = row;
    }
    constexpr void add_run(const OneItemRun& run) {
        for (unsigned k = 0; k < run.rows; ++k)
            table[rows++] = {static_cast<uint16_t>(run.first_reg + k), run.item_type,
                             static_cast<uint8_t>(run.first_item + k), 1};
    }
};

constexpr size_t count_rows() {
    return std::accumulate(std::begin(kOneItemRuns), std::end(kOneItemRuns),
                           std::size(kPackedLow) + kFirstOneItemRun.rows + std::size(kPackedHigh),
                           [](size_t n, const OneItemRun& run) { return n + run.rows; });
}
// Checked before building, so the builder never writes past the end.
static_assert(count_rows() == REGMAP_ROWS, "the register map must hold exactly 306 rows");

constexpr Table build_table() {
    TableBuilder b;
    b.add_rows(kPackedLow);
    b.add_run(kFirstOneItemRun);
    b.add_rows(kPackedHigh);
    for (const OneItemRun& run : kOneItemRuns)
        b.add_run(run);
    b.table[b.rows] = {REGMAP_END, 0, 0, 0};
    return b.table;
}

// The lookup relies on rows in strictly ascending order and no row before the end row claiming
// 0xFFFF; the translation relies on every row fitting one 49-item batch and on item numbers
// fitting a byte.
constexpr bool rows_valid(const Table& t) {
    for (size_t i = 0; i < REGMAP_ROWS; ++i) {
        if (i > 0 && t[i].reg <= t[i - 1].reg)
            return false;
        if (t[i].item_count > 16 || t[i].first_item + t[i].item_count - 1 > 255)
            return false;
    }
    return t[0].reg == 0 && t[REGMAP_ROWS - 1].reg < REGMAP_END;
}

} // namespace

constexpr Table regmap_table = build_table();
static_assert(rows_valid(regmap_table), "register map rows must ascend from 0 and fit a batch");

const RegMapEntry* regmap_lookup(uint32_t reg) {
    // The rows ascend strictly (checked above), so a binary search finds exactly the row a scan
    // would, in 9 steps instead of up to 306: a read of 125 registers looks up 250 of them. The
    // end row lies outside the range searched, so 0xFFFF and everything above it have no row.
    if (reg >= REGMAP_END)
        return nullptr;
    const RegMapEntry* first = regmap_table.data();
    const RegMapEntry* last = first + REGMAP_ROWS;
    const RegMapEntry* row = std::lower_bound(
        first, last, reg, [](const RegMapEntry& r, uint32_t value) { return r.reg < value; });
    return row != last && row->reg == reg ? row : nullptr;
}
