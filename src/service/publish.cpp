// SPDX-License-Identifier: Apache-2.0
#include "service/publish.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "regmap/regs.h"
#include "service/judge.h"
#include "service/push.h"
#include "sys/deadline.h"
#include "sys/log.h"

namespace {

// Wall-clock time for the read stamps: UTC milliseconds.
int64_t utc_ms() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

std::string topic(const PublishState& state, const char* what) {
    const PublishConfig& c = state.config;
    if (c.format == PublishFormat::sparkplug)
        return "spBv1.0/" + c.group + "/" + what + "/" + c.node;
    return c.prefix + "/" + what;
}

// Logs a connection failure once, and again only when its reason changes.
void say_failure(PublishState& state, const char* what, const std::string& reason) {
    const std::string text = std::string(what) + ": " + reason;
    if (text == state.failure)
        return;
    state.failure = text;
    log_msg(LOG_NOTICE, "MQTT connection to %s %s", state.config.host.c_str(), text.c_str());
}

// libmosquitto's callbacks run inside its read and write calls: they only take note.
void on_connect(mosquitto*, void* data, int rc) {
    PublishState& state = *static_cast<PublishState*>(data);
    if (rc == 0)
        state.event_up = true;
    else
        state.event_refusal = mosquitto_connack_string(rc);
}

void on_disconnect(mosquitto*, void* data, int rc) {
    PublishState& state = *static_cast<PublishState*>(data);
    state.event_down = true;
    state.event_reason = rc;
}

void on_publish(mosquitto*, void* data, int mid) {
    PublishState& state = *static_cast<PublishState*>(data);
    for (uint32_t k = 0; k < state.window_used; ++k) {
        PublishInFlight& entry = state.window[(state.window_first + k) % PUBLISH_WINDOW];
        if (entry.mid == mid)
            entry.acked = true;
    }
}

// The library's own account of an error (OpenSSL's reason for a failed handshake, for one).
void on_log(mosquitto*, void* data, int level, const char* text) {
    PublishState& state = *static_cast<PublishState*>(data);
    if (level == MOSQ_LOG_ERR && state.event_detail.empty())
        state.event_detail = text;
}

void on_message(mosquitto*, void* data, const mosquitto_message* message) {
    PublishState& state = *static_cast<PublishState*>(data);
    if (message->payloadlen > 0 &&
        payload_spb_rebirth(static_cast<const uint8_t*>(message->payload),
                            static_cast<size_t>(message->payloadlen)))
        state.event_rebirth = true;
}

// The broker's TLS client configuration from the gateway's credentials, its certificate checked
// for the host setting as the push checks its receiver's: the name, or a dotted address as an
// iPAddress subject alternative name.
bool open_tls(PublishState& state, const TlsCredentials& credentials) {
    const PublishConfig& c = state.config;
    uint32_t address = 0;
    if (c.host_is_address)
        settings_parse_ipaddr(c.host.c_str(), address);
    return tls_external_open(state.tls, credentials, c.host_is_address ? nullptr : c.host.c_str(),
                             address) == 1;
}

// Why a connection failed: the TLS handshake's reason in the words the push uses for its
// receiver, or else libmosquitto's `words` with its last error line.
std::string failure_reason(const PublishState& state, const std::string& words) {
    if (state.tls.outcome.failure != TlsFailure::none) {
        char reason[TLS_REASON_SIZE];
        tls_reason(state.tls.outcome, reason, sizeof reason);
        return std::string("TLS handshake: ") + reason;
    }
    return state.event_detail.empty() ? words : words + " (" + state.event_detail + ")";
}

std::string library_words(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc);
}

bool connected(const PublishState& state) {
    return state.link == PublishLink::connecting || state.link == PublishLink::up;
}

