// SPDX-License-Identifier: Apache-2.0
#include "service/cache.h"

#include "regmap/regmap.h"
#include "regmap/regs.h"

namespace {

bool outside_map(uint32_t start, uint32_t quantity) {
    return (start == REGS_BLOCK_START && quantity == REGS_BLOCK_COUNT) ||
           (start == REGS_FLAG_REGISTER && quantity == 1);
}

// The row of `reg` when it has items (the only registers whose values are kept), else nullptr.
const RegMapEntry* row_with_items(uint32_t reg) {
    const RegMapEntry* row = regmap_lookup(reg);
    return row != nullptr && row->item_count > 0 ? row : nullptr;
}

// The index of `reg`'s entry, or cache.used when it has none.
uint32_t find(const Cache& cache, uint32_t reg) {
    uint32_t i = 0;
    while (i < cache.used && cache.entries[i].reg != reg)
        ++i;
    return i;
}

bool fresh(const Cache& cache, const CacheEntry& entry, int64_t now_us) {
    return now_us - entry.read_us < cache.max_age_us;
}

// The entry for `reg`: its own, a free one, or an expired one; nullptr when the table is full.
CacheEntry* place_for(Cache& cache, uint32_t reg, int64_t now_us) {
    const uint32_t own = find(cache, reg);
    if (own < cache.used)
        return &cache.entries[own];
    if (cache.used < CACHE_ENTRIES)
        return &cache.entries[cache.used++];
    for (CacheEntry& entry : cache.entries)
        if (!fresh(cache, entry, now_us))
            return &entry;
    return nullptr;
}

bool shares_items(const RegMapEntry& held, uint32_t start, uint32_t quantity) {
    for (uint32_t r = start; r < start + quantity; ++r) {
        const RegMapEntry* row = row_with_items(r);
        if (row != nullptr && row->item_type == held.item_type &&
            row->first_item < held.first_item + held.item_count &&
            held.first_item < row->first_item + row->item_count)
            return true;
    }
    return false;
}

} // namespace

void cache_init(Cache& cache, uint32_t max_age_ms) {
    cache.max_age_us = int64_t{max_age_ms} * 1000;
    cache.used = 0;
}

int cache_lookup(const Cache& cache, uint32_t start, uint32_t quantity, uint16_t* values,
                 int64_t now_us) {
    if (cache.max_age_us <= 0 || (start == REGS_BLOCK_START && quantity == REGS_BLOCK_COUNT))
        return 0;
    for (uint32_t i = 0; i < quantity; ++i) {
        values[i] = 0;
        if (row_with_items(start + i) == nullptr)
            continue;
        const uint32_t k = find(cache, start + i);
        if (k == cache.used || !fresh(cache, cache.entries[k], now_us))
            return 0;
        values[i] = cache.entries[k].value;
    }
    return 1;
}

void cache_store(Cache& cache, uint32_t start, uint32_t quantity, const uint16_t* values,
                 int64_t now_us) {
    if (cache.max_age_us <= 0 || outside_map(start, quantity))
        return;
    for (uint32_t i = 0; i < quantity; ++i) {
        if (row_with_items(start + i) == nullptr)
            continue;
        CacheEntry* entry = place_for(cache, start + i, now_us);
        if (entry != nullptr)
            *entry = CacheEntry{now_us, static_cast<uint16_t>(start + i), values[i]};
    }
}

void cache_drop(Cache& cache, uint32_t start, uint32_t quantity) {
    if (outside_map(start, quantity)) {
        cache_clear(cache);
        return;
    }
    for (uint32_t i = cache.used; i-- > 0;) {
        const RegMapEntry* held = row_with_items(cache.entries[i].reg);
        if (held != nullptr && shares_items(*held, start, quantity))
            cache.entries[i] = cache.entries[--cache.used]; // the last entry takes its place
    }
}

void cache_clear(Cache& cache) {
    cache.used = 0;
}
