// SPDX-License-Identifier: Apache-2.0
#pragma once
// The constant register map: which field-device items stand behind each holding register.
#include <array>
#include <cstddef>
#include <cstdint>

struct RegMapEntry {
    uint16_t reg;       // 0-based Modbus register number
    uint8_t item_type;  // item type letter
    uint8_t first_item; // first item number
    uint8_t item_count; // 0: no item, 1: one item, 2..16: bit-packed items
};

inline constexpr size_t REGMAP_ROWS = 306; // rows before the end row
inline constexpr uint16_t REGMAP_END = 0xFFFF;

// REGMAP_ROWS rows in ascending register order, then the end row {0xFFFF, 0, 0, 0}.
extern const std::array<RegMapEntry, REGMAP_ROWS + 1> regmap_table;

// The row of `reg`, or nullptr when it has none.
const RegMapEntry* regmap_lookup(uint32_t reg);