// A fresh session: libmosquitto's state of the last one (its queued and unacknowledged
// packets) is dropped, since the queue on disk says what is still to go.
bool prepare_client(PublishState& state) {
    const PublishConfig& c = state.config;
    // Each session has a death certificate of its own: the number moves on once one was used.
    if (state.bd_seq_used)
        state.bd_seq = (state.bd_seq + 1) % 256;
    state.bd_seq_used = false;
    if (state.mosq == nullptr)
        state.mosq = mosquitto_new(c.client_id.c_str(), true, &state);
    else if (mosquitto_reinitialise(state.mosq, c.client_id.c_str(), true, &state) !=
             MOSQ_ERR_SUCCESS)
        return false;
    mosquitto* m = state.mosq;
    if (m == nullptr)
        return false;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_max_inflight_messages_set(m, PUBLISH_WINDOW + 2);
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_disconnect_callback_set(m, on_disconnect);
    mosquitto_publish_callback_set(m, on_publish);
    mosquitto_message_callback_set(m, on_message);
    mosquitto_log_callback_set(m, on_log);
    if (!c.user.empty() &&
        mosquitto_username_pw_set(m, c.user.c_str(),
                                  c.password.empty() ? nullptr : c.password.c_str()) !=
            MOSQ_ERR_SUCCESS)
        return false;
    // The configuration is used as it is, with its own checks: libmosquitto's defaults would want
    // files, and its check of the name would compare the certificate with the dotted address it
    // connects to.
    if (state.tls.config.ctx != nullptr &&
        (mosquitto_void_option(m, MOSQ_OPT_SSL_CTX, state.tls.config.ctx) != MOSQ_ERR_SUCCESS ||
         mosquitto_int_option(m, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0) != MOSQ_ERR_SUCCESS))
        return false;
    // The last will: "offline" on the status topic, or the Sparkplug death certificate with the
    // birth/death sequence number of this connection.
    if (c.format == PublishFormat::sparkplug) {
        uint8_t death[64];
        const size_t size = payload_spb_death(state.bd_seq, death, sizeof death);
        return mosquitto_will_set(m, topic(state, "NDEATH").c_str(), static_cast<int>(size), death,
                                  1, false) == MOSQ_ERR_SUCCESS;
    }
    return mosquitto_will_set(m, topic(state, "status").c_str(), 7, "offline", 1, true) ==
           MOSQ_ERR_SUCCESS;
}

void go_down(PublishState& state, int64_t now_us) {
    if (state.mosq != nullptr && connected(state))
        mosquitto_disconnect(state.mosq);
    resolve_cancel(state.lookup);
    state.link = PublishLink::down;
    state.retry_us = now_us + int64_t{state.retry_seconds} * 1000000;
    state.retry_seconds = std::min(state.retry_seconds * 2, PUBLISH_RETRY_MAX_SECONDS);
    // What was sent and not acknowledged goes again on the next connection.
    state.window_used = 0;
    state.send = OutboxPos{};
    state.maybe_unsent = true;
}

// The address the lookup found, dotted, for libmosquitto: its own lookup of a dotted address does
// not wait.
void set_address(PublishState& state) {
    const uint32_t a = state.lookup.address;
    std::snprintf(state.address, sizeof state.address, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFFu,
                  (a >> 8) & 0xFFu, a & 0xFFu);
}

// The broker's name looked up (`found` as resolve_start says): libmosquitto connects to the
// address found, or the failure is said and the next try waits.
void connect_to(PublishState& state, int found, int64_t now_us) {
    const PublishConfig& c = state.config;
    if (found < 0) {
        say_failure(state, "failed",
                    std::string("name not resolved (") + state.lookup.failure + ")");
        go_down(state, now_us);
        return;
    }
    if (!prepare_client(state)) {
        say_failure(state, "failed", "the client cannot be set up");
        go_down(state, now_us);
        return;
    }
    set_address(state);
    state.event_detail.clear();
    tls_external_reset(state.tls);
    const int rc = mosquitto_connect_async(state.mosq, state.address, static_cast<int>(c.port),
                                           PUBLISH_KEEPALIVE_SECONDS);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING) {
        // A handshake on a near broker may already fail within the call.
        say_failure(state, "failed", failure_reason(state, library_words(rc)));
        state.link = PublishLink::connecting; // so that go_down ends the connection
        go_down(state, now_us);
        return;
    }
    state.link = PublishLink::connecting;
    state.give_up_us = now_us + int64_t{PUBLISH_CONNECT_SECONDS} * 1000000;
}

