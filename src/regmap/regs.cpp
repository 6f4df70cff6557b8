// SPDX-License-Identifier: Apache-2.0
#include "regmap/regs.h"

#include <array>

#include "device/commands.h"
#include "regmap/regmap.h"
#include "sys/log.h"

namespace {

using ItemList = std::array<DevItem, REGS_BATCH_ITEMS>;

bool is_block_range(uint32_t start, uint32_t quantity) {
    return start == REGS_BLOCK_START && quantity == REGS_BLOCK_COUNT;
}

// Gathers the items of registers cursor, cursor + 1, ... (below `end`) into `items` for as long
// as whole registers fit; returns the first register left for the next batch (or `end`).
// With `values` (element 0 for register `start`) each item carries its write value, bit j of the
// register for a bit-packed row; for a read (`values` null) the value slots are cleared.
uint32_t gather_batch(uint32_t start, uint32_t cursor, uint32_t end, const uint16_t* values,
                      ItemList& items, int& total) {
    total = 0;
    uint32_t r = cursor;
    for (; r < end; ++r) {
        const RegMapEntry* row = regmap_lookup(r);
        if (row == nullptr)
            continue;
        const int count = row->item_count;
        if (total + count > REGS_BATCH_ITEMS)
            break; // a register never spans two requests
        const uint16_t v = values != nullptr ? values[r - start] : 0;
        for (int j = 0; j < count; ++j) {
            const uint16_t item_value = count == 1 ? v : static_cast<uint16_t>((v >> j) & 1U);
            items[static_cast<size_t>(total + j)] = {
                row->item_type, static_cast<uint8_t>(row->first_item + j), item_value};
        }
        total += count;
    }
    return r;
}

// Places the answers of the batch covering registers cursor ... next - 1, consuming the item list
// in the order gather_batch filled it. The registers of a failed batch read 0.
void place_batch(uint32_t start, uint32_t cursor, uint32_t next, const ItemList& items, bool ok,
                 uint16_t* values) {
    size_t k = 0;
    for (uint32_t r = cursor; r < next; ++r) {
        uint16_t& out = values[r - start];
        out = 0;
        const RegMapEntry* row = regmap_lookup(r);
        if (row == nullptr)
            continue;
        const size_t count = row->item_count;
        if (ok && count == 1) {
            out = items[k].value;
        } else if (ok) {
            for (size_t j = 0; j < count; ++j)
                if (items[k + j].value != 0)
                    out = static_cast<uint16_t>(out | (1U << j));
        }
        k += count;
    }
}

int read_block(DevLine& line, int station, uint16_t* values) {
    DevBlock block{};
    const int ok = dev_read_block(line, station, block);
    // A failed read leaves the block cleared, so all nine registers read 0.
    if (!ok)
        block = DevBlock{};
    values[0] = block.word;
    for (size_t k = 1; k < REGS_BLOCK_COUNT; ++k)
        values[k] = block.byte[k];
    return ok;
}

int write_block(DevLine& line, int station, const uint16_t* values) {
    DevBlock block{};
    block.word = values[0];
    for (size_t k = 1; k < REGS_BLOCK_COUNT; ++k)
        block.byte[k] = static_cast<uint8_t>(values[k] & 0xFFU);
    return dev_write_block(line, station, block);
}

} // namespace

uint32_t regs_batch_end(uint32_t start, uint32_t end) {
    if (is_block_range(start, end - start))
        return end;
    ItemList items;
    int total = 0;
    return gather_batch(start, start, end, nullptr, items, total);
}

int regs_read(DevLine& line, int station, uint32_t start, uint32_t quantity, uint16_t* values) {
    int result = 1;
    if (is_block_range(start, quantity)) {
        result = read_block(line, station, values);
    } else {
        // Unsigned 32-bit sum: an empty range or one wrapping past the top is done at once.
        const uint32_t end = start + quantity;
        if (start >= end)
            return 1;
        ItemList items;
        for (uint32_t cursor = start; cursor < end;) {
            int total = 0;
            const uint32_t next = gather_batch(start, cursor, end, nullptr, items, total);
            int ok = 1;
            if (total > 0)
                ok = dev_read_items(line, station, total, items.data());
            result &= ok;
            // The item list is reused, so the answers are placed before the next batch.
            place_batch(start, cursor, next, items, ok != 0, values);
            cursor = next;
        }
    }
    if (result == 0)
        log_msg(LOG_NOTICE, "read failed (RN %u, WC %u)", static_cast<unsigned>(start + 1),
                static_cast<unsigned>(quantity));
    return result;
}

int regs_write(DevLine& line, int station, uint32_t start, uint32_t quantity,
               const uint16_t* values) {
    int result = 1;
    if (is_block_range(start, quantity)) {
        result = write_block(line, station, values);
    } else if (start == REGS_FLAG_REGISTER && quantity == 1) {
        result = dev_write_flag(line, station, values[0]);
    } else {
        const uint32_t end = start + quantity;
        if (start >= end)
            return 1;
        ItemList items;
        for (uint32_t cursor = start; cursor < end;) {
            int total = 0;
            // A failed batch does not stop the later ones.
            cursor = gather_batch(start, cursor, end, values, items, total);
            if (total > 0)
                result &= dev_write_items(line, station, total, items.data());
        }
    }
    if (result == 0)
        log_msg(LOG_NOTICE, "write failed (RN %u, WC %u)", static_cast<unsigned>(start + 1),
                static_cast<unsigned>(quantity));
    return result;
}
