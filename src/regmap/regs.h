// SPDX-License-Identifier: Apache-2.0
#pragma once
// Register ranges to device commands and back.
#include <cstdint>

#include "device/link.h"

inline constexpr uint32_t REGS_BLOCK_START = 0x0600;
inline constexpr uint32_t REGS_BLOCK_COUNT = 9;
inline constexpr uint32_t REGS_FLAG_REGISTER = 0x0800;
inline constexpr int REGS_BATCH_ITEMS = 49;

// The register after the last of those from `start` (below `end`) that go out in the same device
// request as `start`; `end` when all do. A register is never split between two requests.
uint32_t regs_batch_end(uint32_t start, uint32_t end);

// 1 when every device request succeeded (or none was needed), 0 otherwise.
int regs_read(DevLine& line, int station, uint32_t start, uint32_t quantity, uint16_t* values);
int regs_write(DevLine& line, int station, uint32_t start, uint32_t quantity,
               const uint16_t* values);