// A connection begins with the lookup of the broker's name, beside the loop (a dotted address
// needs none). The lookup logs nothing itself: a name that does not resolve is said as the
// publisher's other failures are, once.
void try_connect(PublishState& state, int64_t now_us) {
    state.lookup.quiet = true;
    const int found = resolve_start(state.lookup, state.config.host.c_str());
    if (found == 0)
        state.link = PublishLink::resolving;
    else
        connect_to(state, found, now_us);
}

void birth(PublishState& state) {
    static uint8_t bytes[PAYLOAD_SPB_MAX];
    state.seq = 0;
    const size_t size =
        payload_spb_birth(state.node, state.bd_seq, state.seq, utc_ms(), bytes, sizeof bytes);
    mosquitto_publish(state.mosq, nullptr, topic(state, "NBIRTH").c_str(), static_cast<int>(size),
                      bytes, 0, false);
    state.birth_due = false;
}

void came_up(PublishState& state) {
    state.link = PublishLink::up;
    state.retry_seconds = 1;
    state.failure.clear();
    if (state.ever_up)
        ++state.counters.reconnects;
    state.ever_up = true;
    state.bd_seq_used = true;
    state.live_from_seq = state.outbox.next_seq;
    log_msg(LOG_NOTICE, "MQTT connection to %s established", state.config.host.c_str());
    if (state.config.format == PublishFormat::sparkplug) {
        mosquitto_subscribe(state.mosq, nullptr, topic(state, "NCMD").c_str(), 1);
        birth(state);
    } else {
        mosquitto_publish(state.mosq, nullptr, topic(state, "status").c_str(), 6, "online", 1,
                          true);
    }
}

// Whether the broker's TLS session holds received bytes already, which select does not see.
bool broker_pending(PublishState& state) {
    return state.tls.config.ctx != nullptr && state.mosq != nullptr && connected(state) &&
           tls_external_pending(static_cast<const ssl_st*>(mosquitto_ssl_get(state.mosq)));
}

// The broker's socket and the connection's life.
void run_link(PublishState& state, const LoopWatch& ready, int64_t now_us) {
    mosquitto* m = state.mosq;
    if (state.link == PublishLink::down) {
        if (now_us >= state.retry_us)
            try_connect(state, now_us);
        return;
    }
    if (state.link == PublishLink::resolving) {
        const int found = resolve_continue(state.lookup, ready.readable, ready.writable);
        if (found != 0)
            connect_to(state, found, now_us);
        return;
    }
    const int fd = mosquitto_socket(m);
    int rc = MOSQ_ERR_SUCCESS;
    // While the connection (and its TLS handshake) is being made, its read call takes each step,
    // whichever way the socket became ready; TLS may hold received bytes select does not see.
    const bool connecting = state.link == PublishLink::connecting &&
                            (loop_fd_ready(ready, fd, false) || loop_fd_ready(ready, fd, true));
    if (connecting || loop_fd_ready(ready, fd, false) || broker_pending(state))
        rc = mosquitto_loop_read(m, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m))
        rc = mosquitto_loop_write(m, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_loop_misc(m);
    if (state.event_up) {
        state.event_up = false;
        came_up(state);
    }
    if (!state.event_refusal.empty()) {
        say_failure(state, "refused", state.event_refusal);
        state.event_refusal.clear();
        go_down(state, now_us);
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS || state.event_down) {
        const bool was_up = state.link == PublishLink::up;
        const std::string words =
            rc != MOSQ_ERR_SUCCESS ? library_words(rc) : mosquitto_strerror(state.event_reason);
        if (was_up)
            log_msg(LOG_NOTICE, "MQTT connection to %s lost: %s", state.config.host.c_str(),
                    (state.event_detail.empty() ? words : words + " (" + state.event_detail + ")")
                        .c_str());
        else
            say_failure(state, "failed", failure_reason(state, words));
        state.event_down = false;
        state.event_detail.clear();
        go_down(state, now_us);
        return;
    }
    if (state.link == PublishLink::connecting && now_us >= state.give_up_us) {
        say_failure(state, "failed", "no answer from the broker");
        go_down(state, now_us);
    }
}

