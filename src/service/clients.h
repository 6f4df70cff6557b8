// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Modbus TCP clients of the service: accepting them into their places, the TLS handshake,
// receiving their requests and sending their answers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "modbus/mbap.h"
#include "sys/tls.h"

// How long one answer may wait for room in the client's socket before the client is dropped.
inline constexpr int SERVICE_SEND_SECONDS = 10;
// The most clients MOD_KOVEX4_CLIENTS can allow at once.
inline constexpr uint32_t SERVICE_MAX_CLIENTS = 16;
// How long a TLS client has from its connection to the end of its handshake.
inline constexpr int SERVICE_HANDSHAKE_SECONDS = 10;
// Over TLS, connections still in their handshake wait in places of their own, beside the
// MOD_KOVEX4_CLIENTS clients whose handshake is done: a connection without a certificate takes
// no client's place. When these places are full, the oldest handshake gives way to the newest.
inline constexpr uint32_t SERVICE_HANDSHAKE_PLACES = 4;
inline constexpr uint32_t SERVICE_PLACES = SERVICE_MAX_CLIENTS + SERVICE_HANDSHAKE_PLACES;

// At most this many lines a second about refused connections and failed TLS handshakes (a flood
// of them must not flood the log); the rest are counted in one "N lines left out" line.
inline constexpr uint32_t SERVICE_REFUSAL_LINES = 10;

// One Modbus TCP connection: its own frame parser and the bytes of its last read not yet served.
struct ServiceClient {
    int fd = -1;
    MbapParser parser;
    uint64_t last_active = 0; // the service's event count at its accept or its last request
    std::array<uint8_t, 256> input;
    int32_t input_next = 0; // input[input_next .. input_end) is still to be parsed
    int32_t input_end = 0;
    char address[16] = ""; // the peer's dotted IPv4 address
    // Over TLS: the session (open from the accept on), when its handshake must be done, whether
    // it last waited for room to send, and whether its certificate's role may write.
    TlsSession tls{};
    int64_t handshake_due_us = 0;
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

struct Service;

// How many of the service's places may hold clients: MOD_KOVEX4_CLIENTS, and over TLS the
// handshake places besides.
uint32_t clients_places(const Service& service);

// Accepts a connection on the listening socket into a client's place (see clients.cpp), unless
// the allow list refuses it.
void clients_accept(Service& service);
// One read from a client into its input (over TLS: a step of its handshake, or its records); a
// closed or failed connection is closed here.
void clients_receive(Service& service, ServiceClient& client);
// With several clients, between two requests served: reads at once (without waiting) what the
// clients whose input is used up have sent meanwhile, so that a request arriving during another
// client's batch takes its turn in the next round instead of waiting for the whole batch.
void clients_take_in(Service& service);
// Whether `role` is one of the roles of MOD_KOVEX4_TLS_WRITERS (`writers`).
bool clients_role_writes(std::string_view writers, std::string_view role);
// Whether this client's writes (functions 16 and 6) may reach the device: over TLS, by the role
// in its certificate. MOD_KOVEX4_READ_ONLY, which refuses every client's writes, is an option of
// the request handler (MODBUS_READ_ONLY) and applies after this.
bool clients_may_write(const Service& service, const ServiceClient& client);
// Sends one answer of `size` bytes (at most MBAP_MAX_WIRE) to the client. With one client it
// waits for room up to the send limit and drops a client that does not take it by then. With
// several, an answer never waits: what the socket cannot take at once is kept and sent by
// clients_flush, and meanwhile that client's requests wait.
void clients_send(Service& service, ServiceClient& client, const uint8_t* wire, size_t size);
// Whether the client has an answer waiting for room (its requests are not read meanwhile).
inline bool clients_sending(const ServiceClient& client) {
    return client.output_next < client.output_end;
}
// Sends on with the client's kept answer, its socket having room at `now_us`.
void clients_flush(ServiceClient& client, int64_t now_us);
// What is due at `now_us`: TLS handshakes that have not ended in time are given up, clients whose
// kept answer has not gone on for the send limit are dropped, and the refusal lines left out are
// reported.
void clients_check(Service& service, int64_t now_us);
