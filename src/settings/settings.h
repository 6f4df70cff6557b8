// SPDX-License-Identifier: Apache-2.0
#pragma once
// The settings file (key=value lines) and the record loaded from it.
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

inline constexpr const char* SETTINGS_PATH = "/opt/kovex4/etc/settings";
inline constexpr int SETTINGS_SLOTS = 5;

struct Settings {
    uint32_t enabled = 0;
    std::string device;
    uint32_t baudrate = 0;
    uint32_t databits = 0;
    std::string parity;
    uint32_t stopbits = 0;
    std::string ipaddr;
    uint32_t port = 0;
    uint32_t station = 0;
    uint32_t data_period = 0;
    uint32_t alarm_period = 0;
    // Slot n (1..5) is element n - 1.
    std::array<uint32_t, SETTINGS_SLOTS> start{};
    std::array<uint32_t, SETTINGS_SLOTS> count{};
    std::array<uint32_t, SETTINGS_SLOTS> alarm{};
    // Server options, off when missing: several clients at once (up to 16; 0 or 1: one), function 6
    // (Write Single Register) served when 1, and the IPv4 address to listen on (empty: every one).
    uint32_t clients = 0;
    uint32_t write_single = 0;
    std::string listen{};
};

// Fills every field; a missing file gives zeros and empty texts. 1 when the file was opened, 0
// (errno says why) when it could not be, which reads like an empty file.
int settings_load(Settings& settings, const char* path = SETTINGS_PATH);
// 1 when the file was opened for writing, 0 otherwise.
int settings_save(const Settings& settings, const char* path = SETTINGS_PATH);

// Reader: `file` may be nullptr (a failed open), which reads like an empty file.
// std::nullopt only when the value cannot be allocated.
std::optional<std::string> settings_get_string(FILE* file, const char* key);
uint32_t settings_get_uint(FILE* file, const char* key);
uint32_t settings_get_ipaddr(FILE* file, const char* key);
// The dotted-quad conversion of settings_get_ipaddr applied to a text: 1 with `address` set, 0
// when the text is not a dotted quad.
int settings_parse_ipaddr(const char* text, uint32_t& address);

// Writer: does nothing when `file` is nullptr.
void settings_put_bool(FILE* file, const char* key, uint32_t value);
void settings_put_uint(FILE* file, const char* key, uint32_t value, bool keep_zero);
void settings_put_string(FILE* file, const char* key, const char* text);
void settings_put_ipaddr(FILE* file, const char* key, uint32_t address);
