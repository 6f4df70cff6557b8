// SPDX-License-Identifier: Apache-2.0
#pragma once
// Serving the requests of a Modbus TCP client.
#include "modbus/mbap.h"
#include "modbus/modbus.h"

// Functions served beyond 3 and 16, chosen by the settings.
inline constexpr uint32_t MODBUS_SERVE_WRITE_SINGLE = 1; // function 6
// No client writes: functions 16 and 6 are answered with exception 1 and write nothing.
inline constexpr uint32_t MODBUS_READ_ONLY = 2;

// Executes the request in `frame` on `registers` and rewrites it into the response. `options`:
// MODBUS_SERVE_* bits; without them every function but 3 and 16 is answered with exception 1.
MbapFrame& modbus_handle_request(const ModbusRegisters& registers, MbapFrame& frame,
                                 uint32_t options = 0);
void modbus_exception(MbapFrame& frame, uint8_t code);
