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

// Advances a schedule that is due: by one period, or to `now` when it has fallen a whole period
// behind (missed periods are not repeated).
int64_t next_due(int64_t due, uint32_t period, int64_t now) {
    const int64_t next = due + int64_t{period};
    return next > now ? next : now;
}

uint32_t scan_alarms(PushState& push, const ModbusRegisters& registers, const Settings& settings) {
    uint32_t mask = 0;
    for (int i = 0; i < SETTINGS_SLOTS; ++i) {
        push.alarm_values[i] = 0;
        if (settings.alarm[i] == 0)
            continue;
        uint16_t value = 0;
        if (registers.read(registers.context, settings.alarm[i] - 1, 1, &value) && value != 0) {
            push.alarm_values[i] = value;
            mask |= 1u << i;
        }
    }
    return mask;
}

// The connection to the remote server: a socket, and a TLS session over it when `tls` is set;
// the server's name as set.
struct PushLink {
    int sock;
    TlsSession* tls;
    const char* name;
};

// Waits up to the answer budget for one complete frame from the remote server.
const MbapFrame* await_answer(PushState& push, PushLink link) {
    const int64_t deadline = wait_clock_us() + int64_t{PUSH_ANSWER_SECONDS} * 1000000;
    for (;;) {
        // Bytes a TLS session holds already are not seen by select.
        if ((link.tls == nullptr || !tls_pending(*link.tls)) &&
            wait_fd(link.sock, WaitFor::read, deadline) <= 0)
            return nullptr;
        uint8_t buffer[256];
        const ssize_t n = link.tls != nullptr ? tls_recv(*link.tls, buffer, sizeof buffer)
                                              : socket_recv(link.sock, buffer, sizeof buffer);
        if (n < 0 && link.tls != nullptr && errno == EAGAIN) // a record not complete yet
            continue;
        if (n < 0 && link.tls != nullptr && link.tls->failure == TlsFailure::alert) {
            // Over TLS 1.3 the server judges the gateway's certificate after the gateway's part
            // of the handshake: its refusal comes instead of the first answer.
            char reason[TLS_REASON_SIZE];
            tls_reason(*link.tls, reason, sizeof reason);
            log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", link.name, reason);
        }
        if (n <= 0)
            return nullptr;
        const uint8_t* next = buffer;
        int32_t left = static_cast<int32_t>(n);
        // Bytes after a completed answer in the same read are dropped.
        if (const MbapFrame* answer = mbap_parse(push.parser, next, left))
            return answer;
    }
}

// Delivers slot i: true when it was acknowledged, or when its range can never be sent (a setting,
// not a failure of this cycle).
bool push_slot(PushState& push, const ModbusRegisters& registers, const Settings& settings,
               PushLink link, int i) {
    if ((push.sendable & (1u << i)) == 0)
        return true;
    const MbapFrame* request =
        modbus_build_write_request(registers, settings.start[i] - 1, settings.count[i]);
    if (request == nullptr)
        return false;
    uint8_t wire[MBAP_MAX_WIRE];
    const int size = mbap_serialize(*request, wire);
    // A failed send shows as a missing answer.
    if (link.tls != nullptr)
        tls_send_all(*link.tls, wire, static_cast<size_t>(size),
                     wait_clock_us() + int64_t{PUSH_ANSWER_SECONDS} * 1000000);
    else
        socket_send_all(link.sock, wire, static_cast<size_t>(size), INT64_MAX);

    const MbapFrame* answer = await_answer(push, link);
    if (answer == nullptr || !modbus_is_write_ack(answer))
        return false;
    ++push.counters.slots_acknowledged;
    if (push.alarm_values[i] != 0) {
        push.alarm_values[i] = 0;
        const uint16_t zero = 0;
        registers.write(registers.context, settings.alarm[i] - 1, 1, &zero);
    }
    return true;
}

// The TLS handshake with the remote server at `address` within the connection budget. Its
// certificate must chain to the authority, and carry the setting: its name (as the library checks
// it), or when it is a dotted address, that address as an iPAddress subject alternative name.
bool open_tls(PushState& push, const Settings& settings, uint32_t address, int sock,
              TlsSession& session) {
    uint32_t dotted = 0;
    const bool by_address = settings_parse_ipaddr(settings.ipaddr.c_str(), dotted) != 0;
    const char* name = by_address ? nullptr : settings.ipaddr.c_str();
    const int64_t deadline = wait_clock_us() + int64_t{PUSH_CONNECT_SECONDS} * 1000000;
    if (tls_session_open(session, push.tls->client, sock, name) &&
        tls_handshake_until(session, deadline) &&
        (!by_address || tls_check_peer_address(session, address))) {
        log_msg(LOG_NOTICE, "TLS connection to %s established", settings.ipaddr.c_str());
        return true;
    }
    char reason[TLS_REASON_SIZE];
    if (session.open)
        tls_reason(session, reason, sizeof reason);
    else
        std::snprintf(reason, sizeof reason, "out of memory");
    log_msg(LOG_NOTICE, "TLS handshake with %s failed: %s", settings.ipaddr.c_str(), reason);
    return false;
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

void push_cycle(PushState& push, const ModbusRegisters& registers, const Settings& settings,
                int64_t now) {
    const bool data_due = settings.data_period != 0 && now >= push.next_data;
    const bool alarm_due = settings.alarm_period != 0 && now >= push.next_alarm;
    // The schedule moves on before anything is sent, so a failed cycle is not retried early.
    if (data_due)
        push.next_data = next_due(push.next_data, settings.data_period, now);
    if (alarm_due)
        push.next_alarm = next_due(push.next_alarm, settings.alarm_period, now);
    if (!data_due && !alarm_due)
        return;

    uint32_t mask = data_due ? ALL_SLOTS : 0;
    mask |= scan_alarms(push, registers, settings);
    if (mask == 0)
        return;

    ++push.counters.cycles;
    // The watchdog hears of each step of a cycle that can take long: the alarm scan done, and
    // each slot before it is sent.
    notify_watchdog(wait_clock_us());
    const uint32_t address = resolve_hostname(settings.ipaddr.c_str());
    const bool tls_ready = !push.tls_wanted || push.tls != nullptr;
    const int sock = address == 0 || !tls_ready
                         ? -1
                         : socket_open_tcp_client(address, settings.port, PUSH_CONNECT_SECONDS);
    if (sock < 0) {
        ++push.counters.failed;
        return;
    }
    log_msg(LOG_NOTICE, "TCP connection to %s established", settings.ipaddr.c_str());
    mbap_reset(push.parser);

    TlsSession session;
    const PushLink link{sock, push.tls_wanted ? &session : nullptr, settings.ipaddr.c_str()};
    const bool linked = link.tls == nullptr || open_tls(push, settings, address, sock, session);
    bool delivered = linked;
    for (int i = 0; i < SETTINGS_SLOTS && linked; ++i)
        if (mask & (1u << i)) {
            notify_watchdog(wait_clock_us());
            delivered = push_slot(push, registers, settings, link, i) && delivered;
        }

    tls_session_close(session);
    socket_close(sock);
    log_msg(LOG_NOTICE, "TCP connection closed");
    ++(delivered ? push.counters.succeeded : push.counters.failed);
}
