// SPDX-License-Identifier: Apache-2.0
#pragma once
// The push cycle: delivers the configured slots to a remote Modbus TCP server every data period,
// and any slot whose alarm register is non-zero every alarm period.
#include <array>
#include <cstdint>

#include "modbus/mbap.h"
#include "modbus/modbus.h"
#include "settings/settings.h"
#include "sys/tls.h"

inline constexpr int64_t PUSH_FIRST_DELAY = 60; // seconds from start-up to the first push
inline constexpr int PUSH_ANSWER_SECONDS = 10;  // budget for the answer to one slot
inline constexpr int PUSH_CONNECT_SECONDS = 5;  // budget for the connection to the remote server

// What the push cycles came to, counted from the start; fixed width, wrapping.
struct PushCounters {
    uint32_t cycles;    // cycles that had slots to deliver
    uint32_t succeeded; // ... and delivered every one, acknowledged
    uint32_t failed;    // ... and did not: no connection, a slot not read or not acknowledged
    uint32_t slots_acknowledged;
};

// Why a slot's range cannot be pushed.
enum class PushSlotFault : uint8_t {
    none,
    count_zero,    // COUNT 0
    count_too_big, // COUNT above MODBUS_MAX_WRITE: more than one push request carries
    start_zero,    // START 0: registers count from 1
    past_last,     // START - 1 + COUNT beyond register 65536
};
PushSlotFault push_slot_fault(uint32_t start, uint32_t count);

// The schedule runs on the monotonic clock, in seconds (wait_clock_us() / 1000000): a step of the
// time of day, such as NTP setting a clock without a battery right, neither stops nor hurries it.
struct PushState {
    int64_t next_data;
    int64_t next_alarm;
    uint32_t sendable; // bit i: slot i + 1 has a register range that can be pushed
    std::array<uint16_t, SETTINGS_SLOTS> alarm_values;
    MbapParser parser; // answers of the remote server
    PushCounters counters;
    // Over TLS (tls_wanted): the gateway's credentials, nullptr when the TLS files could not be
    // used; then nothing is pushed rather than pushed in the clear.
    bool tls_wanted = false;
    const TlsCredentials* tls = nullptr;
};

// Schedules the first push one minute after `now` (monotonic seconds) and reports slots that can
// never be sent.
void push_init(PushState& push, const Settings& settings, int64_t now);

// One chance to run: does nothing unless a period is due at `now` (monotonic seconds).
void push_cycle(PushState& push, const ModbusRegisters& registers, const Settings& settings,
                int64_t now);
