// SPDX-License-Identifier: Apache-2.0
#pragma once
// The allow list (MOD_KOVEX4_ALLOW): the client addresses and networks that may connect.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The most entries MOD_KOVEX4_ALLOW holds; entries beyond are logged and ignored.
inline constexpr size_t SERVICE_ALLOW_MAX = 32;
// One address (mask 0xFFFFFFFF) or network of the allow list; host byte order.
struct ServiceAllowEntry {
    uint32_t network;
    uint32_t mask;
};

// MOD_KOVEX4_ALLOW as the service uses it, parsed once at start-up.
struct ServiceAllowList {
    bool restricted = false; // the setting names entries: only addresses in `entries` may connect
    uint32_t count = 0;
    std::array<ServiceAllowEntry, SERVICE_ALLOW_MAX> entries{};
};

// The next entry of a list setting (MOD_KOVEX4_ALLOW, MOD_KOVEX4_TLS_WRITERS): entries are
// separated by commas and blanks. Takes it off the front of `rest`; false when no entry is left.
bool service_list_next(std::string_view& rest, std::string_view& entry);
// "a.b.c.d" (each number 0 ... 255) or "a.b.c.d/n" (n 0 ... 32; the address bits beyond n are
// ignored): 1 with `out` set, 0 when `entry` is neither.
int service_allow_entry(std::string_view entry, ServiceAllowEntry& out);
// Parses `text` into `list`. An entry that is neither an address nor a network, or one beyond
// the table, is ignored and reported in words: to `report` when given, otherwise logged
// (LOG_ERR). A text with entries, valid or not, restricts: one whose entries are all invalid
// allows nobody.
void service_allow_load(ServiceAllowList& list, const std::string& text,
                        void (*report)(void* context, const char* message) = nullptr,
                        void* context = nullptr);
// 1 when a client at `address` (host byte order) may connect.
int service_allows(const ServiceAllowList& list, uint32_t address);
