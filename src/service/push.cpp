// SPDX-License-Identifier: Apache-2.0
#include "service/push.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "modbus/push_request.h"
#include "sys/deadline.h"
#include "sys/log.h"
#include "sys/notify.h"
#include "sys/sockets.h"

namespace {

constexpr uint32_t ALL_SLOTS = (1u << SETTINGS_SLOTS) - 1;
constexpr int64_t SECOND_US = 1000000;
// Reads of a receiver's bytes in one step (16 KiB): enough to keep up with a fast sender, few
// enough that the other handlers wait for no more than a moment.
constexpr int ANSWER_READS = 64;

// Advances a schedule that is due: by one period, or to `now` when it has fallen a whole period
// behind (missed periods are not repeated).
int64_t next_due(int64_t due, uint32_t period, int64_t now) {
    const int64_t next = due + int64_t{period};
    return next > now ? next : now;
}

// What a step came to: the cycle waits (for a descriptor or a time), goes on at once, or has used
// the serial line and goes on after the loop's other handlers have had their turn.
enum class Next : uint8_t { wait, go_on, device };

Next end_cycle(PushState& push, Next next = Next::wait) {
    push.step = PushStep::idle;
    ++push.counters.failed;
    return next;
}

// Idle: a cycle begins when a period is due; the schedule moves on before anything is sent, so
// a failed cycle is not retried early.
Next start_cycle(PushState& push, const Settings& settings, int64_t now) {
    const bool data_due = settings.data_period != 0 && now >= push.next_data;
    const bool alarm_due = settings.alarm_period != 0 && now >= push.next_alarm;
    if (data_due)
        push.next_data = next_due(push.next_data, settings.data_period, now);
    if (alarm_due)
        push.next_alarm = next_due(push.next_alarm, settings.alarm_period, now);
    if (!data_due && !alarm_due)
        return Next::wait;
    push.mask = data_due ? ALL_SLOTS : 0;
    push.alarm_values = {};
    push.slot = 0;
    push.step = PushStep::scan;
    return Next::go_on;
}

// The alarm registers, one read a step; then the receiver's name, when a slot is due.
Next scan_alarms(PushState& push, const ModbusRegisters& registers, const Settings& settings) {
    while (push.slot < SETTINGS_SLOTS) {
        const int i = push.slot++;
        if (settings.alarm[i] == 0)
            continue;
        uint16_t value = 0;
        if (registers.read(registers.context, settings.alarm[i] - 1, 1, &value) && value != 0) {
            push.alarm_values[i] = value;
            push.mask |= 1u << i;
        }
        return Next::device;
    }
    if (push.mask == 0) {
        push.step = PushStep::idle;
        return Next::wait;
    }
    ++push.counters.cycles;
    // The watchdog hears of each step of a cycle that can take long: the alarm scan done, and
    // each slot before it is sent.
    notify_watchdog(wait_clock_us());
    push.step = PushStep::resolve;
    push.address = 0;
    return resolve_start(push.lookup, settings.ipaddr.c_str()) == 0 ? Next::wait : Next::go_on;
}

// The name looked up: the connection is begun.
Next look_up(PushState& push, const LoopWatch& ready, int64_t now, const Settings& settings) {
    const int found = push.lookup.status != 0
                          ? push.lookup.status
                          : resolve_continue(push.lookup, ready.readable, ready.writable);
    if (found == 0)
        return Next::wait;
    // Without the TLS client configuration nothing is pushed rather than pushed in the clear.
    if (found < 0 || (push.tls_wanted && push.tls == nullptr))
        return end_cycle(push);
    push.address = push.lookup.address;
    push.sock = socket_connect_start(push.address, settings.port);
    if (push.sock < 0)
        return end_cycle(push);
    push.due_us = now + int64_t{PUSH_CONNECT_SECONDS} * SECOND_US;
    push.step = PushStep::connect;
    return Next::wait;
}

// The handshake with the remote server failed: logged, and the cycle closes its connection.
Next handshake_failed(PushState& push, const Settings& settings, const char* why = nullptr) {
    char reason[TLS_REASON_SIZE];
    if (why != nullptr)
        std::snprintf(reason, sizeof reason, "%s", why);
    else
        tls_reason(push.session, reason, sizeof reason);
    log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", settings.ipaddr.c_str(), reason);
    push.delivered = false;
    push.step = PushStep::close;
    return Next::go_on;
}

// The connection made within its budget; over TLS the handshake begins.
Next finish_connect(PushState& push, const LoopWatch& ready, int64_t now,
                    const Settings& settings) {
    const bool ended = loop_fd_ready(ready, push.sock, true);
    if (!ended && now < push.due_us)
        return Next::wait;
    if (!socket_connect_finish(push.sock, !ended)) {
        push.sock = -1;
        return end_cycle(push);
    }
    log_msg(LOG_NOTICE, "TCP connection to %s established", settings.ipaddr.c_str());
    mbap_reset(push.parser);
    push.delivered = true;
    push.slot = 0;
    push.step = PushStep::read;
    if (!push.tls_wanted)
        return Next::go_on;
    // The receiver's certificate must chain to the authority, and carry the setting: its name
    // (as the library checks it), or when it is a dotted address, that address as an iPAddress
    // subject alternative name.
    uint32_t dotted = 0;
    const bool by_address = settings_parse_ipaddr(settings.ipaddr.c_str(), dotted) != 0;
    push.step = PushStep::handshake;
    push.want_write = false;
    push.due_us = now + int64_t{PUSH_CONNECT_SECONDS} * SECOND_US;
    if (!tls_session_open(push.session, push.tls->client, push.sock,
                          by_address ? nullptr : settings.ipaddr.c_str()))
        return handshake_failed(push, settings, "out of memory");
    return Next::go_on;
}

Next handshake(PushState& push, int64_t now, const Settings& settings) {
    int step = tls_handshake_step(push.session, push.want_write);
    // At the end of its budget the handshake is given up as the library words it (a handshake
    // with a deadline already passed only looks once more).
    if (step == 0 && now >= push.due_us)
        step = tls_handshake_until(push.session, 0) != 0 ? 1 : -1;
    if (step == 0)
        return Next::wait;
    uint32_t dotted = 0;
    if (step < 0 || (settings_parse_ipaddr(settings.ipaddr.c_str(), dotted) &&
                     !tls_check_peer_address(push.session, push.address)))
        return handshake_failed(push, settings);
    log_msg(LOG_NOTICE, "TLS connection to %s established", settings.ipaddr.c_str());
    push.step = PushStep::read;
    return Next::go_on;
}

// The slot of the cycle is done with: on to the next.
Next next_slot(PushState& push, bool delivered) {
    push.delivered = push.delivered && delivered;
    ++push.slot;
    push.step = PushStep::read;
    return Next::go_on;
}

// Slot i's registers read from the device into its request; a slot whose range can never be
// sent is a setting, not a failure of this cycle.
Next read_slot(PushState& push, const ModbusRegisters& registers, const Settings& settings) {
    while (push.slot < SETTINGS_SLOTS && (push.mask & (1u << push.slot)) == 0)
        ++push.slot;
    if (push.slot == SETTINGS_SLOTS) {
        push.step = PushStep::close;
        return Next::go_on;
    }
    const int i = push.slot;
    if ((push.sendable & (1u << i)) == 0)
        return next_slot(push, true);
    notify_watchdog(wait_clock_us());
    const MbapFrame* request =
        modbus_build_write_request(registers, settings.start[i] - 1, settings.count[i]);
    if (request == nullptr) {
        next_slot(push, false);
        return Next::device;
    }
    push.output_end = mbap_serialize(*request, push.output.data());
    push.output_next = 0;
    push.due_us = 0;
    push.step = PushStep::send;
    return Next::device;
}

// The request goes out as the socket has room; the slot's budget runs from its first try. A
// failed send shows as a missing answer.
Next send_request(PushState& push, int64_t now) {
    if (push.due_us == 0)
        push.due_us = now + int64_t{PUSH_ANSWER_SECONDS} * SECOND_US;
    else if (now >= push.due_us)
        return next_slot(push, false);
    const uint8_t* data = push.output.data() + push.output_next;
    const size_t size = static_cast<size_t>(push.output_end - push.output_next);
    bool sent = false;
    if (push.tls_wanted) {
        const int n = tls_send_now(push.session, data, size);
        sent = n != 0;
    } else {
        const ssize_t n = socket_send_now(push.sock, data, size);
        push.output_next = n < 0 ? push.output_end : push.output_next + static_cast<int32_t>(n);
        sent = push.output_next == push.output_end;
    }
    if (!sent)
        return Next::wait;
    push.step = PushStep::answer;
    return Next::go_on;
}

// The answer, read 256 bytes at a time, at most ANSWER_READS reads a step, until its budget
// ends: a receiver that keeps sending bytes that make no answer holds the cycle no longer than
// one that sends nothing, and the loop's other handlers have their turn between two steps.
Next read_answer(PushState& push, const LoopWatch& ready, int64_t now, const Settings& settings) {
    if (now >= push.due_us)
        return next_slot(push, false);
    if (!loop_fd_ready(ready, push.sock) && !(push.tls_wanted && tls_pending(push.session)))
        return Next::wait;
    const MbapFrame* answer = nullptr;
    for (int reads = 0; answer == nullptr && reads < ANSWER_READS; ++reads) {
        uint8_t buffer[256];
        const ssize_t n = push.tls_wanted ? tls_recv(push.session, buffer, sizeof buffer)
                                          : recv(push.sock, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return Next::wait; // nothing more yet, or a record not complete yet
        if (n < 0 && push.tls_wanted && push.session.failure == TlsFailure::alert) {
            // Over TLS 1.3 the receiver judges the gateway's certificate after the gateway's part
            // of the handshake: its refusal comes instead of the first answer.
            char reason[TLS_REASON_SIZE];
            tls_reason(push.session, reason, sizeof reason);
            log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", settings.ipaddr.c_str(),
                    reason);
        }
        if (n <= 0)
            return next_slot(push, false);
        const uint8_t* next = buffer;
        int32_t left = static_cast<int32_t>(n);
        // Bytes after a completed answer in the same read are dropped.
        answer = mbap_parse(push.parser, next, left);
    }
    if (answer == nullptr)
        return Next::wait;
    if (!modbus_is_write_ack(answer))
        return next_slot(push, false);
    ++push.counters.slots_acknowledged;
    const int i = push.slot;
    if (push.alarm_values[i] == 0 || settings.alarm[i] == 0)
        return next_slot(push, true);
    push.step = PushStep::clear;
    return Next::go_on;
}

Next clear_alarm(PushState& push, const ModbusRegisters& registers, const Settings& settings) {
    const int i = push.slot;
    push.alarm_values[i] = 0;
    const uint16_t zero = 0;
    registers.write(registers.context, settings.alarm[i] - 1, 1, &zero);
    next_slot(push, true);
    return Next::device;
}

Next close_connection(PushState& push) {
    tls_session_close(push.session);
    socket_close(push.sock);
    push.sock = -1;
    log_msg(LOG_NOTICE, "TCP connection closed");
    ++(push.delivered ? push.counters.succeeded : push.counters.failed);
    push.step = PushStep::idle;
    return Next::wait;
}

Next take_step(PushState& push, const LoopWatch& ready, int64_t now,
               const ModbusRegisters& registers, const Settings& settings) {
    switch (push.step) {
    case PushStep::idle:
        return start_cycle(push, settings, now / SECOND_US);
    case PushStep::scan:
        return scan_alarms(push, registers, settings);
    case PushStep::resolve:
        return look_up(push, ready, now, settings);
    case PushStep::connect:
        return finish_connect(push, ready, now, settings);
    case PushStep::handshake:
        return handshake(push, now, settings);
    case PushStep::read:
        return read_slot(push, registers, settings);
    case PushStep::send:
        return send_request(push, now);
    case PushStep::answer:
        return read_answer(push, ready, now, settings);
    case PushStep::clear:
        return clear_alarm(push, registers, settings);
    case PushStep::close:
        return close_connection(push);
    }
    return Next::wait;
}

} // namespace

