// SPDX-License-Identifier: Apache-2.0
// kovex4-probe's judgement: the settings file key by key, one device exchange in words, the
// register ranges to read. The values come from the gateway's own reader, recogniser and register
// map; this file only explains them.
#include "probe.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "device/commands.h"
#include "device/link.h"
#include "regmap/regmap.h"
#include "regmap/regs.h"
#include "sys/sockets.h"

namespace {

constexpr const char* KEY_PREFIX = "MOD_KOVEX4_";

enum class Kind : uint8_t {
    enabled,
    device,
    baudrate,
    databits,
    parity,
    stopbits,
    ipaddr,
    port,
    station,
    period,
    start,
    count,
    alarm,
    clients,
    write_single,
    listen
};

struct KeyRule {
    std::string key;
    Kind kind;
    const uint32_t* number; // the loaded value of a number key, nullptr for a text key
    int slot;               // 1..5 for START, COUNT, ALARM
};

// Every key the gateway reads, in the order of its settings record.
std::vector<KeyRule> all_keys(const Settings& s) {
    std::vector<KeyRule> keys = {
        {"MOD_KOVEX4_ENABLED", Kind::enabled, &s.enabled, 0},
        {"MOD_KOVEX4_DEVICE", Kind::device, nullptr, 0},
        {"MOD_KOVEX4_BAUDRATE", Kind::baudrate, &s.baudrate, 0},
        {"MOD_KOVEX4_DATABITS", Kind::databits, &s.databits, 0},
        {"MOD_KOVEX4_PARITY", Kind::parity, nullptr, 0},
        {"MOD_KOVEX4_STOPBITS", Kind::stopbits, &s.stopbits, 0},
        {"MOD_KOVEX4_IPADDR", Kind::ipaddr, nullptr, 0},
        {"MOD_KOVEX4_PORT", Kind::port, &s.port, 0},
        {"MOD_KOVEX4_STATION", Kind::station, &s.station, 0},
        {"MOD_KOVEX4_DATA_PERIOD", Kind::period, &s.data_period, 0},
        {"MOD_KOVEX4_ALARM_PERIOD", Kind::period, &s.alarm_period, 0},
    };
    for (int n = 1; n <= SETTINGS_SLOTS; ++n) {
        keys.push_back({"MOD_KOVEX4_START" + std::to_string(n), Kind::start, &s.start[n - 1], n});
        keys.push_back({"MOD_KOVEX4_COUNT" + std::to_string(n), Kind::count, &s.count[n - 1], n});
        keys.push_back({"MOD_KOVEX4_ALARM" + std::to_string(n), Kind::alarm, &s.alarm[n - 1], n});
    }
    keys.push_back({"MOD_KOVEX4_CLIENTS", Kind::clients, &s.clients, 0});
    keys.push_back({"MOD_KOVEX4_WRITE_SINGLE", Kind::write_single, &s.write_single, 0});
    keys.push_back({"MOD_KOVEX4_LISTEN", Kind::listen, nullptr, 0});
    return keys;
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string trim(const std::string& text) {
    size_t a = 0;
    size_t b = text.size();
    while (a < b && is_blank(text[a]))
        ++a;
    while (b > a && is_blank(text[b - 1]))
        --b;
    return text.substr(a, b - a);
}

// The shape of a number's text as the reader scans it: blanks, a sign, digits, the rest.
struct NumberText {
    bool digits = false;
    bool minus = false;
    bool overflow = false; // more than 32 bits: the reader saturates
    std::string rest;      // what follows the digits, blanks removed at its end
};

NumberText scan_number(const std::string& text) {
    NumberText n;
    size_t i = 0;
    while (i < text.size() && is_blank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        n.minus = text[i++] == '-';
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        n.digits = true;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX) {
            n.overflow = true;
            value = UINT32_MAX;
        }
    }
    n.rest = n.digits ? trim(text.substr(i)) : trim(text);
    return n;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string dotted(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

// The IPv4 addresses of this machine, host order (loopback included).
std::vector<uint32_t> local_addresses() {
    std::vector<uint32_t> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next)
        if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET)
            out.push_back(
                ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr));
    freeifaddrs(list);
    return out;
}

bool is_local(uint32_t address, const std::vector<uint32_t>& locals) {
    if ((address >> 24) == 127)
        return true;
    for (uint32_t a : locals)
        if (a == address)
            return true;
    return false;
}

