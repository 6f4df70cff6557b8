// SPDX-License-Identifier: Apache-2.0
#pragma once
// The five field-device commands, each one dev_transact exchange. 1 on success, 0 on failure;
// on failure the outputs are left untouched.
#include <array>
#include <cstdint>

#include "device/link.h"

inline constexpr uint8_t DEV_CMD_READ_ITEMS = 0x00;
inline constexpr uint8_t DEV_CMD_WRITE_ITEMS = 0x01;
inline constexpr uint8_t DEV_CMD_WRITE_FLAG = 0x10;
inline constexpr uint8_t DEV_CMD_READ_BLOCK = 0x20;
inline constexpr uint8_t DEV_CMD_WRITE_BLOCK = 0x21;

inline constexpr uint8_t DEV_TYPE_I = 0x69; // 'i': 16 bits both ways
inline constexpr uint8_t DEV_TYPE_A = 0x61; // 'a': 16 bits read, low byte written

struct DevItem {
    uint8_t type;
    uint8_t number;
    uint16_t value;
};

struct DevBlock {
    uint16_t word;
    std::array<uint8_t, 9> byte; // byte[1] ... byte[8]; byte[0] is unused
};

int dev_read_items(DevLine& line, int station, int count, DevItem* items);
int dev_write_items(DevLine& line, int station, int count, const DevItem* items);
int dev_read_block(DevLine& line, int station, DevBlock& block);
int dev_write_block(DevLine& line, int station, const DevBlock& block);
int dev_write_flag(DevLine& line, int station, int flag);