// Acknowledged messages leave the window in order; the queue notes the last of them, and an
// acknowledged alarm is set back on the device when its message is the newest that carried it.
void run_acks(PublishState& state) {
    uint64_t last = 0;
    while (state.window_used > 0 && state.window[state.window_first].acked) {
        const PublishInFlight& entry = state.window[state.window_first];
        last = entry.seq;
        ++state.counters.acknowledged;
        const uint32_t i = entry.slot - 1u;
        if (entry.alarmed && i < SETTINGS_SLOTS && state.alarm_seq[i] == entry.seq)
            state.clear_left |= 1u << i;
        state.window_first = (state.window_first + 1) % PUBLISH_WINDOW;
        --state.window_used;
    }
    if (last != 0 && !outbox_acknowledge(state.outbox, last))
        log_msg(LOG_ERR, "MQTT queue %s write error: %s", state.config.queue.c_str(),
                strerror(errno));
}

int lowest(uint32_t bits) {
    for (int i = 0; i < SETTINGS_SLOTS; ++i)
        if (bits & (1u << i))
            return i;
    return -1;
}

int64_t next_due(int64_t due, uint32_t period_s, int64_t now_us) {
    const int64_t next = due + int64_t{period_s} * 1000000;
    return next > now_us ? next : now_us;
}

void store_batch(PublishState& state) {
    if (state.batch_used == 0)
        return;
    const uint64_t first = state.outbox.next_seq;
    uint32_t dropped = 0;
    if (!outbox_append(state.outbox, state.batch.data(), state.batch_used, dropped)) {
        log_msg(LOG_ERR, "MQTT queue %s write error: %s", state.config.queue.c_str(),
                strerror(errno));
    } else {
        state.counters.queued += state.batch_used;
        for (uint32_t k = 0; k < state.batch_used; ++k) {
            const OutboxMessage& m = state.batch[k];
            if (m.alarmed) {
                state.alarm_pending[m.slot - 1u] = m.alarm;
                state.alarm_seq[m.slot - 1u] = first + k;
            }
        }
    }
    if (dropped > 0) {
        state.counters.dropped += dropped;
        log_msg(LOG_WARNING, "MQTT queue %s full: %u oldest messages dropped",
                state.config.queue.c_str(), dropped);
    }
    state.batch_used = 0;
    state.maybe_unsent = true;
}