bool slot_pushed(uint32_t start, uint32_t count) {
    return count >= 1 && count <= 123 && start >= 1 &&
           static_cast<uint64_t>(start) + count - 1 <= 0x10000;
}

// Why slot n is not pushed, empty when it is.
std::string slot_problem(uint32_t start, uint32_t count) {
    if (count == 0)
        return "its COUNT is 0";
    if (count > 123)
        return "its COUNT " + std::to_string(count) + " is above 123 (the most one push carries)";
    if (start == 0)
        return "its START is 0 (registers count from 1)";
    if (static_cast<uint64_t>(start) + count - 1 > 0x10000)
        return "registers " + std::to_string(start) + " to " +
               std::to_string(static_cast<uint64_t>(start) + count - 1) +
               " run past register 65536";
    return "";
}

// The lines of the file as the reader splits them: at most 16383 characters at a time, cut at the
// first CR or LF and at the last double quote.
std::vector<std::string> reader_lines(FILE* file) {
    std::vector<std::string> lines;
    static char buffer[16384];
    rewind(file);
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        if (char* cr = std::strchr(buffer, '\r'))
            *cr = '\0';
        if (char* lf = std::strchr(buffer, '\n'))
            *lf = '\0';
        if (char* quote = std::strrchr(buffer, '"'))
            *quote = '\0';
        lines.emplace_back(buffer);
    }
    return lines;
}

struct Checker {
    ProbeSettingsReport& report;
    std::vector<uint32_t> locals;

    void warn(int line, const std::string& key, const std::string& text) {
        report.warnings.push_back({line, key, text});
    }

    // Warnings every number shares: text after the digits, a sign, no digits, overflow.
    void check_number(const ProbeKeyRow& row, uint32_t value) {
        if (row.line == 0 || row.text.empty())
            return;
        const NumberText n = scan_number(row.text);
        const std::string v = std::to_string(value);
        if (!n.digits)
            warn(row.line, row.key, quoted(row.text) + " is not a number: it counts as 0");
        else if (n.overflow)
            warn(row.line, row.key, quoted(row.text) + " is above 4294967295, so it is 4294967295");
        else if (n.minus && value != 0)
            warn(row.line, row.key, quoted(row.text) + " is negative and wraps around to " + v);
        if (n.digits && !n.rest.empty())
            warn(row.line, row.key,
                 quoted(row.text) + " is read as " + v + ": the text after the digits is ignored");
    }

