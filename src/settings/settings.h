// SPDX-License-Identifier: Apache-2.0
#pragma once
// The settings file (key=value lines) and the record loaded from it.
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

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
    // Access options, off when missing: the IPv4 addresses and networks of the clients that may
    // connect (empty: every client), and no client writes when read_only is not 0.
    std::string allow{};
    uint32_t read_only = 0;
    // Modbus over TLS, on when the three files are set: the gateway's certificate, its private
    // key and the authority that signs the clients' and the push receiver's certificates (paths of
    // PEM files); and the client roles that may write (a list, separated by commas or blanks).
    std::string tls_cert{};
    std::string tls_key{};
    std::string tls_ca{};
    std::string tls_writers{};
    // How long, in milliseconds, values read from the device may answer later reads from memory
    // (0, missing: every read goes to the device).
    uint32_t cache_ms = 0;
    // Publication to an MQTT broker, on when its host is set: the broker's host name or IPv4
    // address and port (missing: 1883, or 8883 over TLS), the client identifier and topic prefix
    // (missing: from the host name), the payload format ("json", missing, or "sparkplug"), a user
    // name and password, and the store-and-forward queue: its folder and its bound in kilobytes.
    std::string mqtt_host{};
    uint32_t mqtt_port = 0;
    std::string mqtt_client_id{};
    std::string mqtt_prefix{};
    std::string mqtt_format{};
    std::string mqtt_user{};
    std::string mqtt_password{};
    std::string mqtt_queue{};
    uint32_t mqtt_queue_kb = 0;
};

// What each key of the file sets.
enum class SettingsField : uint8_t {
    enabled,
    device,
    baudrate,
    databits,
    parity,
    stopbits,
    ipaddr,
    port,
    station,
    data_period,
    alarm_period,
    start, // of the key's slot
    count,
    alarm,
    clients,
    write_single,
    listen,
    allow,
    read_only,
    tls_cert,
    tls_key,
    tls_ca,
    tls_writers,
    cache_ms,
    mqtt_host,
    mqtt_port,
    mqtt_client_id,
    mqtt_prefix,
    mqtt_format,
    mqtt_user,
    mqtt_password,
    mqtt_queue,
    mqtt_queue_kb,
};

// How a value is read and written back: a number (decimal, 32 bits) or a text.
enum class SettingsKind : uint8_t { number, text };

// What a missing key or an empty value stands for, and so what the writer puts for 0 or "":
// `zero` writes "KEY=0", `empty` writes "KEY=", `flag` writes 0 or 1, `omitted` writes no line
// at all (an option: a file without it stays as it was).
enum class SettingsDefault : uint8_t { zero, empty, flag, omitted };

struct SettingsKey {
    const char* name; // as the file spells it; the reader ignores letter case
    SettingsField field;
    int slot; // 1..SETTINGS_SLOTS for START, COUNT and ALARM, otherwise 0
    SettingsKind kind;
    SettingsDefault unset;
};