// At most one device step: an alarm reset, an alarm register read or a slot read; a period that
// is due starts here.
void run_device(PublishState& state, int64_t now_us, const ModbusRegisters& registers,
                const Settings& s) {
    if (state.clear_left != 0) {
        const int i = lowest(state.clear_left);
        state.clear_left &= ~(1u << i);
        const uint16_t zero = 0;
        if (s.alarm[i] != 0) // an alarm queued under settings that had one
            registers.write(registers.context, s.alarm[i] - 1, 1, &zero);
        state.alarm_pending[i] = 0;
        state.alarm_seq[i] = 0;
        return;
    }
    if (state.scan_left == 0 && state.read_left == 0) {
        const bool data_due = s.data_period != 0 && now_us >= state.next_data_us;
        const bool alarm_due = s.alarm_period != 0 && now_us >= state.next_alarm_us;
        if (data_due)
            state.next_data_us = next_due(state.next_data_us, s.data_period, now_us);
        if (alarm_due)
            state.next_alarm_us = next_due(state.next_alarm_us, s.alarm_period, now_us);
        if (!data_due && !alarm_due)
            return;
        state.data_due = data_due;
        state.alarm_read = {};
        state.batch_used = 0;
        for (int i = 0; i < SETTINGS_SLOTS; ++i)
            if (s.alarm[i] != 0 && (state.sendable & (1u << i)))
                state.scan_left |= 1u << i;
        state.read_left = 0;
        if (state.scan_left == 0 && data_due)
            state.read_left = state.sendable;
        if (state.scan_left == 0 && state.read_left == 0)
            return;
    }
    if (state.scan_left != 0) {
        const int i = lowest(state.scan_left);
        state.scan_left &= ~(1u << i);
        uint16_t value = 0;
        if (registers.read(registers.context, s.alarm[i] - 1, 1, &value))
            state.alarm_read[i] = value;
        if (state.scan_left == 0) {
            // Every slot at a data period; at an alarm period a slot whose alarm is new, or
            // whose value changed since its last message went to the queue.
            state.read_left = state.data_due ? state.sendable : 0;
            for (int k = 0; k < SETTINGS_SLOTS; ++k)
                if (state.alarm_read[k] != 0 && state.alarm_read[k] != state.alarm_pending[k])
                    state.read_left |= 1u << k;
            state.read_left &= state.sendable;
        }
        return;
    }
    const int i = lowest(state.read_left);
    state.read_left &= ~(1u << i);
    OutboxMessage& m = state.batch[state.batch_used];
    m.slot = static_cast<uint8_t>(i + 1);
    m.start = s.start[i];
    m.count = static_cast<uint16_t>(s.count[i]);
    m.read_ms = utc_ms();
    m.alarm = state.alarm_read[i];
    m.alarmed = m.alarm != 0;
    if (registers.read(registers.context, s.start[i] - 1, s.count[i], m.values.data())) {
        ++state.batch_used;
        SparkplugNode& node = state.node;
        node.known[i] = true;
        std::copy(m.values.begin(), m.values.begin() + m.count, node.values[i].begin());
        node.alarm[i] = m.alarm;
    }
    if (state.read_left == 0)
        store_batch(state);
}

// Sends queued messages while the window has room.
void run_send(PublishState& state) {
    if (state.link != PublishLink::up || !state.maybe_unsent)
        return;
    if (state.birth_due)
        birth(state);
    while (state.window_used < PUBLISH_WINDOW) {
        OutboxRecord record;
        const int more = outbox_next(state.outbox, state.send, record);
        if (more < 0)
            log_msg(LOG_ERR, "MQTT queue %s read error: %s", state.config.queue.c_str(),
                    strerror(errno));
        if (more != 1) {
            state.maybe_unsent = false;
            return;
        }
        const OutboxMessage& m = record.message;
        static uint8_t bytes[PAYLOAD_SPB_MAX];
        size_t size = 0;
        if (state.config.format == PublishFormat::sparkplug) {
            state.seq = (state.seq + 1) % 256;
            size = payload_spb_data(m, state.seq, record.seq < state.live_from_seq, bytes,
                                    sizeof bytes);
        } else {
            size = payload_json(m, reinterpret_cast<char*>(bytes), sizeof bytes);
        }
        // The topics were made at start; a slot number beyond them (a queue written with other
        // settings) goes to a topic made now.
        char slot[16];
        std::snprintf(slot, sizeof slot, "slot/%u", static_cast<unsigned>(m.slot));
        const std::string& where = m.slot >= 1 && m.slot <= SETTINGS_SLOTS
                                       ? state.data_topics[m.slot - 1u]
                                       : (state.other_topic = topic(state, slot));
        int mid = 0;
        if (mosquitto_publish(state.mosq, &mid, where.c_str(), static_cast<int>(size), bytes, 1,
                              false) != MOSQ_ERR_SUCCESS)
            return; // the connection's end shows in the next read or write
        ++state.counters.published;
        state.window[(state.window_first + state.window_used) % PUBLISH_WINDOW] =
            PublishInFlight{mid, record.seq, false, m.slot, m.alarmed};
        ++state.window_used;
    }
}

} // namespace