PushSlotFault push_slot_fault(uint32_t start, uint32_t count) {
    // START 0 would wrap to an empty range (values never read) and a range past 65536 would go
    // out with its address cut to 16 bits.
    if (count == 0)
        return PushSlotFault::count_zero;
    if (count > MODBUS_MAX_WRITE)
        return PushSlotFault::count_too_big;
    if (start == 0)
        return PushSlotFault::start_zero;
    if (uint64_t{start} - 1 + count > 0x10000)
        return PushSlotFault::past_last;
    return PushSlotFault::none;
}

void push_init(PushState& push, const Settings& settings, int64_t now) {
    push.next_data = now + PUSH_FIRST_DELAY;
    push.next_alarm = now + PUSH_FIRST_DELAY;
    push.sendable = 0;
    push.alarm_values = {};
    push.counters = {};
    push.step = PushStep::idle;
    mbap_reset(push.parser);
    for (int i = 0; i < SETTINGS_SLOTS; ++i) {
        const uint32_t start = settings.start[i];
        const uint32_t count = settings.count[i];
        const PushSlotFault fault = push_slot_fault(start, count);
        if (fault == PushSlotFault::none) {
            push.sendable |= 1u << i;
        } else if (!settings.ipaddr.empty() &&
                   (fault == PushSlotFault::start_zero || fault == PushSlotFault::past_last)) {
            log_msg(LOG_NOTICE,
                    "slot %d is not pushed: START %u with COUNT %u is outside registers 1 to 65536",
                    i + 1, start, count);
        }
    }
}

