#pragma once
// Serving function 3 and 16 requests, and the push request sent to a remote server.
#include <cstdint>

#include "modbus/mbap.h"

inline constexpr uint8_t MODBUS_READ_HOLDING = 3;
inline constexpr uint8_t MODBUS_WRITE_MULTIPLE = 16;
inline constexpr uint8_t MODBUS_ILLEGAL_FUNCTION = 1;
inline constexpr uint8_t MODBUS_ILLEGAL_DATA_VALUE = 3;
inline constexpr uint8_t MODBUS_DEVICE_FAILURE = 4;

// Executes the request in `frame` against the field device and rewrites it into the response.
MbapFrame& modbus_handle_request(int serial_fd, int station, MbapFrame& frame);
void modbus_exception(MbapFrame& frame, uint8_t code);

// Reads `quantity` registers from `start` (0-based) and builds the function 16 push request in
// one static frame; nullptr (frame untouched) when quantity is not 1..123 or the read fails.
MbapFrame* modbus_build_write_request(int serial_fd, int station, uint32_t start,
                                      uint32_t quantity);
// 1 when `frame` is an acknowledgement of a function 16 request.
int modbus_is_write_ack(const MbapFrame* frame);
