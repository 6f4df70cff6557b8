#pragma once
// Serving the requests of a Modbus TCP client.
#include "modbus/mbap.h"
#include "modbus/modbus.h"

// Executes the request in `frame` on `registers` and rewrites it into the response.
MbapFrame& modbus_handle_request(const ModbusRegisters& registers, MbapFrame& frame);
void modbus_exception(MbapFrame& frame, uint8_t code);