void publish_config(const Settings& s, const char* hostname, PublishConfig& c) {
    c = PublishConfig{};
    const std::string host = hostname != nullptr && *hostname != '\0' ? hostname : "gateway";
    uint32_t address = 0;
    c.host_is_address = settings_parse_ipaddr(s.mqtt_host.c_str(), address) != 0;
    if (c.host_is_address) {
        char dotted[16];
        std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFFu,
                      (address >> 8) & 0xFFu, address & 0xFFu);
        c.host = dotted;
    } else {
        c.host = s.mqtt_host;
    }
    c.tls = !s.tls_cert.empty() || !s.tls_key.empty() || !s.tls_ca.empty();
    c.port = s.mqtt_port != 0 ? s.mqtt_port : c.tls ? 8883 : 1883;
    publish_format(s.mqtt_format, c.format);
    c.client_id = !s.mqtt_client_id.empty() ? s.mqtt_client_id : "kovex4-" + host;
    c.prefix = !s.mqtt_prefix.empty() ? s.mqtt_prefix : "kovex4/" + host;
    const size_t slash = c.prefix.find('/');
    if (c.format == PublishFormat::sparkplug && slash != std::string::npos &&
        c.prefix.find('/', slash + 1) == std::string::npos) {
        c.group = c.prefix.substr(0, slash);
        c.node = c.prefix.substr(slash + 1);
    }
    c.user = s.mqtt_user;
    c.password = s.mqtt_password;
    c.queue = !s.mqtt_queue.empty() ? s.mqtt_queue : PUBLISH_QUEUE_DEFAULT;
    const uint32_t kb = s.mqtt_queue_kb != 0 ? s.mqtt_queue_kb : PUBLISH_QUEUE_KB_DEFAULT;
    c.queue_bytes = std::clamp<uint32_t>(kb, OUTBOX_MIN_BYTES / 1024, 1024u * 1024u) * 1024u;
}

bool publish_format(const std::string& name, PublishFormat& format) {
    format = name == "sparkplug" ? PublishFormat::sparkplug : PublishFormat::json;
    return name.empty() || name == "json" || name == "sparkplug";
}

