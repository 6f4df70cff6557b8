// SPDX-License-Identifier: Apache-2.0
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// One line buffer for all lookups; fgets fills at most 16383 characters of it, so a longer line
// is read in pieces and each piece is handled as a line of its own.
char g_line[16384];

constexpr const char* KEY_ENABLED = "MOD_KOVEX4_ENABLED";
constexpr const char* KEY_DEVICE = "MOD_KOVEX4_DEVICE";
constexpr const char* KEY_BAUDRATE = "MOD_KOVEX4_BAUDRATE";
constexpr const char* KEY_DATABITS = "MOD_KOVEX4_DATABITS";
constexpr const char* KEY_PARITY = "MOD_KOVEX4_PARITY";
constexpr const char* KEY_STOPBITS = "MOD_KOVEX4_STOPBITS";
constexpr const char* KEY_IPADDR = "MOD_KOVEX4_IPADDR";
constexpr const char* KEY_PORT = "MOD_KOVEX4_PORT";
constexpr const char* KEY_STATION = "MOD_KOVEX4_STATION";
constexpr const char* KEY_DATA_PERIOD = "MOD_KOVEX4_DATA_PERIOD";
constexpr const char* KEY_ALARM_PERIOD = "MOD_KOVEX4_ALARM_PERIOD";
constexpr const char* FMT_START = "MOD_KOVEX4_START%d";
constexpr const char* FMT_COUNT = "MOD_KOVEX4_COUNT%d";
constexpr const char* FMT_ALARM = "MOD_KOVEX4_ALARM%d";
constexpr const char* KEY_CLIENTS = "MOD_KOVEX4_CLIENTS";
constexpr const char* KEY_WRITE_SINGLE = "MOD_KOVEX4_WRITE_SINGLE";
constexpr const char* KEY_LISTEN = "MOD_KOVEX4_LISTEN";

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the `length` characters at `text` equal the whole of `key`, ignoring ASCII case.
bool key_equals(const char* text, size_t length, const char* key) {
    if (std::strlen(key) != length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (ascii_lower(text[i]) != ascii_lower(key[i]))
            return false;
    return true;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal conversion as the target's C library does it with a 32-bit unsigned long (strtoul, base
// 10; scanf "%u" uses the same): white space, optional sign, digits. Magnitudes above 32 bits
// saturate to 4294967295 whatever the sign; otherwise "-" negates modulo 2^32. Done by hand so
// that a 64-bit host gives the same results. Returns the end of the digits, or nullptr when
// there are none.
const char* parse_u32(const char* text, uint32_t& value) {
    const char* p = text;
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    if (*p < '0' || *p > '9')
        return nullptr;
    uint32_t magnitude = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const uint32_t digit = static_cast<uint32_t>(*p - '0');
        if (overflow || magnitude > (UINT32_MAX - digit) / 10u)
            overflow = true;
        else
            magnitude = magnitude * 10u + digit;
    }
    if (overflow)
        value = UINT32_MAX;
    else
        value = negative ? 0u - magnitude : magnitude;
    return p;
}

// Copy of a looked-up value; std::nullopt when it cannot be allocated.
std::optional<std::string> copy_text(const char* text) {
    try {
        return std::string(text);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

void load_text(FILE* file, const char* key, std::string& field) {
    std::optional<std::string> value = settings_get_string(file, key);
    if (value)
        field.swap(*value);
    else
        field.clear();
}

} // namespace

std::optional<std::string> settings_get_string(FILE* file, const char* key) {
    if (file == nullptr)
        return copy_text("");
    // Every lookup scans from the start, so keys may be asked for in any order.
    rewind(file);
    while (std::fgets(g_line, sizeof g_line, file) != nullptr) {
        if (char* cr = std::strchr(g_line, '\r'))
            *cr = '\0';
        if (char* lf = std::strchr(g_line, '\n'))
            *lf = '\0';
        // The last double quote closes a quoted value; in an unquoted value it ends it early.
        if (char* quote = std::strrchr(g_line, '"'))
            *quote = '\0';
        const char* equals = std::strchr(g_line, '=');
        if (equals == nullptr)
            continue;
        if (!key_equals(g_line, static_cast<size_t>(equals - g_line), key))
            continue;
        const char* value = equals + 1;
        if (*value == '"')
            ++value;
        return copy_text(value);
    }
    return copy_text("");
}

uint32_t settings_get_uint(FILE* file, const char* key) {
    const std::optional<std::string> text = settings_get_string(file, key);
    if (!text)
        return 0;
    uint32_t value = 0;
    if (parse_u32(text->c_str(), value) == nullptr)
        return 0;
    return value;
}

int settings_parse_ipaddr(const char* text, uint32_t& address) {
    // "%u.%u.%u.%u": each number may have white space and a sign in front, the dots must follow
    // the digits directly. Numbers above 255 spill into the next byte up.
    const char* p = text;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.')
                return 0;
            ++p;
        }
        uint32_t number = 0;
        p = parse_u32(p, number);
        if (p == nullptr)
            return 0;
        value = value * 256u + number;
    }
    address = value;
    return 1;
}

uint32_t settings_get_ipaddr(FILE* file, const char* key) {
    const std::optional<std::string> text = settings_get_string(file, key);
    uint32_t address = 0;
    if (!text || !settings_parse_ipaddr(text->c_str(), address))
        return 0;
    return address;
}