    void explain(ProbeKeyRow& row, const KeyRule& rule) {
        const Settings& s = report.settings;
        const int i = rule.slot - 1;
        switch (rule.kind) {
        case Kind::enabled:
            row.used = std::to_string(s.enabled);
            row.note = "not checked: the gateway runs whenever it is started";
            break;
        case Kind::device: {
            row.used = "/dev/" + s.device;
            const size_t slash = row.used.rfind('/');
            row.note = "lock file LCK.." + row.used.substr(slash + 1);
            if (s.device.empty())
                warn(row.line, row.key,
                     "no device: the gateway stops at once (open(/dev/) error: Is a directory)");
            else if (trim(s.device) != s.device)
                warn(row.line, row.key,
                     "the blanks are part of the name: the gateway opens " + quoted(row.used));
            else if (access(row.used.c_str(), F_OK) != 0)
                warn(row.line, row.key, row.used + " does not exist on this machine");
            break;
        }
        case Kind::baudrate: {
            const uint32_t speed = probe_line_speed(s.baudrate);
            row.used = std::to_string(speed) + " bit/s";
            if (speed != s.baudrate && !(s.baudrate == 0 && row.text.empty()))
                warn(row.line, row.key,
                     std::to_string(s.baudrate) +
                         " is not a speed the line supports: the gateway uses 9600 bit/s");
            else if (s.baudrate == 0)
                row.note = "default";
            break;
        }
        case Kind::databits:
            row.used = s.databits == 7 ? "7" : "8";
            if (s.databits != 7 && s.databits != 8 && s.databits != 0)
                warn(row.line, row.key,
                     std::to_string(s.databits) +
                         " data bits are not possible: the gateway uses 8");
            break;
        case Kind::parity: {
            const char first = s.parity.empty() ? '\0' : s.parity[0];
            row.used = first == 'O' ? "odd" : first == 'E' ? "even" : "none";
            row.note = "only the first letter counts, in upper case";
            if (first == 'o' || first == 'e')
                warn(row.line, row.key,
                     quoted(s.parity) + " means no parity: the letter must be upper case (" +
                         static_cast<char>(first - 'a' + 'A') + ")");
            else if (first != '\0' && first != 'N' && first != 'n' && first != 'O' && first != 'E')
                warn(row.line, row.key, quoted(s.parity) + " is not O, E or N: no parity");
            break;
        }
        case Kind::stopbits:
            row.used = s.stopbits == 2 ? "2" : "1";
            if (s.stopbits > 2)
                warn(row.line, row.key,
                     std::to_string(s.stopbits) +
                         " stop bits are not possible: the gateway uses 1");
            break;
        case Kind::station:
            row.used = std::to_string(s.station & 0xFF);
            if (s.station > 255)
                warn(row.line, row.key,
                     "station " + std::to_string(s.station) + " is station " +
                         std::to_string(s.station & 0xFF) + ": only the low 8 bits are used");
            break;
        case Kind::port:
            row.used = std::to_string(s.port & 0xFFFF);
            if (s.port > 0xFFFF)
                warn(row.line, row.key,
                     "port " + std::to_string(s.port) + " is port " +
                         std::to_string(s.port & 0xFFFF) + ": only the low 16 bits are used");
            if ((s.port & 0xFFFF) == 0)
                warn(row.line, row.key,
                     "port 0: the gateway listens on a port the system picks, which no client can "
                     "know");
            row.note = "listens on it, and pushes to it";
            break;
        case Kind::period:
            row.used = *rule.number == 0 ? "off" : std::to_string(*rule.number) + " s";
            break;
        case Kind::start:
            row.used = s.start[i] == 0 ? "none" : std::to_string(s.start[i]);
            if (s.start[i] != 0)
                row.note = "address " + std::to_string(s.start[i] - 1);
            break;
        case Kind::count:
            row.used = std::to_string(s.count[i]);
            if (slot_pushed(s.start[i], s.count[i]))
                row.note = "slot " + std::to_string(rule.slot) + ": registers " +
                           std::to_string(s.start[i]) + "-" +
                           std::to_string(s.start[i] + s.count[i] - 1);
            else if (s.start[i] != 0 || s.count[i] != 0 || s.alarm[i] != 0)
                row.note = "slot " + std::to_string(rule.slot) + " is never pushed";
            break;
        case Kind::alarm:
            row.used = s.alarm[i] == 0 ? "none" : std::to_string(s.alarm[i]);
            explain_alarm(row, s.alarm[i]);
            break;
        case Kind::clients:
            row.used = std::to_string(s.clients < 1 ? 1 : s.clients > 16 ? 16 : s.clients);
            if (s.clients > 16)
                warn(row.line, row.key,
                     std::to_string(s.clients) + " clients: the gateway serves at most 16");
            break;
        case Kind::write_single:
            row.used = s.write_single != 0 ? "on" : "off";
            row.note = "Modbus function 6";
            break;
        case Kind::listen:
            explain_listen(row);
            break;
        case Kind::ipaddr:
            explain_ipaddr(row);
            break;
        }
    }

    void explain_alarm(ProbeKeyRow& row, uint32_t alarm) {
        if (alarm == 0)
            return;
        if (alarm > 0x10000) {
            warn(row.line, row.key,
                 "register " + std::to_string(alarm) + " is past register 65536: it never reads");
            return;
        }
        const RegMapEntry* entry = regmap_lookup(alarm - 1);
        if (entry != nullptr && entry->item_count > 1)
            warn(row.line, row.key,
                 "register " + std::to_string(alarm) + " is bit-packed (" +
                     probe_describe_range(alarm - 1, 1) +
                     "): clearing it after a push clears all of its items");
        else if (entry == nullptr || entry->item_count == 0)
            row.note = "a register without an item: always 0";
    }

    void explain_listen(ProbeKeyRow& row) {
        const std::string& listen = report.settings.listen;
        uint32_t address = 0;
        if (listen.empty()) {
            row.used = "every address";
        } else if (!settings_parse_ipaddr(listen.c_str(), address)) {
            row.used = "no Modbus server";
            warn(row.line, row.key,
                 quoted(listen) + " is not an IPv4 address: the gateway runs without a Modbus "
                                  "server");
        } else {
            row.used = dotted(address);
            if (address != 0 && !is_local(address, locals))
                warn(row.line, row.key,
                     row.used + " is not an address of this machine: the gateway cannot listen on "
                                "it and runs without a Modbus server");
        }
    }

