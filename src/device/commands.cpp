// SPDX-License-Identifier: Apache-2.0
// The five field-device commands: how item lists and the block travel, and which replies count.
#include "device/commands.h"

#include "device/link.h"

namespace {

// A read of items needs 1 + 3 * count data bytes.
constexpr int MAX_READ_ITEMS = (DEV_MAX_DATA - 1) / 3;

DevRequest make_request(int station, uint8_t command) {
    DevRequest request{};
    request.station = static_cast<uint8_t>(station & 0xFF);
    request.frame_class = DEV_CLASS_LONG;
    request.command = command;
    return request;
}

// Judges a reply the command did get: 1 when `accepted`, otherwise counted as a NAK or as a reply
// that does not fit the command.
int judge(DevLine& line, const DevReply& reply, bool accepted) {
    if (accepted)
        return 1;
    if (reply.code == DEV_NAK)
        ++line.counters.naks;
    else
        ++line.counters.rejected;
    return 0;
}

// One exchange whose only accepted answer is an ACK.
int transact_acked(DevLine& line, const DevRequest& request) {
    DevReply reply;
    if (dev_transact(line, request, reply) != 1)
        return 0;
    return judge(line, reply, reply.code == DEV_ACK);
}

} // namespace

int dev_read_items(DevLine& line, int station, int count, DevItem* items) {
    if (count < 0 || count > MAX_READ_ITEMS) {
        return 0;
    }
    DevRequest request = make_request(station, DEV_CMD_READ_ITEMS);
    size_t n = 0;
    request.data[n++] = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) {
        request.data[n++] = items[i].type;
        request.data[n++] = items[i].number;
        request.data[n++] = 0x00;
    }
    request.data_len = static_cast<uint8_t>(n);

    DevReply reply;
    if (dev_transact(line, request, reply) != 1 ||
        !judge(line, reply, reply.code == DEV_DATA_FOLLOWS && reply.data[0] == count)) {
        return 0;
    }
    // Values are taken in list order; bytes beyond the received data read as the cleared reply.
    size_t pos = 1;
    for (int i = 0; i < count; ++i) {
        if (items[i].type == DEV_TYPE_I || items[i].type == DEV_TYPE_A) {
            items[i].value = static_cast<uint16_t>(reply.data[pos] | (reply.data[pos + 1] << 8));
            pos += 2;
        } else {
            items[i].value = reply.data[pos];
            pos += 1;
        }
    }
    return 1;
}

int dev_write_items(DevLine& line, int station, int count, const DevItem* items) {
    if (count < 0) {
        return 0;
    }
    size_t need = 1;
    for (int i = 0; i < count; ++i) {
        need += items[i].type == DEV_TYPE_I ? 5 : 4;
        if (need > DEV_MAX_DATA) {
            return 0;
        }
    }
    DevRequest request = make_request(station, DEV_CMD_WRITE_ITEMS);
    size_t n = 0;
    request.data[n++] = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) {
        request.data[n++] = items[i].type;
        request.data[n++] = items[i].number;
        request.data[n++] = 0x00;
        request.data[n++] = static_cast<uint8_t>(items[i].value & 0xFF);
        if (items[i].type == DEV_TYPE_I) {
            request.data[n++] = static_cast<uint8_t>(items[i].value >> 8);
        }
    }
    request.data_len = static_cast<uint8_t>(n);
    return transact_acked(line, request);
}

int dev_read_block(DevLine& line, int station, DevBlock& block) {
    DevRequest request = make_request(station, DEV_CMD_READ_BLOCK);
    DevReply reply;
    if (dev_transact(line, request, reply) != 1 ||
        !judge(line, reply, reply.code == DEV_DATA_FOLLOWS && reply.data_len == 10)) {
        return 0;
    }
    block.word = static_cast<uint16_t>(reply.data[0] | (reply.data[1] << 8));
    for (size_t k = 1; k <= 8; ++k) {
        block.byte[k] = reply.data[k + 1];
    }
    return 1;
}

int dev_write_block(DevLine& line, int station, const DevBlock& block) {
    DevRequest request = make_request(station, DEV_CMD_WRITE_BLOCK);
    // byte[6] and byte[7] are never sent: byte[8] follows byte[5] directly.
    const uint8_t data[8] = {static_cast<uint8_t>(block.word & 0xFF),
                             static_cast<uint8_t>(block.word >> 8),
                             block.byte[1],
                             block.byte[2],
                             block.byte[3],
                             block.byte[4],
                             block.byte[5],
                             block.byte[8]};
    for (size_t i = 0; i < sizeof data; ++i) {
        request.data[i] = data[i];
    }
    request.data_len = sizeof data;
    return transact_acked(line, request);
}

int dev_write_flag(DevLine& line, int station, int flag) {
    DevRequest request = make_request(station, DEV_CMD_WRITE_FLAG);
    request.data[0] = flag != 0 ? 0x01 : 0x00;
    request.data_len = 1;
    return transact_acked(line, request);
}