void settings_put_bool(FILE* file, const char* key, uint32_t value) {
    if (file == nullptr)
        return;
    std::fprintf(file, "%s=%u\n", key, value != 0 ? 1u : 0u);
}

void settings_put_uint(FILE* file, const char* key, uint32_t value, bool keep_zero) {
    if (file == nullptr)
        return;
    if (value != 0 || keep_zero)
        std::fprintf(file, "%s=%u\n", key, static_cast<unsigned>(value));
    else
        std::fprintf(file, "%s=\n", key);
}

void settings_put_string(FILE* file, const char* key, const char* text) {
    if (file == nullptr)
        return;
    // Only a blank makes the value quoted; tabs and other white space do not.
    if (std::strchr(text, ' ') != nullptr)
        std::fprintf(file, "%s=\"%.16000s\"\n", key, text);
    else
        std::fprintf(file, "%s=%.16000s\n", key, text);
}

void settings_put_ipaddr(FILE* file, const char* key, uint32_t address) {
    if (file == nullptr)
        return;
    if (address == 0) {
        std::fprintf(file, "%s=\n", key);
        return;
    }
    std::fprintf(file, "%s=%u.%u.%u.%u\n", key, static_cast<unsigned>((address >> 24) & 0xFFu),
                 static_cast<unsigned>((address >> 16) & 0xFFu),
                 static_cast<unsigned>((address >> 8) & 0xFFu),
                 static_cast<unsigned>(address & 0xFFu));
}

int settings_load(Settings& settings, const char* path) {
    // A file that cannot be opened reads like an empty one: zeros and empty texts.
    FILE* file = std::fopen(path, "r");
    const int open_errno = errno;
    settings.enabled = settings_get_uint(file, KEY_ENABLED);
    load_text(file, KEY_DEVICE, settings.device);
    settings.baudrate = settings_get_uint(file, KEY_BAUDRATE);
    settings.databits = settings_get_uint(file, KEY_DATABITS);
    load_text(file, KEY_PARITY, settings.parity);
    settings.stopbits = settings_get_uint(file, KEY_STOPBITS);
    load_text(file, KEY_IPADDR, settings.ipaddr);
    settings.port = settings_get_uint(file, KEY_PORT);
    settings.station = settings_get_uint(file, KEY_STATION);
    settings.data_period = settings_get_uint(file, KEY_DATA_PERIOD);
    settings.alarm_period = settings_get_uint(file, KEY_ALARM_PERIOD);
    char key[32];
    for (int n = 1; n <= SETTINGS_SLOTS; ++n) {
        std::snprintf(key, sizeof key, FMT_START, n);
        settings.start[n - 1] = settings_get_uint(file, key);
        std::snprintf(key, sizeof key, FMT_COUNT, n);
        settings.count[n - 1] = settings_get_uint(file, key);
        std::snprintf(key, sizeof key, FMT_ALARM, n);
        settings.alarm[n - 1] = settings_get_uint(file, key);
    }
    settings.clients = settings_get_uint(file, KEY_CLIENTS);
    settings.write_single = settings_get_uint(file, KEY_WRITE_SINGLE);
    load_text(file, KEY_LISTEN, settings.listen);
    if (file == nullptr) {
        errno = open_errno;
        return 0;
    }
    std::fclose(file);
    return 1;
}

int settings_save(const Settings& settings, const char* path) {
    FILE* file = std::fopen(path, "w");
    if (file == nullptr)
        return 0;
    settings_put_bool(file, KEY_ENABLED, settings.enabled);
    settings_put_string(file, KEY_DEVICE, settings.device.c_str());
    settings_put_uint(file, KEY_BAUDRATE, settings.baudrate, true);
    settings_put_uint(file, KEY_DATABITS, settings.databits, true);
    settings_put_string(file, KEY_PARITY, settings.parity.c_str());
    settings_put_uint(file, KEY_STOPBITS, settings.stopbits, true);
    settings_put_string(file, KEY_IPADDR, settings.ipaddr.c_str());
    settings_put_uint(file, KEY_PORT, settings.port, false);
    settings_put_uint(file, KEY_STATION, settings.station, true);
    settings_put_uint(file, KEY_DATA_PERIOD, settings.data_period, false);
    settings_put_uint(file, KEY_ALARM_PERIOD, settings.alarm_period, false);
    char key[32];
    for (int n = 1; n <= SETTINGS_SLOTS; ++n) {
        std::snprintf(key, sizeof key, FMT_START, n);
        settings_put_uint(file, key, settings.start[n - 1], false);
        std::snprintf(key, sizeof key, FMT_COUNT, n);
        settings_put_uint(file, key, settings.count[n - 1], false);
        std::snprintf(key, sizeof key, FMT_ALARM, n);
        settings_put_uint(file, key, settings.alarm[n - 1], false);
    }
    // The server options are written only when set, so that a file without them stays the same.
    if (settings.clients != 0)
        settings_put_uint(file, KEY_CLIENTS, settings.clients, false);
    if (settings.write_single != 0)
        settings_put_uint(file, KEY_WRITE_SINGLE, settings.write_single, false);
    if (!settings.listen.empty())
        settings_put_string(file, KEY_LISTEN, settings.listen.c_str());
    // Write errors are not detected: the file was opened, which is all the result reports.
    std::fclose(file);
    return 1;
}
