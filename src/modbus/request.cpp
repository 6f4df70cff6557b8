// SPDX-License-Identifier: Apache-2.0
#include "modbus/request.h"

namespace {

// Unit id, function code, start and quantity: the bytes a function 3 request must carry.
constexpr uint32_t READ_REQUEST_LENGTH = 6;
// The same plus the byte count; the register values follow.
constexpr uint32_t WRITE_HEADER_LENGTH = 7;
// Unit id, function code, address and value.
constexpr uint32_t WRITE_SINGLE_LENGTH = 6;

uint32_t get_u16(const MbapFrame& frame, uint32_t pos) {
    return uint32_t{frame.body[pos]} << 8 | frame.body[pos + 1];
}

void put_u16(MbapFrame& frame, uint32_t pos, uint16_t value) {
    frame.body[pos] = static_cast<uint8_t>(value >> 8);
    frame.body[pos + 1] = static_cast<uint8_t>(value & 0xFFu);
}

void handle_read(const ModbusRegisters& registers, MbapFrame& frame) {
    // Both fields are taken before the response overwrites their positions.
    const uint32_t start = get_u16(frame, 2);
    const uint32_t quantity = get_u16(frame, 4);
    if (quantity == 0 || quantity > MODBUS_MAX_READ) {
        modbus_exception(frame, MODBUS_ILLEGAL_DATA_VALUE);
        return;
    }
    // A frame too short to carry start and quantity would have them taken from whatever an
    // earlier frame left in the record: refuse it instead of reading registers never named.
    if (frame.length < READ_REQUEST_LENGTH) {
        modbus_exception(frame, MODBUS_ILLEGAL_DATA_VALUE);
        return;
    }
    uint16_t values[MODBUS_MAX_READ];
    if (registers.read(registers.context, start, quantity, values) == 0) {
        modbus_exception(frame, MODBUS_DEVICE_FAILURE);
        return;
    }
    frame.length = 2 * quantity + 3;
    frame.body[2] = static_cast<uint8_t>(2 * quantity);
    for (uint32_t i = 0; i < quantity; ++i) {
        put_u16(frame, 3 + 2 * i, values[i]);
    }
}

void handle_write(const ModbusRegisters& registers, MbapFrame& frame) {
    const uint32_t start = get_u16(frame, 2);
    const uint32_t quantity = get_u16(frame, 4);
    const uint32_t byte_count = frame.body[6];
    if (quantity == 0 || quantity > MODBUS_MAX_WRITE) {
        modbus_exception(frame, MODBUS_ILLEGAL_DATA_VALUE);
        return;
    }
    if (byte_count != 2 * quantity) {
        modbus_exception(frame, MODBUS_ILLEGAL_DATA_VALUE);
        return;
    }
    // Every value byte must have come with this frame; otherwise bytes left over from earlier
    // traffic would be written to the field device. Surplus bytes are allowed.
    if (frame.length < WRITE_HEADER_LENGTH + byte_count) {
        modbus_exception(frame, MODBUS_ILLEGAL_DATA_VALUE);
        return;
    }
    uint16_t values[MODBUS_MAX_WRITE];
    for (uint32_t i = 0; i < quantity; ++i) {
        values[i] = static_cast<uint16_t>(get_u16(frame, 7 + 2 * i));
    }
    if (registers.write(registers.context, start, quantity, values) == 0) {
        modbus_exception(frame, MODBUS_DEVICE_FAILURE);
        return;
    }
    // body[0..5] still hold unit id, function code, start and quantity as received.
    frame.length = 6;
}

// Function 6: one register written through the same translation as function 16, answered with
// the request itself.
void handle_write_single(const ModbusRegisters& registers, MbapFrame& frame) {
    if (frame.length < WRITE_SINGLE_LENGTH) {
        modbus_exception(frame, MODBUS_ILLEGAL_DATA_VALUE);
        return;
    }
    const uint16_t value = static_cast<uint16_t>(get_u16(frame, 4));
    if (registers.write(registers.context, get_u16(frame, 2), 1, &value) == 0) {
        modbus_exception(frame, MODBUS_DEVICE_FAILURE);
        return;
    }
    frame.length = WRITE_SINGLE_LENGTH;
}

} // namespace

void modbus_exception(MbapFrame& frame, uint8_t code) {
    frame.body[1] |= 0x80u;
    frame.body[2] = code;
    frame.length = 3;
}

MbapFrame& modbus_handle_request(const ModbusRegisters& registers, MbapFrame& frame,
                                 uint32_t options) {
    const uint8_t function = frame.body[1];
    if ((options & MODBUS_READ_ONLY) != 0 &&
        (function == MODBUS_WRITE_MULTIPLE || function == MODBUS_WRITE_SINGLE)) {
        modbus_exception(frame, MODBUS_ILLEGAL_FUNCTION);
        return frame;
    }
    if (function == MODBUS_WRITE_SINGLE && (options & MODBUS_SERVE_WRITE_SINGLE) != 0) {
        handle_write_single(registers, frame);
        return frame;
    }
    switch (function) {
    case MODBUS_READ_HOLDING:
        handle_read(registers, frame);
        break;
    case MODBUS_WRITE_MULTIPLE:
        handle_write(registers, frame);
        break;
    default:
        // Includes codes that already have bit 7 set: they go back unchanged.
        modbus_exception(frame, MODBUS_ILLEGAL_FUNCTION);
        break;
    }
    return frame;
}