void publish_start(PublishState& state, const Settings& settings, int64_t now_us,
                   const TlsCredentials* credentials) {
    state.on = false;
    if (settings.mqtt_host.empty())
        return;
    // The judge's warnings are logged with the others at start; its errors keep the publisher
    // off.
    JudgeFindings findings;
    const int usable = judge_mqtt(settings, nullptr, findings);
    for (size_t i = 0; i < findings.count; ++i)
        if (findings.list[i].level == LOG_ERR)
            log_msg(LOG_ERR, "MQTT setup error: %s: %s", findings.list[i].key->name,
                    findings.list[i].text.c_str());
    if (!usable)
        return;
    char hostname[256] = "";
    gethostname(hostname, sizeof hostname - 1);
    publish_config(settings, hostname, state.config);
    // The gateway's own TLS files, loaded once: without them it does not start, and the
    // publisher never talks to the broker in the clear where TLS was meant.
    if (state.config.tls && (credentials == nullptr || !open_tls(state, *credentials))) {
        log_msg(LOG_ERR, "MQTT setup error: TLS: %s",
                credentials == nullptr ? "the TLS files are not loaded" : "out of memory");
        return;
    }
    OutboxReport report;
    if (!outbox_open(state.outbox, state.config.queue.c_str(), state.config.queue_bytes, report)) {
        log_msg(LOG_ERR, "MQTT setup error: queue %s: %s", state.config.queue.c_str(),
                strerror(errno));
        return;
    }
    if (report.cut)
        log_msg(LOG_WARNING,
                "MQTT queue %s: damaged record in %08x.q at offset %u, %llu bytes dropped",
                state.config.queue.c_str(), report.cut_segment, report.cut_offset,
                static_cast<unsigned long long>(report.cut_bytes));
    if (report.pending > 0)
        log_msg(LOG_NOTICE, "MQTT queue %s: %u messages kept from before",
                state.config.queue.c_str(), report.pending);
    // Alarms waiting in the queue for their acknowledgement are not queued again.
    OutboxPos pos{};
    OutboxRecord record;
    while (outbox_next(state.outbox, pos, record) == 1) {
        const OutboxMessage& m = record.message;
        if (m.alarmed && m.slot >= 1 && m.slot <= SETTINGS_SLOTS) {
            state.alarm_pending[m.slot - 1u] = m.alarm;
            state.alarm_seq[m.slot - 1u] = record.seq;
        }
    }
    mosquitto_lib_init();
    for (int i = 0; i < SETTINGS_SLOTS; ++i) {
        if (push_slot_fault(settings.start[i], settings.count[i]) != PushSlotFault::none)
            continue;
        state.sendable |= 1u << i;
        state.node.start[i] = settings.start[i];
        state.node.count[i] = static_cast<uint16_t>(settings.count[i]);
        state.node.has_alarm[i] = settings.alarm[i] != 0;
    }
    for (int i = 0; i < SETTINGS_SLOTS; ++i)
        state.data_topics[i] = state.config.format == PublishFormat::sparkplug
                                   ? topic(state, "NDATA")
                                   : topic(state, ("slot/" + std::to_string(i + 1)).c_str());
    // The first period one period after the start.
    state.next_data_us = now_us + int64_t{settings.data_period} * 1000000;
    state.next_alarm_us = now_us + int64_t{settings.alarm_period} * 1000000;
    state.data_on = settings.data_period != 0;
    state.alarm_on = settings.alarm_period != 0;
    state.link = PublishLink::down;
    state.retry_us = now_us;
    state.on = true;
}

void publish_stop(PublishState& state) {
    resolve_cancel(state.lookup);
    if (state.mosq != nullptr) {
        mosquitto_destroy(state.mosq);
        state.mosq = nullptr;
    }
    tls_external_close(state.tls);
    outbox_close(state.outbox);
    state.on = false;
}

void publish_watch(PublishState& state, LoopWatch& watch, int64_t now_us) {
    if (!state.on)
        return;
    const int fd = state.mosq != nullptr && connected(state) ? mosquitto_socket(state.mosq) : -1;
    if (fd >= 0) {
        loop_watch_fd(watch, fd, false);
        if (mosquitto_want_write(state.mosq))
            loop_watch_fd(watch, fd, true);
    }
    const bool busy = state.clear_left != 0 || state.scan_left != 0 || state.read_left != 0 ||
                      (state.link == PublishLink::up && state.maybe_unsent &&
                       state.window_used < PUBLISH_WINDOW) ||
                      state.event_up || state.event_down || state.event_rebirth ||
                      broker_pending(state);
    if (busy)
        loop_wake_by(watch, now_us);
    // A period that is off (0) has no time to wake for.
    if (state.data_on)
        loop_wake_by(watch, state.next_data_us);
    if (state.alarm_on)
        loop_wake_by(watch, state.next_alarm_us);
    if (state.link == PublishLink::down)
        loop_wake_by(watch, state.retry_us);
    else if (state.link == PublishLink::resolving)
        loop_watch_lookup(watch, state.lookup, now_us);
    else if (state.link == PublishLink::connecting)
        loop_wake_by(watch, state.give_up_us);
    // libmosquitto's housekeeping (keepalive pings) at least once a second.
    if (connected(state))
        loop_wake_by(watch, now_us + 1000000);
}

void publish_run(PublishState& state, const LoopWatch& ready, int64_t now_us,
                 const ModbusRegisters& registers, const Settings& settings) {
    if (!state.on)
        return;
    run_link(state, ready, now_us);
    if (state.event_rebirth) {
        state.event_rebirth = false;
        if (state.link == PublishLink::up && state.config.format == PublishFormat::sparkplug) {
            log_msg(LOG_NOTICE, "MQTT rebirth asked for");
            state.birth_due = true;
            state.maybe_unsent = true;
        }
    }
    run_acks(state);
    run_device(state, now_us, registers, settings);
    run_send(state);
    // What was just published goes out now rather than at the next turn.
    if (connected(state) && mosquitto_want_write(state.mosq))
        mosquitto_loop_write(state.mosq, 1);
}

