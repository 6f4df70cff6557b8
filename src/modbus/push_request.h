// SPDX-License-Identifier: Apache-2.0
#pragma once
// The function 16 request that pushes a register range to a remote Modbus TCP server, and the
// judgement of its answer.
#include "modbus/mbap.h"
#include "modbus/modbus.h"

// Reads `quantity` registers from `start` (0-based) and builds the push request in one static
// frame; nullptr (frame untouched) when quantity is not 1..MODBUS_MAX_WRITE or the read fails.
MbapFrame* modbus_build_write_request(const ModbusRegisters& registers, uint32_t start,
                                      uint32_t quantity);
// 1 when `frame` is an acknowledgement of a function 16 request.
int modbus_is_write_ack(const MbapFrame* frame);
