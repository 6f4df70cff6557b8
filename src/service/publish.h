// SPDX-License-Identifier: Apache-2.0
#pragma once
// The MQTT publisher: with a broker in the settings, the push slots go to it as well, one message
// per slot and period (JSON, or Sparkplug B), through a queue on disk that keeps them while the
// broker is away. It is a handler of the service loop: publish_watch says what it waits for,
// publish_run does what is ready, at most one device exchange (or one slot's read) a call, and
// never waits on the broker: libmosquitto is driven through its socket and its read, write and
// housekeeping calls.
#include <array>
#include <cstdint>
#include <string>

#include "modbus/modbus.h"
#include "service/loop.h"
#include "service/outbox.h"
#include "service/payload.h"
#include "settings/settings.h"
#include "sys/resolve.h"
#include "sys/tls.h"

struct mosquitto;

enum class PublishFormat : uint8_t { json, sparkplug };

inline constexpr const char* PUBLISH_QUEUE_DEFAULT = "/var/lib/kovex4/mqtt";
// 256 KB: about 19 hours of five 10-register slots a minute, a small part of a small flash.
inline constexpr uint32_t PUBLISH_QUEUE_KB_DEFAULT = 256;
inline constexpr int PUBLISH_KEEPALIVE_SECONDS = 30;
inline constexpr int PUBLISH_CONNECT_SECONDS = 10; // from the connection's start to CONNACK
inline constexpr int PUBLISH_RETRY_MAX_SECONDS = 60;
inline constexpr uint32_t PUBLISH_WINDOW = 10; // messages sent and not acknowledged yet

// What the settings ask of the publisher, with the defaults filled in.
struct PublishConfig {
    std::string host; // as set, or a dotted address written the usual way
    bool host_is_address = false;
    uint32_t port = 0;
    std::string client_id;
    std::string prefix; // JSON topics: PREFIX/status, PREFIX/slot/N; Sparkplug: GROUP/NODE
    std::string group, node;
    PublishFormat format = PublishFormat::json;
    bool tls = false; // the TLS files are set
    std::string user, password;
    std::string queue;
    uint32_t queue_bytes = 0;
};

// The publisher's configuration from `settings`, with `hostname` for the defaults. What it cannot
// use is taken as it is: judge_mqtt (service/judge.h) says what is wrong with it.
void publish_config(const Settings& settings, const char* hostname, PublishConfig& config);

// The format MOD_KOVEX4_MQTT_FORMAT names: json (also when empty) or sparkplug; false for any
// other text.
bool publish_format(const std::string& name, PublishFormat& format);

struct PublishCounters {
    uint32_t published;    // PUBLISH packets of slot messages sent (again after a reconnect too)
    uint32_t acknowledged; // ... acknowledged by the broker
    uint32_t queued;       // messages stored in the queue
    uint32_t dropped;      // messages dropped from a full queue
    uint32_t reconnects;   // connections established after the first
};

// Down, waiting for the next try; looking the broker's name up; connected and waiting for the
// broker's CONNACK (and the TLS handshake before it); up.
enum class PublishLink : uint8_t { down, resolving, connecting, up };

// A message sent and not yet acknowledged.
struct PublishInFlight {
    int mid;
    uint64_t seq;
    bool acked;
    uint8_t slot;
    bool alarmed;
};

struct PublishState {
    bool on = false;
    PublishConfig config;
    mosquitto* mosq = nullptr;
    // Over TLS the broker's client configuration, which libmosquitto makes its sessions from.
    TlsExternalClient tls;
    PublishLink link = PublishLink::down;
    ResolveLookup lookup;   // of the broker's name, before each connection
    char address[16] = "";  // the broker's, dotted: where libmosquitto connects
    int64_t retry_us = 0;   // a connection is tried from then on
    int64_t give_up_us = 0; // a connection still without CONNACK then is given up
    int retry_seconds = 1;  // the next pause, doubled up to PUBLISH_RETRY_MAX_SECONDS
    bool ever_up = false;
    std::string failure; // the last failure logged, said once in a row
    // Set by libmosquitto's callbacks during its read and write calls.
    bool event_up = false, event_down = false, event_rebirth = false;
    int event_reason = 0;
    std::string event_refusal;
    std::string event_detail; // the library's last error line

