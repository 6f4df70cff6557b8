// SPDX-License-Identifier: Apache-2.0
#include "modbus/push_request.h"

namespace {

constexpr uint8_t PUSH_UNIT_ID = 1;

// The one push request of the process; a failed build leaves the previous one intact.
MbapFrame g_push_frame;

} // namespace

MbapFrame* modbus_build_write_request(const ModbusRegisters& registers, uint32_t start,
                                      uint32_t quantity) {
    if (quantity == 0 || quantity > MODBUS_MAX_WRITE) {
        return nullptr;
    }
    uint16_t values[MODBUS_MAX_WRITE];
    if (registers.read(registers.context, start, quantity, values) == 0) {
        return nullptr;
    }
    // Cleared in full so that nothing of a longer earlier request stays behind the new one;
    // transaction and protocol identifiers stay 0.
    g_push_frame = MbapFrame{};
    g_push_frame.length = 2 * quantity + 7;
    auto& body = g_push_frame.body;
    body[0] = PUSH_UNIT_ID;
    body[1] = MODBUS_WRITE_MULTIPLE;
    body[2] = static_cast<uint8_t>((start >> 8) & 0xFFu);
    body[3] = static_cast<uint8_t>(start & 0xFFu);
    body[4] = static_cast<uint8_t>((quantity >> 8) & 0xFFu);
    body[5] = static_cast<uint8_t>(quantity & 0xFFu);
    body[6] = static_cast<uint8_t>(2 * quantity);
    for (uint32_t i = 0; i < quantity; ++i) {
        body[7 + 2 * i] = static_cast<uint8_t>(values[i] >> 8);
        body[8 + 2 * i] = static_cast<uint8_t>(values[i] & 0xFFu);
    }
    return &g_push_frame;
}

int modbus_is_write_ack(const MbapFrame* frame) {
    // Only the shape is judged: the remote server's echo of address and quantity is not compared.
    if (frame == nullptr) {
        return 0;
    }
    return frame->length == 6 && frame->body[1] == MODBUS_WRITE_MULTIPLE ? 1 : 0;
}