void publish_counters_text(const PublishState& state, char* out, size_t size) {
    if (!state.on) {
        if (size > 0)
            out[0] = '\0';
        return;
    }
    const PublishCounters& c = state.counters;
    const uint32_t values[] = {c.published, c.acknowledged, c.queued, c.dropped, c.reconnects};
    size_t used = 0;
    for (size_t i = 0; i < std::size(values) && used < size; ++i) {
        const int n = std::snprintf(out + used, size - used, " %s=%u", PUBLISH_COUNTER_NAMES[i],
                                    static_cast<unsigned>(values[i]));
        used = n > 0 ? std::min(size - 1, used + static_cast<size_t>(n)) : used;
    }
}

namespace {

// The broker's name looked up as the gateway looks it up, waiting until `deadline_us` (the probe
// is a program of its own, not the gateway's loop): 1, -1, or 0 when the time ran out.
int lookup_until(PublishState& state, int64_t deadline_us) {
    state.lookup.quiet = true;
    int found = resolve_start(state.lookup, state.config.host.c_str());
    while (found == 0) {
        const int64_t now = wait_clock_us();
        if (now >= deadline_us) {
            resolve_cancel(state.lookup);
            return 0;
        }
        LoopWatch watch, ready;
        loop_watch_init(watch, deadline_us);
        loop_watch_lookup(watch, state.lookup, now);
        if (loop_wait(watch, ready) < 0)
            loop_watch_init(ready, deadline_us);
        found = resolve_continue(state.lookup, ready.readable, ready.writable);
    }
    return found;
}

} // namespace

int publish_probe(const PublishConfig& config, const Settings& settings, int seconds,
                  std::string& reason) {
    PublishState state;
    state.config = config;
    state.config.client_id += "-probe";
    TlsCredentials credentials;
    char why[TLS_REASON_SIZE] = "";
    int ok = 0;
    const int64_t deadline = wait_clock_us() + int64_t{seconds} * 1000000;
    mosquitto_lib_init();
    if (config.tls &&
        !tls_credentials_load(credentials, settings.tls_cert.c_str(), settings.tls_key.c_str(),
                              settings.tls_ca.c_str(), why, sizeof why)) {
        reason = std::string("TLS: ") + why;
    } else if (config.tls && !open_tls(state, credentials)) {
        reason = "TLS: out of memory";
    } else if (const int found = lookup_until(state, deadline); found <= 0) {
        reason = found < 0 ? std::string("name not resolved (") + state.lookup.failure + ")"
                           : "no answer within " + std::to_string(seconds) + " s";
    } else if (!prepare_client(state) || mosquitto_will_clear(state.mosq) != MOSQ_ERR_SUCCESS) {
        reason = "the client cannot be set up";
    } else {
        set_address(state);
        const int rc =
            mosquitto_connect(state.mosq, state.address, static_cast<int>(config.port), seconds);
        int loop = rc;
        while (loop == MOSQ_ERR_SUCCESS && !state.event_up && state.event_refusal.empty() &&
               wait_clock_us() < deadline)
            loop = mosquitto_loop(state.mosq, 100, 1);
        if (state.event_up) {
            ok = 1;
            mosquitto_disconnect(state.mosq);
        } else if (!state.event_refusal.empty()) {
            reason = "refused: " + state.event_refusal;
        } else if (loop != MOSQ_ERR_SUCCESS) {
            reason = failure_reason(state, library_words(loop));
        } else {
            reason = "no answer within " + std::to_string(seconds) + " s";
        }
    }
    publish_stop(state);
    tls_credentials_free(credentials);
    return ok;
}
