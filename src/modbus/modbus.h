// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the Modbus layer shares: function and exception codes, and the holding registers it
// serves and pushes. The registers are reached through two functions, so the layer itself never
// touches a device: the gateway binds them to the field device over the serial line, tests and
// fuzz targets to a store in memory.
#include <cstdint>

inline constexpr uint8_t MODBUS_READ_HOLDING = 3;
inline constexpr uint8_t MODBUS_WRITE_SINGLE = 6;
inline constexpr uint8_t MODBUS_WRITE_MULTIPLE = 16;
// The most registers one request may read (function 3) or write (functions 16 and 6 and the
// push): what fits a frame of 256 bytes.
inline constexpr uint32_t MODBUS_MAX_READ = 125;
inline constexpr uint32_t MODBUS_MAX_WRITE = 123;
inline constexpr uint8_t MODBUS_ILLEGAL_FUNCTION = 1;
inline constexpr uint8_t MODBUS_ILLEGAL_DATA_VALUE = 3;
inline constexpr uint8_t MODBUS_DEVICE_FAILURE = 4;

struct ModbusRegisters {
    // `quantity` registers from `start` (0-based): 1 when all were transferred, 0 when not.
    int (*read)(void* context, uint32_t start, uint32_t quantity, uint16_t* values);
    int (*write)(void* context, uint32_t start, uint32_t quantity, const uint16_t* values);
    void* context;
};