    Outbox outbox;
    OutboxPos send{};         // the next queued message to send
    bool maybe_unsent = true; // the queue may hold messages not sent on this connection
    std::array<std::string, SETTINGS_SLOTS> data_topics; // of each slot's messages, made at start
    std::string other_topic;
    uint64_t live_from_seq = 0; // messages numbered from here on were queued on this connection
    std::array<PublishInFlight, PUBLISH_WINDOW> window{};
    uint32_t window_first = 0, window_used = 0;

    // The schedule (monotonic, microseconds) and the period in progress: alarm registers still
    // to read, then slots still to read, then the batch to store.
    int64_t next_data_us = 0, next_alarm_us = 0;
    bool data_on = false, alarm_on = false; // the periods are set
    uint32_t sendable = 0;                  // slot bits with a range that can be read
    bool data_due = false;
    uint32_t scan_left = 0, read_left = 0;
    std::array<uint16_t, SETTINGS_SLOTS> alarm_read{};
    std::array<OutboxMessage, SETTINGS_SLOTS> batch{};
    uint32_t batch_used = 0;
    // Alarms: the value of the newest queued message that carries one, its number, and the slots
    // whose alarm register is to be set back to 0 (its message was acknowledged).
    std::array<uint16_t, SETTINGS_SLOTS> alarm_pending{};
    std::array<uint64_t, SETTINGS_SLOTS> alarm_seq{};
    uint32_t clear_left = 0;

    // Sparkplug B: the birth/death sequence and the message sequence of this connection, and what
    // the birth certificate declares.
    uint64_t bd_seq = 0;
    bool bd_seq_used = false; // a session with this bd_seq was established
    uint64_t seq = 0;
    bool birth_due = false;
    SparkplugNode node{};

    PublishCounters counters{};
};

// Sets the publisher up from the settings at start (monotonic `now_us`): judges the settings
// (findings logged), opens the queue, makes the client; over TLS with the gateway's loaded
// `credentials` (nullptr: none). Without a broker in the settings it stays off and logs nothing.
// The state must stay where it is while the publisher runs.
void publish_start(PublishState& state, const Settings& settings, int64_t now_us,
                   const TlsCredentials* credentials = nullptr);
void publish_stop(PublishState& state);

// What the publisher waits for: its socket, and when it wants to be called again.
void publish_watch(PublishState& state, LoopWatch& watch, int64_t now_us);
// Acts on what is ready: the broker's socket, the connection's life, acknowledgements, at most
// one device step (an alarm register read, a slot read or an alarm reset), then sending what
// the queue holds.
void publish_run(PublishState& state, const LoopWatch& ready, int64_t now_us,
                 const ModbusRegisters& registers, const Settings& settings);

// The names of the publisher's counters, in the order of the counters line.
inline constexpr const char* PUBLISH_COUNTER_NAMES[] = {
    "mqtt_published", "mqtt_acknowledged", "mqtt_queued", "mqtt_dropped", "mqtt_reconnects"};

// Connects to the broker once, as the gateway does (TLS, user name) but under the client
// identifier with "-probe" added and without a will, waits up to `seconds` for its answer and
// disconnects. 1 when the broker accepted the connection; otherwise 0, and `reason` says why.
int publish_probe(const PublishConfig& config, const Settings& settings, int seconds,
                  std::string& reason);

// The counters for the "counters: ..." line, " mqtt_published=... mqtt_reconnects=...", into
// `out` (empty when the publisher is off).
void publish_counters_text(const PublishState& state, char* out, size_t size);