void push_watch(const PushState& push, LoopWatch& watch, int64_t now_us) {
    switch (push.step) {
    case PushStep::idle:
        return;
    case PushStep::resolve:
        loop_watch_lookup(watch, push.lookup, now_us);
        return;
    case PushStep::connect:
        loop_watch_fd(watch, push.sock, true);
        break;
    case PushStep::handshake:
        loop_watch_fd(watch, push.sock, push.want_write);
        break;
    case PushStep::send:
        loop_watch_fd(watch, push.sock, true);
        break;
    case PushStep::answer:
        loop_watch_fd(watch, push.sock);
        // Bytes a TLS session holds already are not seen by select.
        if (push.tls_wanted && tls_pending(push.session))
            loop_wake_by(watch, now_us);
        break;
    case PushStep::scan:
    case PushStep::read:
    case PushStep::clear:
    case PushStep::close:
        loop_wake_by(watch, now_us);
        return;
    }
    loop_wake_by(watch, push.due_us);
}

void push_run(PushState& push, const LoopWatch& ready, int64_t now_us,
              const ModbusRegisters& registers, const Settings& settings) {
    if (settings.ipaddr.empty())
        return;
    Next next = Next::go_on;
    while (next == Next::go_on)
        next = take_step(push, ready, now_us, registers, settings);
}
