// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Modbus TCP clients of the service, a handler of its loop (service/loop.h): the listening
// socket, connections in their places, the TLS handshake, receiving requests, answering them
// through the registers the service gives, and sending the answers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "modbus/mbap.h"
#include "modbus/modbus.h"
#include "service/allow.h"
#include "service/loop.h"
#include "service/trace.h"
#include "settings/settings.h"
#include "sys/log.h"
#include "sys/tls.h"

// How long one answer may wait for room in the client's socket before the client is dropped.
inline constexpr int SERVICE_SEND_SECONDS = 10;
// The most clients MOD_KOVEX4_CLIENTS can allow at once.
inline constexpr uint32_t SERVICE_MAX_CLIENTS = 16;
// A connection that must earn its place (over TLS: by its handshake; with several plain clients
// all taken: by a whole request) waits in one of these places of its own, beside the
// MOD_KOVEX4_CLIENTS places of the clients being served, so that it takes no client's place
// before it has shown what it is. When they are full, a newcomer takes the place of a connection
// of the address that holds the most of them, one that has sent nothing first, the oldest first.
inline constexpr uint32_t SERVICE_WAITING_PLACES = 4;
inline constexpr uint32_t SERVICE_PLACES = SERVICE_MAX_CLIENTS + SERVICE_WAITING_PLACES;
// How long a waiting connection has to earn its place, and how long it may send nothing at all.
inline constexpr int SERVICE_HANDSHAKE_SECONDS = 10;
inline constexpr int SERVICE_SILENT_SECONDS = 3;

// At most this many lines a second about refused connections and failed TLS handshakes, and as
// many about connections established and closed (a flood of them must not flood the log); the
// rest are counted in one "N lines left out" line of each kind.
inline constexpr uint32_t SERVICE_REFUSAL_LINES = 10;
inline constexpr uint32_t SERVICE_CONNECTION_LINES = 20;

// One Modbus TCP connection: its own frame parser and the bytes of its last read not yet served.
struct ServiceClient {
    int fd = -1;
    // Served (its place earned), or still waiting (see SERVICE_WAITING_PLACES); whether it has
    // sent anything since its accept, and when that was.
    bool established = false;
    bool heard = false;
    int64_t accepted_us = 0;
    uint32_t peer = 0;        // its IPv4 address, host byte order
    char address[16] = "";    // ... dotted
    uint64_t last_active = 0; // the clients' event count at its accept or its last request
    MbapParser parser;
    std::array<uint8_t, 256> input;
    int32_t input_next = 0; // input[input_next .. input_end) is still to be parsed
    int32_t input_end = 0;
    // Over TLS: the session (open from the accept on), whether its handshake last waited for
    // room to send, and whether its certificate's role may write.
    TlsSession tls{};
    bool handshake_wants_write = false;
    bool tls_writer = false;
    // With several clients: an answer the socket could not take at once, output[output_next ..
    // output_end) still to be sent (over TLS the whole answer, which the session is given again),
    // and when it last went on.
    std::array<uint8_t, MBAP_MAX_WIRE> output;
    int32_t output_next = 0;
    int32_t output_end = 0;
    int64_t output_moved_us = 0;
};

// What the clients have done, counted from the start; fixed width, wrapping. Part of the
// "counters: ..." line.
struct ClientsCounters {
    uint32_t requests_fc3, requests_fc16, requests_fc6, requests_other;
    uint32_t exceptions_1, exceptions_3, exceptions_4;
    uint32_t accepted, replaced;
    uint32_t refused; // not on the allow list
};

struct ClientsState {
    int listen_fd = -1;
    std::array<ServiceClient, SERVICE_PLACES> places{};
    uint32_t limit = 1;          // from MOD_KOVEX4_CLIENTS
    uint32_t modbus_options = 0; // for modbus_handle_request
    ServiceAllowList allow;      // from MOD_KOVEX4_ALLOW
    std::string writers;         // MOD_KOVEX4_TLS_WRITERS
    // Over TLS: the gateway's credentials; nullptr for plain Modbus.
    const TlsCredentials* tls = nullptr;
    uint64_t events = 0;     // counts accepts and requests, for "idle longest" and "oldest"
    uint32_t first_turn = 0; // the place served first in this turn of the loop
    int send_seconds = SERVICE_SEND_SECONDS; // tests shorten it
    LogLimit refusal_lines{SERVICE_REFUSAL_LINES};
    LogLimit connection_lines{SERVICE_CONNECTION_LINES};
    ClientsCounters counters{};
};

// What serving a request takes from the service: the registers it reaches (the field device's,
// through the cache), and the traffic trace that shows requests and answers.
struct ClientsServe {
    ModbusRegisters registers;
    TraceState* trace;
};

// How many clients are served at once: MOD_KOVEX4_CLIENTS within 1 ... SERVICE_MAX_CLIENTS.
uint32_t clients_limit(const Settings& settings);
// Takes the server's settings (`tls`: the credentials when Modbus is served over TLS) and opens
// the listening socket; a failure is logged, and the clients are then never served.
void clients_start(ClientsState& clients, const Settings& settings, const TlsCredentials* tls);

// What the clients wait for: the listening socket, requests, room for kept answers, handshakes.
void clients_watch(const ClientsState& clients, LoopWatch& watch, int64_t now_us);
// Accepts a connection, receives from the clients found ready and answers their requests in
// turns of one request per client, then gives up what has run out of time at `now_us`.
void clients_run(ClientsState& clients, const LoopWatch& ready, int64_t now_us,
                 const ClientsServe& serve);

// Whether `role` is one of the roles of MOD_KOVEX4_TLS_WRITERS (`writers`).
bool clients_role_writes(std::string_view writers, std::string_view role);
// Whether the client has an answer waiting for room (its requests are not read meanwhile).
inline bool clients_sending(const ServiceClient& client) {
    return client.output_next < client.output_end;
}