    void explain_ipaddr(ProbeKeyRow& row) {
        const Settings& s = report.settings;
        if (s.ipaddr.empty()) {
            row.used = "none";
            row.note = "nothing is pushed";
            return;
        }
        // The gateway looks the name up at every push, with the same resolver.
        const uint32_t address = resolve_hostname(s.ipaddr.c_str());
        row.used = s.ipaddr;
        if (address == 0) {
            warn(row.line, row.key,
                 quoted(s.ipaddr) + " cannot be resolved: every push fails (\"error resolving "
                                    "hostname\")");
            return;
        }
        if (dotted(address) != s.ipaddr)
            row.note = "now " + dotted(address);
        uint32_t listen = 0;
        const bool serves_it =
            s.listen.empty() ||
            (settings_parse_ipaddr(s.listen.c_str(), listen) && (listen == 0 || listen == address));
        if (is_local(address, locals) && serves_it)
            warn(row.line, row.key,
                 "the push target " + dotted(address) +
                     " is this gateway itself: its pushes go to " +
                     "its own Modbus server on port " + std::to_string(s.port & 0xFFFF));
    }

    // Findings about the push as a whole.
    void check_push() {
        const Settings& s = report.settings;
        int pushed = 0;
        for (int i = 0; i < SETTINGS_SLOTS; ++i) {
            const std::string n = std::to_string(i + 1);
            if (slot_pushed(s.start[i], s.count[i])) {
                ++pushed;
            } else if (s.start[i] != 0 || s.count[i] != 0 || s.alarm[i] != 0) {
                warn(row_line("MOD_KOVEX4_COUNT" + n), "MOD_KOVEX4_COUNT" + n,
                     "slot " + n + " is never pushed: " + slot_problem(s.start[i], s.count[i]));
            }
        }
        if (s.ipaddr.empty()) {
            if (pushed > 0)
                warn(0, "MOD_KOVEX4_IPADDR",
                     "slots are set but MOD_KOVEX4_IPADDR is empty: nothing is pushed");
            return;
        }
        if (pushed == 0)
            warn(row_line("MOD_KOVEX4_IPADDR"), "MOD_KOVEX4_IPADDR",
                 "a push target, but no slot that can be pushed");
        else if (s.data_period == 0 && s.alarm_period == 0)
            warn(row_line("MOD_KOVEX4_IPADDR"), "MOD_KOVEX4_IPADDR",
                 "a push target, but MOD_KOVEX4_DATA_PERIOD and MOD_KOVEX4_ALARM_PERIOD are both "
                 "0: nothing is pushed");
    }

    int row_line(const std::string& key) const {
        for (const ProbeKeyRow& row : report.rows)
            if (row.key == key)
                return row.line;
        return 0;
    }
};

} // namespace

bool probe_check_settings(const char* path, ProbeSettingsReport& report) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    report = ProbeSettingsReport{};
    settings_load(report.settings, path);
    const std::vector<KeyRule> keys = all_keys(report.settings);
    const std::vector<std::string> lines = reader_lines(file);
    Checker check{report, local_addresses()};

    // Which line each key comes from, and the lines the reader passes over.
    std::vector<int> first(keys.size(), 0);
    for (size_t n = 0; n < lines.size(); ++n) {
        const int line = static_cast<int>(n + 1);
        const size_t equals = lines[n].find('=');
        const std::string key = lines[n].substr(0, equals);
        const std::string folded = upper(key);
        size_t k = 0;
        while (k < keys.size() && keys[k].key != folded)
            ++k;
        if (equals != std::string::npos && k < keys.size()) {
            if (first[k] == 0)
                first[k] = line;
            else
                check.warn(line, keys[k].key,
                           quoted(lines[n]) + " is ignored: line " + std::to_string(first[k]) +
                               " sets the key first (keys are compared ignoring letter case)");
            continue;
        }
        const std::string trimmed = upper(trim(key));
        if (trimmed.rfind(KEY_PREFIX, 0) != 0)
            continue; // comments, blank lines, other programs' keys
        if (equals == std::string::npos)
            check.warn(line, "", quoted(lines[n]) + " has no \"=\" and is ignored");
        else if (std::find_if(keys.begin(), keys.end(),
                              [&](const KeyRule& s) { return s.key == trimmed; }) != keys.end())
            check.warn(line, trimmed,
                       "the key " + quoted(key) +
                           " has blanks around it and is ignored: nothing is trimmed");
        else
            check.warn(line, "", "unknown key " + quoted(key) + " is ignored");
    }

    for (size_t k = 0; k < keys.size(); ++k) {
        ProbeKeyRow row;
        row.key = keys[k].key;
        row.line = first[k];
        if (row.line != 0) {
            const std::optional<std::string> text = settings_get_string(file, row.key.c_str());
            row.text = text ? *text : "";
        }
        report.rows.push_back(row);
    }
    std::fclose(file);
    for (size_t k = 0; k < keys.size(); ++k) {
        ProbeKeyRow& row = report.rows[k];
        if (keys[k].number != nullptr)
            check.check_number(row, *keys[k].number);
        check.explain(row, keys[k]);
    }
    check.check_push();
    // In the order of the file; findings about the file as a whole last.
    std::stable_sort(report.warnings.begin(), report.warnings.end(),
                     [](const ProbeWarning& a, const ProbeWarning& b) {
                         return (a.line == 0 ? INT32_MAX : a.line) <
                                (b.line == 0 ? INT32_MAX : b.line);
                     });
    return true;
}