// Every key the gateway reads, in the order the writer writes them.
inline constexpr SettingsKey SETTINGS_KEYS[] = {
    {"MOD_KOVEX4_ENABLED", SettingsField::enabled, 0, SettingsKind::number, SettingsDefault::flag},
    {"MOD_KOVEX4_DEVICE", SettingsField::device, 0, SettingsKind::text, SettingsDefault::empty},
    {"MOD_KOVEX4_BAUDRATE", SettingsField::baudrate, 0, SettingsKind::number,
     SettingsDefault::zero},
    {"MOD_KOVEX4_DATABITS", SettingsField::databits, 0, SettingsKind::number,
     SettingsDefault::zero},
    {"MOD_KOVEX4_PARITY", SettingsField::parity, 0, SettingsKind::text, SettingsDefault::empty},
    {"MOD_KOVEX4_STOPBITS", SettingsField::stopbits, 0, SettingsKind::number,
     SettingsDefault::zero},
    {"MOD_KOVEX4_IPADDR", SettingsField::ipaddr, 0, SettingsKind::text, SettingsDefault::empty},
    {"MOD_KOVEX4_PORT", SettingsField::port, 0, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_STATION", SettingsField::station, 0, SettingsKind::number, SettingsDefault::zero},
    {"MOD_KOVEX4_DATA_PERIOD", SettingsField::data_period, 0, SettingsKind::number,
     SettingsDefault::empty},
    {"MOD_KOVEX4_ALARM_PERIOD", SettingsField::alarm_period, 0, SettingsKind::number,
     SettingsDefault::empty},
    {"MOD_KOVEX4_START1", SettingsField::start, 1, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_COUNT1", SettingsField::count, 1, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_ALARM1", SettingsField::alarm, 1, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_START2", SettingsField::start, 2, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_COUNT2", SettingsField::count, 2, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_ALARM2", SettingsField::alarm, 2, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_START3", SettingsField::start, 3, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_COUNT3", SettingsField::count, 3, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_ALARM3", SettingsField::alarm, 3, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_START4", SettingsField::start, 4, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_COUNT4", SettingsField::count, 4, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_ALARM4", SettingsField::alarm, 4, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_START5", SettingsField::start, 5, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_COUNT5", SettingsField::count, 5, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_ALARM5", SettingsField::alarm, 5, SettingsKind::number, SettingsDefault::empty},
    {"MOD_KOVEX4_CLIENTS", SettingsField::clients, 0, SettingsKind::number,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_WRITE_SINGLE", SettingsField::write_single, 0, SettingsKind::number,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_LISTEN", SettingsField::listen, 0, SettingsKind::text, SettingsDefault::omitted},
    {"MOD_KOVEX4_ALLOW", SettingsField::allow, 0, SettingsKind::text, SettingsDefault::omitted},
    {"MOD_KOVEX4_READ_ONLY", SettingsField::read_only, 0, SettingsKind::number,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_TLS_CERT", SettingsField::tls_cert, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_TLS_KEY", SettingsField::tls_key, 0, SettingsKind::text, SettingsDefault::omitted},
    {"MOD_KOVEX4_TLS_CA", SettingsField::tls_ca, 0, SettingsKind::text, SettingsDefault::omitted},
    {"MOD_KOVEX4_TLS_WRITERS", SettingsField::tls_writers, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_CACHE_MS", SettingsField::cache_ms, 0, SettingsKind::number,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_HOST", SettingsField::mqtt_host, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_PORT", SettingsField::mqtt_port, 0, SettingsKind::number,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_CLIENT_ID", SettingsField::mqtt_client_id, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_PREFIX", SettingsField::mqtt_prefix, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_FORMAT", SettingsField::mqtt_format, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_USER", SettingsField::mqtt_user, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_PASSWORD", SettingsField::mqtt_password, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_QUEUE", SettingsField::mqtt_queue, 0, SettingsKind::text,
     SettingsDefault::omitted},
    {"MOD_KOVEX4_MQTT_QUEUE_KB", SettingsField::mqtt_queue_kb, 0, SettingsKind::number,
     SettingsDefault::omitted},
};
// What every key begins with.
inline constexpr std::string_view SETTINGS_KEY_PREFIX = "MOD_KOVEX4_";

// The row of the key spelled `name` (letter case ignored, nothing trimmed), or nullptr.
const SettingsKey* settings_find_key(std::string_view name);
// The row of `field` (and `slot` for START, COUNT and ALARM).
const SettingsKey& settings_key(SettingsField field, int slot = 0);
// The record's value of a number key (nullptr for a text key), or of a text key.
uint32_t* settings_number(Settings& settings, const SettingsKey& key);
const uint32_t* settings_number(const Settings& settings, const SettingsKey& key);
std::string* settings_text(Settings& settings, const SettingsKey& key);
const std::string* settings_text(const Settings& settings, const SettingsKey& key);

// The UTF-8 byte-order mark: skipped at the very start of the file.
inline constexpr char SETTINGS_BOM[] = "\xEF\xBB\xBF";

// One line of the file as the reader splits it: at most 16383 characters at a time (a longer
// line is read in pieces, each a line of its own), less a byte-order mark at the very start of
// the file, cut at its first CR or LF and at its last double quote. The key is what stands before
// the first '=', the value what follows it, less one opening double quote. The views point into the
// reader's one line buffer and stay valid until the next read.
struct SettingsLine {
    std::string_view text; // the whole line after the cuts
    std::string_view key;  // the whole line when it has no '='
    std::string_view value;
    bool has_equals;
};
// The next line of `file`: false at its end.
bool settings_next_line(FILE* file, SettingsLine& line);

// A number as the reader converts it, the way the target's C library does with a 32-bit unsigned
// long (strtoul, base 10): white space, an optional sign, digits. Magnitudes above 32 bits
// saturate to 4294967295 whatever the sign; otherwise "-" negates modulo 2^32. Without digits
// the value is 0.
struct SettingsNumber {
    uint32_t value;
    bool digits;      // false: no digits, the value is 0
    bool negative;    // a '-' stood before the digits
    bool saturated;   // the magnitude did not fit 32 bits
    const char* rest; // the text after the digits (`text` itself without digits)
};
SettingsNumber settings_read_number(const char* text);

// Fills every field; a missing file gives zeros and empty texts. 1 when the file was opened, 0
// (errno says why) when it could not be, which reads like an empty file.
int settings_load(Settings& settings, const char* path = SETTINGS_PATH);
// The same from an open file; nullptr reads like an empty file.
void settings_read(Settings& settings, FILE* file);
// 1 when the file was opened for writing, 0 otherwise.
int settings_save(const Settings& settings, const char* path = SETTINGS_PATH);
// The same to an open file; nullptr writes nothing.
void settings_write(const Settings& settings, FILE* file);

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
