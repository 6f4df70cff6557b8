// SPDX-License-Identifier: Apache-2.0
#pragma once
// The push cycle: delivers the configured slots to a remote Modbus TCP server every data period,
// and any slot whose alarm register is non-zero every alarm period.
#include <array>
#include <cstdint>
#include <ctime>

#include "modbus/mbap.h"
#include "modbus/modbus.h"
#include "settings/settings.h"

inline constexpr time_t PUSH_FIRST_DELAY = 60; // seconds from start-up to the first push
inline constexpr int PUSH_ANSWER_SECONDS = 10; // budget for the answer to one slot
inline constexpr int PUSH_CONNECT_SECONDS = 5; // budget for the connection to the remote server

// What the push cycles came to, counted from the start; fixed width, wrapping.
struct PushCounters {
    uint32_t cycles;    // cycles that had slots to deliver
    uint32_t succeeded; // ... and delivered every one, acknowledged
    uint32_t failed;    // ... and did not: no connection, a slot not read or not acknowledged
    uint32_t slots_acknowledged;
};

struct PushState {
    time_t next_data;
    time_t next_alarm;
    uint32_t sendable; // bit i: slot i + 1 has a register range that can be pushed
    std::array<uint16_t, SETTINGS_SLOTS> alarm_values;
    MbapParser parser; // answers of the remote server
    PushCounters counters;
};

// Schedules the first push one minute after `now` and reports slots that can never be sent.
void push_init(PushState& push, const Settings& settings, time_t now);

// One chance to run: does nothing unless a period is due at `now`.
void push_cycle(PushState& push, const ModbusRegisters& registers, const Settings& settings,
                time_t now);