uint32_t probe_settings_number(const char* text) {
    std::string line = "N=" + std::string(text) + "\n";
    FILE* file = fmemopen(line.data(), line.size(), "r");
    const uint32_t value = settings_get_uint(file, "N");
    if (file != nullptr)
        std::fclose(file);
    return value;
}

uint32_t probe_line_speed(uint32_t baudrate) {
    for (uint32_t speed : PROBE_SPEEDS)
        if (speed == baudrate)
            return speed;
    return 9600;
}

ProbeFinding probe_classify(const uint8_t* sent, size_t sent_len, const uint8_t* received,
                            size_t received_len) {
    ProbeFinding f;
    const uint8_t station = sent_len > 3 ? sent[3] : 0;
    const uint8_t command = sent_len > 4 ? sent[4] : 0;
    f.command = command;
    if (command == DEV_CMD_READ_ITEMS && sent_len > 5)
        f.want_count = sent[5];
    else if (command == DEV_CMD_READ_BLOCK)
        f.want_count = 10;
    if (received_len == 0)
        return f;

    // The gateway's recogniser over everything received. The reply begins at the STX that last
    // started a frame; a checksum that does not match sends it back to the start from one of the
    // two checksum states.
    DevReply reply;
    DevRecogniser rec{};
    dev_recogniser_reset(rec, reply);
    bool checksum_failed = false;
    size_t begin = 0;
    size_t end = received_len;
    for (size_t i = 0; i < received_len && end == received_len; ++i) {
        const DevState before = rec.state;
        if (dev_recognise_byte(rec, received[i]))
            end = i;
        else if (before == DevState::FIRST_STX && rec.state == DevState::FIRST_LEN)
            begin = i;
        else if ((before == DevState::LONG_SUM_LO || before == DevState::LONG_SUM_HI) &&
                 rec.state == DevState::FIRST_STX)
            checksum_failed = true;
    }
    if (end == received_len) {
        f.verdict = checksum_failed                    ? ProbeVerdict::bad_checksum
                    : rec.state != DevState::FIRST_STX ? ProbeVerdict::incomplete
                                                       : ProbeVerdict::no_reply;
        return f;
    }
    f.garbage = begin;
    f.reply_len = end + 1 - begin;
    f.station = reply.station;
    const bool read = command == DEV_CMD_READ_ITEMS || command == DEV_CMD_READ_BLOCK;
    if (reply.station != station)
        f.verdict = ProbeVerdict::other_station;
    else if (reply.code == DEV_NAK)
        f.verdict = ProbeVerdict::nak;
    else if (read != (reply.code == DEV_DATA_FOLLOWS) || (!read && reply.code != DEV_ACK))
        f.verdict = ProbeVerdict::unexpected;
    else if (read) {
        f.got_count = command == DEV_CMD_READ_ITEMS ? reply.data[0] : reply.data_len;
        f.verdict = f.got_count == f.want_count ? ProbeVerdict::ok : ProbeVerdict::wrong_count;
    } else {
        f.verdict = ProbeVerdict::ok;
    }
    return f;
}

const char* probe_verdict_name(ProbeVerdict verdict) {
    static const char* const names[] = {"ok",           "silence",       "nak",
                                        "bad_checksum", "other_station", "wrong_count",
                                        "unexpected",   "incomplete",    "no_reply"};
    return names[static_cast<size_t>(verdict)];
}

