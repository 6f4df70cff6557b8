// SPDX-License-Identifier: Apache-2.0
#pragma once
// The push cycle, a handler of the service's loop (service/loop.h): delivers the configured slots
// to a remote Modbus TCP server every data period, and any slot whose alarm register is non-zero
// every alarm period. A cycle goes step by step, each step taken when what it waits for is ready
// (the name lookup, the connection, the TLS handshake, room to send, each slot's answer), so that
// the masters are served meanwhile; a step uses the serial line at most once (one alarm register
// read, one slot's read or one alarm cleared), between the masters' requests.
#include <array>
#include <cstdint>

#include "modbus/mbap.h"
#include "modbus/modbus.h"
#include "service/loop.h"
#include "settings/settings.h"
#include "sys/resolve.h"
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

// Where a cycle is: idle between cycles, then reading the alarm registers, looking up the
// receiver's name, connecting, the TLS handshake, and for each slot of the cycle its read, its
// request going out, its answer and the clearing of its alarm; then the connection is closed.
enum class PushStep : uint8_t {
    idle,
    scan,
    resolve,
    connect,
    handshake,
    read,
    send,
    answer,
    clear,
    close
};

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

    // The cycle under way: its step, its slots (bit i: slot i + 1), the slot or alarm register
    // of the step, whether every slot so far was delivered, and when the step's budget ends (the
    // connection, the handshake, a slot's answer; 0: from its first try on).
    PushStep step = PushStep::idle;
    uint32_t mask = 0;
    int slot = 0;
    bool delivered = false;
    int64_t due_us = 0;
    ResolveLookup lookup;
    uint32_t address = 0; // the receiver's, host byte order
    int sock = -1;
    // Over TLS the session on `sock` (it must stay where it is while open), and whether its
    // handshake waits for room to send.
    TlsSession session{};
    bool want_write = false;
    // A slot's request, output[output_next .. output_end) not sent yet.
    std::array<uint8_t, MBAP_MAX_WIRE> output;
    int32_t output_next = 0;
    int32_t output_end = 0;
};

// Schedules the first push one minute after `now` (monotonic seconds) and reports slots that can
// never be sent.
void push_init(PushState& push, const Settings& settings, int64_t now);

// What the cycle under way waits for: the name lookup's sockets, the connection, room to send,
// an answer, and when its budget ends; a step that waits for nothing asks to go on at once. Idle,
// nothing: the loop turns at least once a second, and the schedule counts whole seconds.
void push_watch(const PushState& push, LoopWatch& watch, int64_t now_us);
// Takes the cycle as far as it can go at `now_us` (monotonic microseconds) with what is ready,
// using the serial line through `registers` at most once; idle, starts a cycle when a period is
// due. Does nothing without MOD_KOVEX4_IPADDR.
void push_run(PushState& push, const LoopWatch& ready, int64_t now_us,
              const ModbusRegisters& registers, const Settings& settings);
// Whether a cycle is under way.
inline bool push_busy(const PushState& push) {
    return push.step != PushStep::idle;
}
