// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the MQTT publisher sends, as bytes: a slot's values in JSON, or the Sparkplug B payloads
// (birth, data, death certificates) encoded with protobuf-c, and the one command it reads
// ("Node Control/Rebirth"). Pure functions into the caller's fixed buffers.
#include <array>
#include <cstddef>
#include <cstdint>

#include "service/outbox.h"
#include "settings/settings.h"

// "2024-05-01T12:00:00.123Z" for `ms` since 1970 (UTC), into `out` (25 bytes with the NUL).
inline constexpr size_t PAYLOAD_UTC_SIZE = 25;
void payload_utc(int64_t ms, char* out);

// The JSON object of one message:
//   {"slot":1,"start":1025,"time":"...","values":[11,22]}
// with ,"alarm":N before the closing brace when the slot went out with its alarm register
// non-zero. Its length, or 0 when it does not fit `size` (PAYLOAD_JSON_MAX always does).
inline constexpr size_t PAYLOAD_JSON_MAX = 128 + 6 * OUTBOX_MAX_VALUES;
size_t payload_json(const OutboxMessage& message, char* out, size_t size);

// Sparkplug B metric data types the gateway uses.
inline constexpr uint32_t SPB_UINT16 = 6;
inline constexpr uint32_t SPB_UINT64 = 8;
inline constexpr uint32_t SPB_BOOLEAN = 11;
// Room for the largest payload: a birth certificate of five full slots.
inline constexpr size_t PAYLOAD_SPB_MAX = 32 * 1024;

// The node's metrics as its birth certificate declares them: what the slots are and the values
// last read (a register never read yet is declared without a value).
struct SparkplugNode {
    std::array<uint32_t, SETTINGS_SLOTS> start{}; // 1-based; a slot with count 0 has no metrics
    std::array<uint16_t, SETTINGS_SLOTS> count{};
    std::array<bool, SETTINGS_SLOTS> has_alarm{};
    std::array<bool, SETTINGS_SLOTS> known{}; // values below were read
    std::array<std::array<uint16_t, OUTBOX_MAX_VALUES>, SETTINGS_SLOTS> values{};
    std::array<uint16_t, SETTINGS_SLOTS> alarm{};
};

// The metric name of a slot's register ("Slot 1/Register 1025") or alarm ("Slot 1/Alarm").
void payload_spb_register_name(uint8_t slot, uint32_t reg, char* out, size_t size);
// NBIRTH: bdSeq, "Node Control/Rebirth" and every slot's registers (and alarm), seq as given.
size_t payload_spb_birth(const SparkplugNode& node, uint64_t bd_seq, uint64_t seq, int64_t now_ms,
                         uint8_t* out, size_t size);
// NDATA of one message: its registers (and alarm) with the read time; `historical` marks values
// that waited in the queue.
size_t payload_spb_data(const OutboxMessage& message, uint64_t seq, bool historical, uint8_t* out,
                        size_t size);
// NDEATH: bdSeq alone.
size_t payload_spb_death(uint64_t bd_seq, uint8_t* out, size_t size);
// True when an NCMD payload sets "Node Control/Rebirth" to true. Payloads above 4096 bytes or
// that do not decode are not commands.
bool payload_spb_rebirth(const uint8_t* data, size_t size);
