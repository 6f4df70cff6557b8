// SPDX-License-Identifier: Apache-2.0
#pragma once
// Register values read from the field device, kept for a while so that repeated reads of the same
// registers are answered from memory instead of the serial line. A fixed table of registers, each
// with its value and the time it was read; nothing is allocated after start-up.
#include <array>
#include <cstdint>

// How many registers the table holds; a register that finds no room is not kept, and reads of
// it go to the device.
inline constexpr uint32_t CACHE_ENTRIES = 128;

struct CacheEntry {
    int64_t read_us; // monotonic time at which the device read that returned `value` began
    uint16_t reg;
    uint16_t value;
};

struct Cache {
    int64_t max_age_us = 0; // a value is used while younger than this; 0: no cache
    uint32_t used = 0;      // entries[0 .. used) hold registers, in no order
    std::array<CacheEntry, CACHE_ENTRIES> entries{};
};

// Empties the table and sets its maximum age (MOD_KOVEX4_CACHE_MS; 0: no cache).
void cache_init(Cache& cache, uint32_t max_age_ms);

// A read of `quantity` registers from `start` answered from memory: 1 with `values` filled
// exactly as the device read would (registers without items read 0) when every register with
// items holds a value read less than the maximum age before `now_us`; 0 otherwise, and always for
// the block range, which is served outside the map.
int cache_lookup(const Cache& cache, uint32_t start, uint32_t quantity, uint16_t* values,
                 int64_t now_us);

// Keeps the values of a device read that succeeded and began at `now_us`. A register that is not
// in the table takes a free entry or one whose value has expired; without one it is not kept.
void cache_store(Cache& cache, uint32_t start, uint32_t quantity, const uint16_t* values,
                 int64_t now_us);

// Drops what a write (successful or not) or a failed read of the range may have made wrong: the
// values of every register that stands for one of the range's items (the same item can stand
// behind several registers, e.g. bit 0 of 0x0000 and register 0x2000). A range served outside
// the map (the block range, the flag register) drops everything: what the device's block and
// flag do to its items is not known here.
void cache_drop(Cache& cache, uint32_t start, uint32_t quantity);

// Drops everything (a lost line).
void cache_clear(Cache& cache);
