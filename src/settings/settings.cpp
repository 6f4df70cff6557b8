// SPDX-License-Identifier: Apache-2.0
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>

namespace {

// One line buffer for all lookups; fgets fills at most 16383 characters of it, so a longer line
// is read in pieces and each piece is handled as a line of its own.
char g_line[16384];

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the `length` characters at `text` equal the whole of `key`, ignoring ASCII case.
bool key_equals(const char* text, size_t length, const char* key) {
    size_t i = 0;
    for (; i < length; ++i)
        if (key[i] == '\0' || ascii_lower(text[i]) != ascii_lower(key[i]))
            return false;
    return key[i] == '\0';
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The conversion of settings_read_number. Returns the end of the digits, or nullptr when there
// are none. Done by hand so that a 64-bit host gives the same results as the 32-bit target.
const char* parse_u32(const char* text, SettingsNumber& number) {
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
    uint32_t value;
    if (overflow)
        value = UINT32_MAX;
    else
        value = negative ? 0u - magnitude : magnitude;
    number = SettingsNumber{value, true, negative, overflow, p};
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

} // namespace

const SettingsKey* settings_find_key(std::string_view name) {
    for (const SettingsKey& key : SETTINGS_KEYS)
        if (key_equals(name.data(), name.size(), key.name))
            return &key;
    return nullptr;
}

const SettingsKey& settings_key(SettingsField field, int slot) {
    for (const SettingsKey& key : SETTINGS_KEYS)
        if (key.field == field && (key.slot == 0 || key.slot == slot))
            return key;
    return SETTINGS_KEYS[0]; // every field has a row: not reached
}

const uint32_t* settings_number(const Settings& s, const SettingsKey& key) {
    const size_t slot = key.slot > 0 ? static_cast<size_t>(key.slot - 1) : 0;
    switch (key.field) {
    case SettingsField::enabled:
        return &s.enabled;
    case SettingsField::baudrate:
        return &s.baudrate;
    case SettingsField::databits:
        return &s.databits;
    case SettingsField::stopbits:
        return &s.stopbits;
    case SettingsField::port:
        return &s.port;
    case SettingsField::station:
        return &s.station;
    case SettingsField::data_period:
        return &s.data_period;
    case SettingsField::alarm_period:
        return &s.alarm_period;
    case SettingsField::start:
        return &s.start[slot];
    case SettingsField::count:
        return &s.count[slot];
    case SettingsField::alarm:
        return &s.alarm[slot];
    case SettingsField::clients:
        return &s.clients;
    case SettingsField::write_single:
        return &s.write_single;
    case SettingsField::read_only:
        return &s.read_only;
    case SettingsField::cache_ms:
        return &s.cache_ms;
    case SettingsField::mqtt_port:
        return &s.mqtt_port;
    case SettingsField::mqtt_queue_kb:
        return &s.mqtt_queue_kb;
    default:
        return nullptr;
    }
}

uint32_t* settings_number(Settings& s, const SettingsKey& key) {
    return const_cast<uint32_t*>(settings_number(static_cast<const Settings&>(s), key));
}

const std::string* settings_text(const Settings& s, const SettingsKey& key) {
    switch (key.field) {
    case SettingsField::device:
        return &s.device;
    case SettingsField::parity:
        return &s.parity;
    case SettingsField::ipaddr:
        return &s.ipaddr;
    case SettingsField::listen:
        return &s.listen;
    case SettingsField::allow:
        return &s.allow;
    case SettingsField::tls_cert:
        return &s.tls_cert;
    case SettingsField::tls_key:
        return &s.tls_key;
    case SettingsField::tls_ca:
        return &s.tls_ca;
    case SettingsField::tls_writers:
        return &s.tls_writers;
    case SettingsField::mqtt_host:
        return &s.mqtt_host;
    case SettingsField::mqtt_client_id:
        return &s.mqtt_client_id;
    case SettingsField::mqtt_prefix:
        return &s.mqtt_prefix;
    case SettingsField::mqtt_format:
        return &s.mqtt_format;
    case SettingsField::mqtt_user:
        return &s.mqtt_user;
    case SettingsField::mqtt_password:
        return &s.mqtt_password;
    case SettingsField::mqtt_queue:
        return &s.mqtt_queue;
    default:
        return nullptr;
    }
}

std::string* settings_text(Settings& s, const SettingsKey& key) {
    return const_cast<std::string*>(settings_text(static_cast<const Settings&>(s), key));
}

bool settings_next_line(FILE* file, SettingsLine& line) {
    // An editor's "UTF-8 with BOM" puts a byte-order mark before the first key; nobody means it
    // as part of that key.
    const bool at_start = std::ftell(file) == 0;
    if (std::fgets(g_line, sizeof g_line, file) == nullptr)
        return false;
    char* text = g_line;
    if (at_start && std::strncmp(text, SETTINGS_BOM, std::strlen(SETTINGS_BOM)) == 0)
        text += std::strlen(SETTINGS_BOM);
    if (char* cr = std::strchr(text, '\r'))
        *cr = '\0';
    if (char* lf = std::strchr(text, '\n'))
        *lf = '\0';
    // The last double quote closes a quoted value; in an unquoted value it ends it early.
    if (char* quote = std::strrchr(text, '"'))
        *quote = '\0';
    line.text = text;
    const char* equals = std::strchr(text, '=');
    line.has_equals = equals != nullptr;
    if (equals == nullptr) {
        line.key = line.text;
        line.value = {};
        return true;
    }
    line.key = std::string_view(text, static_cast<size_t>(equals - text));
    const char* value = equals + 1;
    if (*value == '"')
        ++value;
    line.value = value;
    return true;
}

SettingsNumber settings_read_number(const char* text) {
    SettingsNumber number{0, false, false, false, text};
    parse_u32(text, number);
    return number;
}

std::optional<std::string> settings_get_string(FILE* file, const char* key) {
    if (file == nullptr)
        return copy_text("");
    // Every lookup scans from the start, so keys may be asked for in any order.
    rewind(file);
    SettingsLine line{};
    while (settings_next_line(file, line)) {
        if (line.has_equals && key_equals(line.key.data(), line.key.size(), key))
            return copy_text(line.value.data());
    }
    return copy_text("");
}

uint32_t settings_get_uint(FILE* file, const char* key) {
    const std::optional<std::string> text = settings_get_string(file, key);
    if (!text)
        return 0;
    return settings_read_number(text->c_str()).value;
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
        SettingsNumber number{};
        p = parse_u32(p, number);
        if (p == nullptr)
            return 0;
        value = value * 256u + number.value;
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

void settings_read(Settings& settings, FILE* file) {
    // One pass over the file: each key takes the value of the first line that names it, as a
    // lookup from the top of the file (settings_get_string) finds it.
    for (const SettingsKey& key : SETTINGS_KEYS) {
        if (key.kind == SettingsKind::number)
            *settings_number(settings, key) = 0;
        else
            settings_text(settings, key)->clear();
    }
    if (file == nullptr)
        return;
    bool found[std::size(SETTINGS_KEYS)] = {};
    rewind(file);
    SettingsLine line{};
    while (settings_next_line(file, line)) {
        const SettingsKey* key = line.has_equals ? settings_find_key(line.key) : nullptr;
        if (key == nullptr || found[key - SETTINGS_KEYS])
            continue;
        found[key - SETTINGS_KEYS] = true;
        // The value ends the line's text; one that cannot be copied reads as empty.
        if (key->kind == SettingsKind::number) {
            *settings_number(settings, *key) = settings_read_number(line.value.data()).value;
        } else if (std::optional<std::string> value = copy_text(line.value.data())) {
            settings_text(settings, *key)->swap(*value);
        }
    }
}

int settings_load(Settings& settings, const char* path) {
    // A file that cannot be opened reads like an empty one: zeros and empty texts.
    FILE* file = std::fopen(path, "r");
    const int open_errno = errno;
    settings_read(settings, file);
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
    settings_write(settings, file);
    // Write errors are not detected: the file was opened, which is all the result reports.
    std::fclose(file);
    return 1;
}

void settings_write(const Settings& settings, FILE* file) {
    for (const SettingsKey& key : SETTINGS_KEYS) {
        const uint32_t* number = settings_number(settings, key);
        const char* text = number == nullptr ? settings_text(settings, key)->c_str() : "";
        // Options are written only when set, so that a file without them stays the same.
        const bool unset = number != nullptr ? *number == 0 : *text == '\0';
        if (key.unset == SettingsDefault::omitted && unset)
            continue;
        if (key.unset == SettingsDefault::flag)
            settings_put_bool(file, key.name, *number);
        else if (number != nullptr)
            settings_put_uint(file, key.name, *number, key.unset == SettingsDefault::zero);
        else
            settings_put_string(file, key.name, text);
    }
}