std::string probe_describe(const ProbeFinding& f, uint8_t station_asked) {
    std::string text;
    switch (f.verdict) {
    case ProbeVerdict::ok:
        text = "ok";
        break;
    case ProbeVerdict::silence:
        text = "no answer within " + std::to_string(DEV_BUDGET_SECONDS) +
               " s: wrong station, speed or wiring, or the device is off";
        break;
    case ProbeVerdict::nak:
        text = "NAK: the device refused the request (an item it does not have?)";
        break;
    case ProbeVerdict::bad_checksum:
        text = "a reply with a bad checksum: noise on the line, or wrong parity or data bits";
        break;
    case ProbeVerdict::other_station:
        text = "a reply from station " + std::to_string(f.station) + ", not " +
               std::to_string(station_asked) +
               ": two devices on the line, or one that ignores its address";
        break;
    case ProbeVerdict::wrong_count:
        text = f.command == DEV_CMD_READ_BLOCK
                   ? "a block of " + std::to_string(f.got_count) + " bytes, not 10"
                   : "wrong item count: " + std::to_string(f.got_count) + " for " +
                         std::to_string(f.want_count) +
                         " asked (the device's items differ from the register map?)";
        break;
    case ProbeVerdict::unexpected:
        text = "a reply of the wrong kind for this request";
        break;
    case ProbeVerdict::incomplete:
        text = "the start of a reply, then nothing more within " +
               std::to_string(DEV_BUDGET_SECONDS) + " s";
        break;
    case ProbeVerdict::no_reply:
        text = "bytes that form no reply: wrong speed, data bits or parity, or noise";
        break;
    }
    if (f.garbage > 0)
        text += "; " + std::to_string(f.garbage) + " bytes of garbage came before the reply";
    return text;
}

uint32_t probe_request_end(uint32_t start, uint32_t end) {
    if (start == REGS_BLOCK_START && end - start == REGS_BLOCK_COUNT)
        return end;
    int total = 0;
    uint32_t r = start;
    for (; r < end; ++r) {
        const RegMapEntry* row = regmap_lookup(r);
        if (row == nullptr)
            continue;
        if (total + row->item_count > REGS_BATCH_ITEMS)
            break;
        total += row->item_count;
    }
    return r;
}

std::string probe_describe_range(uint32_t start, uint32_t count) {
    if (start == REGS_BLOCK_START && count == REGS_BLOCK_COUNT)
        return "the block";
    std::string text;
    int type = -1;
    int first = 0;
    int last = -2;
    auto flush = [&] {
        if (type < 0)
            return;
        char item[32];
        if (last > first)
            std::snprintf(item, sizeof item, "%s%c %d-%d", text.empty() ? "" : ", ", type, first,
                          last);
        else
            std::snprintf(item, sizeof item, "%s%c %d", text.empty() ? "" : ", ", type, first);
        text += item;
    };
    for (uint32_t r = start; r < start + count; ++r) {
        const RegMapEntry* row = regmap_lookup(r);
        if (row == nullptr || row->item_count == 0)
            continue;
        const int from = row->first_item;
        const int to = from + row->item_count - 1;
        if (row->item_type == type && from == last + 1) {
            last = to;
            continue;
        }
        flush();
        type = row->item_type;
        first = from;
        last = to;
    }
    flush();
    return text.empty() ? "no items" : text;
}

bool probe_parse_register(const char* text, ProbeRange& range) {
    auto number = [](const char*& p, uint32_t& out) {
        int base = 10;
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
        }
        const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
        uint64_t v = 0;
        const char* begin = p;
        for (; *p != '\0' && std::strchr(digits, *p) != nullptr; ++p) {
            const int d = *p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10;
            v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            if (v > 0x10000)
                return false;
        }
        out = static_cast<uint32_t>(v);
        return p != begin;
    };
    const char* p = text;
    range = {0, 1};
    if (!number(p, range.start) || range.start > 0xFFFF)
        return false;
    if (*p == ':') {
        ++p;
        if (!number(p, range.count) || range.count < 1 || range.count > 125)
            return false;
    }
    return *p == '\0' && range.start + range.count <= 0x10000;
}

std::string probe_hex(const uint8_t* bytes, size_t n) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

std::string probe_json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string probe_last_counters(const std::string& log, long pid) {
    const std::string mark = "kovex4[" + std::to_string(pid) + "]: counters: ";
    const size_t at = log.rfind(mark);
    if (at == std::string::npos)
        return "";
    const size_t begin = at + mark.size();
    const size_t end = log.find('\n', begin);
    return log.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}
