// SPDX-License-Identifier: Apache-2.0
// kovex4-regmap-doc: prints the gateway's register map as Markdown (docs/register-map.md) from the
// daemon's own table, so the document cannot drift from the code. Before anything is printed,
// the runs it is about to describe are checked against regmap_lookup for every register number;
// if they disagree, nothing is printed and the exit status is 1.
#include <cstdint>
#include <cstdio>

#include "device/commands.h"
#include "regmap/regmap.h"
#include "regmap/regs.h"

namespace {

// One line of the document: a single row (item count 0 or 2..16), or a run of one-item rows in
// which register first_reg + k holds item first_item + k.
struct Run {
    uint16_t first_reg;
    uint8_t item_type;
    uint8_t first_item;
    uint8_t item_count;
    uint32_t rows;
};

constexpr size_t MAX_RUNS = REGMAP_ROWS;

uint32_t last_reg(const Run& run) {
    return run.first_reg + run.rows - 1;
}
uint32_t last_item(const Run& run) {
    return run.first_item + (run.item_count == 1 ? run.rows : run.item_count) - 1;
}

// Groups the table's rows into runs; returns how many there are.
size_t group_runs(Run (&runs)[MAX_RUNS]) {
    size_t n = 0;
    for (size_t i = 0; i < REGMAP_ROWS; ++i) {
        const RegMapEntry& row = regmap_table[i];
        if (n > 0) {
            Run& prev = runs[n - 1];
            if (row.item_count == 1 && prev.item_count == 1 && row.item_type == prev.item_type &&
                row.reg == last_reg(prev) + 1 && row.first_item == last_item(prev) + 1) {
                ++prev.rows;
                continue;
            }
        }
        runs[n++] = {row.reg, row.item_type, row.first_item, row.item_count, 1};
    }
    return n;
}

// True when the runs say for every register number exactly what the lookup finds.
bool runs_match_lookup(const Run* runs, size_t n) {
    uint32_t covered = 0;
    for (uint32_t reg = 0; reg <= 0x10000; ++reg) {
        const Run* run = nullptr;
        for (size_t i = 0; i < n && run == nullptr; ++i)
            if (reg >= runs[i].first_reg && reg <= last_reg(runs[i]))
                run = &runs[i];
        const RegMapEntry* row = regmap_lookup(reg);
        if ((run == nullptr) != (row == nullptr))
            return false;
        if (run == nullptr)
            continue;
        const uint32_t item = run->first_item + (run->item_count == 1 ? reg - run->first_reg : 0);
        if (row->item_type != run->item_type || row->first_item != item ||
            row->item_count != run->item_count)
            return false;
        ++covered;
    }
    return covered == REGMAP_ROWS;
}

// How much of an item's value travels between the gateway and the field device.
const char* value_width(uint8_t type) {
    if (type == DEV_TYPE_I)
        return "16 bits, read and written";
    if (type == DEV_TYPE_A)
        return "16 bits read; a write sends the low 8 bits";
    return "8 bits (0-255); a write sends the low 8 bits";
}

void print_intro() {
    std::printf(
        "# Register map\n"
        "\n"
        "<!-- Generated from the gateway's own register table by tools/regmap-doc; do not edit.\n"
        "     Regenerate: BUILD/tools/regmap-doc/kovex4-regmap-doc > docs/register-map.md -->\n"
        "\n"
        "The gateway serves the field device's items as Modbus holding registers: read them with\n"
        "function 3, write them with function 16 (see [Modbus TCP](modbus.md)). The map is built\n"
        "into the gateway and cannot be configured.\n"
        "\n"
        "**Register numbers.** *Address* is the 0-based register address carried in the Modbus\n"
        "request. *Number* is the same register counted from 1, as many Modbus tools show it\n"
        "(mbpoll's `-r`, for example) and as the settings `MOD_KOVEX4_START<n>` and\n"
        "`MOD_KOVEX4_ALARM<n>` and the \"RN\" of the log messages give it: Number = Address + 1.\n"
        "\n"
        "**Items.** The field device holds items, each named by a type letter and a number. How\n"
        "many bits of an item travel depends on its type: `%c` items carry 16 bits both ways,\n"
        "`%c` items 16 bits when read and only the low 8 bits when written, all other types\n"
        "8 bits (they read 0-255, and a write sends the low 8 bits of the register).\n"
        "\n"
        "**Bit-packed registers** hold up to 16 items of one type: bit 0 (the least significant)\n"
        "stands for the first item, bit 1 for the next, and so on. A bit reads 1 when its item is\n"
        "non-zero; writing the register sets each item to 0 or 1 from its bit. Bits above the\n"
        "register's items read 0 and are ignored on writes.\n"
        "\n"
        "**One-item registers** come in runs: within a run, the register k places after the\n"
        "first one holds the item k places after the first item.\n"
        "\n"
        "**Registers without an item** (every address not listed below, and the rows marked\n"
        "\"none\") are still valid: they read as 0, and writes to them are accepted and ignored.\n"
        "A request may span listed and unlisted registers.\n"
        "\n"
        "**Requests to the device.** The items of a requested range travel in as few device\n"
        "requests as possible, at most %d items each; a bit-packed register counts as all of its\n"
        "items and is never split between two requests.\n",
        DEV_TYPE_I, DEV_TYPE_A, REGS_BATCH_ITEMS);
}

void print_packed(const Run* runs, size_t n) {
    std::printf("\n## Bit-packed registers\n"
                "\n"
                "| Address | Number | Item type | Items | Bits used |\n"
                "|---|---|---|---|---|\n");
    for (size_t i = 0; i < n; ++i) {
        const Run& r = runs[i];
        if (r.item_count == 1)
            continue;
        if (r.item_count == 0) {
            std::printf("| 0x%04X | %u | `%c` | none | none (reads 0) |\n", r.first_reg,
                        r.first_reg + 1u, r.item_type);
        } else {
            std::printf("| 0x%04X | %u | `%c` | %u-%u | 0-%u |\n", r.first_reg, r.first_reg + 1u,
                        r.item_type, unsigned{r.first_item}, last_item(r), r.item_count - 1u);
        }
    }
}

void print_one_item(const Run* runs, size_t n) {
    std::printf("\n## One-item registers\n"
                "\n"
                "| Addresses | Numbers | Item type | Items | Value |\n"
                "|---|---|---|---|---|\n");
    for (size_t i = 0; i < n; ++i) {
        const Run& r = runs[i];
        if (r.item_count != 1)
            continue;
        std::printf("| 0x%04X-0x%04X | %u-%u | `%c` | %u-%u | %s |\n", r.first_reg, last_reg(r),
                    r.first_reg + 1u, last_reg(r) + 1u, r.item_type, unsigned{r.first_item},
                    last_item(r), value_width(r.item_type));
    }
}

void print_block_and_flag() {
    const unsigned block = REGS_BLOCK_START;
    const unsigned last = REGS_BLOCK_START + REGS_BLOCK_COUNT - 1;
    std::printf(
        "\n## Block registers 0x%04X-0x%04X\n"
        "\n"
        "The field device's block is read and written as a whole, and only by a request for\n"
        "exactly these %u registers: start address 0x%04X (number %u), quantity %u. Any other\n"
        "range that touches them treats them as registers without an item (reads 0, writes are\n"
        "ignored).\n"
        "\n"
        "| Address | Number | Block field | Read | Write |\n"
        "|---|---|---|---|---|\n"
        "| 0x%04X | %u | word | 16 bits | 16 bits |\n",
        block, last, REGS_BLOCK_COUNT, block, block + 1, REGS_BLOCK_COUNT, block, block + 1);
    for (unsigned k = 1; k < REGS_BLOCK_COUNT; ++k) {
        // The block write command carries neither byte 6 nor byte 7.
        const char* write = (k == 6 || k == 7) ? "not written (the value is ignored)"
                                               : "low 8 bits; the high 8 bits are dropped";
        std::printf("| 0x%04X | %u | byte %u | 0-255 | %s |\n", block + k, block + k + 1, k, write);
    }
    const unsigned flag = REGS_FLAG_REGISTER;
    std::printf(
        "\n## Flag register 0x%04X\n"
        "\n"
        "A function 16 write of exactly one register at address 0x%04X (number %u) sets the\n"
        "field device's flag: any non-zero value sets it to 1, the value 0 clears it. The\n"
        "flag cannot be read: reading the register gives 0 without asking the device.\n"
        "Any other write that touches it treats it as a register without an item.\n",
        flag, flag, flag + 1);
}

} // namespace

int main() {
    static Run runs[MAX_RUNS];
    const size_t n = group_runs(runs);
    if (!runs_match_lookup(runs, n)) {
        std::fprintf(stderr, "kovex4-regmap-doc: the grouped runs do not match the lookup\n");
        return 1;
    }
    print_intro();
    print_packed(runs, n);
    print_one_item(runs, n);
    print_block_and_flag();
    return 0;
}
