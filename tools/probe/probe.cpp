// SPDX-License-Identifier: Apache-2.0
// kovex4-probe's judgement: the settings file key by key, one device exchange in words, the
// register ranges to read. The values come from the gateway's own reader, recogniser and register
// map; this file only explains them.
#include "probe.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "device/commands.h"
#include "device/link.h"
#include "modbus/modbus.h"
#include "regmap/regmap.h"
#include "regmap/regs.h"
#include "service/publish.h"
#include "service/push.h"
#include "service/service.h"
#include "sys/com.h"

namespace {

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string trim(std::string_view text) {
    size_t a = 0;
    size_t b = text.size();
    while (a < b && is_blank(text[a]))
        ++a;
    while (b > a && is_blank(text[b - 1]))
        --b;
    return std::string(text.substr(a, b - a));
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

// What the gateway makes of each key, in words; the findings about the values are the judge's.
struct Checker {
    ProbeSettingsReport& report;
    const ProbeHost& host;

    void warn(int line, const std::string& key, const std::string& text) {
        report.warnings.push_back({line, key, text});
    }

    // Warnings every number shares: text after the digits, a sign, no digits, overflow.
    void check_number(const ProbeKeyRow& row) {
        if (row.line == 0 || row.text.empty())
            return;
        const SettingsNumber n = settings_read_number(row.text.c_str());
        const std::string v = std::to_string(n.value);
        if (!n.digits)
            warn(row.line, row.key, quoted(row.text) + " is not a number: it counts as 0");
        else if (n.saturated)
            warn(row.line, row.key, quoted(row.text) + " is above 4294967295, so it is 4294967295");
        else if (n.negative && n.value != 0)
            warn(row.line, row.key, quoted(row.text) + " is negative and wraps around to " + v);
        if (n.digits && !trim(n.rest).empty())
            warn(row.line, row.key,
                 quoted(row.text) + " is read as " + v + ": the text after the digits is ignored");
    }

    void explain(ProbeKeyRow& row, const SettingsKey& key) {
        const Settings& s = report.settings;
        const int i = key.slot - 1;
        const ComLineFlags line = com_line_flags(s.baudrate, static_cast<int>(s.databits),
                                                 s.parity.c_str(), static_cast<int>(s.stopbits));
        switch (key.field) {
        case SettingsField::enabled:
            row.used = std::to_string(s.enabled);
            row.note = "not checked: the gateway runs whenever it is started";
            break;
        case SettingsField::device: {
            row.used = service_device_path(s);
            char lock[COM_LOCK_PATH_MAX + 1];
            com_lock_path(row.used.c_str(), lock);
            row.note = std::string("lock file ") + lock;
            break;
        }
        case SettingsField::baudrate:
            row.used = std::to_string(com_line_speed(s.baudrate)) + " bit/s";
            if (s.baudrate == 0)
                row.note = "default";
            break;
        case SettingsField::databits:
            row.used = (line.cflag & CSIZE) == CS7 ? "7" : "8";
            break;
        case SettingsField::parity:
            row.used = (line.cflag & PARENB) == 0   ? "none"
                       : (line.cflag & PARODD) != 0 ? "odd"
                                                    : "even";
            if (s.parity.size() > 1)
                row.note = "only the first letter counts, in upper case";
            break;
        case SettingsField::stopbits:
            row.used = (line.cflag & CSTOPB) != 0 ? "2" : "1";
            break;
        case SettingsField::station:
            row.used = std::to_string(s.station & 0xFF);
            break;
        case SettingsField::port:
            row.used = std::to_string(s.port & 0xFFFF);
            row.note = "listens on it, and pushes to it";
            break;
        case SettingsField::data_period:
        case SettingsField::alarm_period: {
            const uint32_t period = *settings_number(s, key);
            row.used = period == 0 ? "off" : std::to_string(period) + " s";
            break;
        }
        case SettingsField::start:
            row.used = s.start[i] == 0 ? "none" : std::to_string(s.start[i]);
            if (s.start[i] != 0)
                row.note = "address " + std::to_string(s.start[i] - 1);
            break;
        case SettingsField::count:
            row.used = std::to_string(s.count[i]);
            if (push_slot_fault(s.start[i], s.count[i]) == PushSlotFault::none)
                row.note = "slot " + std::to_string(key.slot) + ": registers " +
                           std::to_string(s.start[i]) + "-" +
                           std::to_string(s.start[i] + s.count[i] - 1);
            else if (s.start[i] != 0 || s.count[i] != 0 || s.alarm[i] != 0)
                row.note = "slot " + std::to_string(key.slot) + " is never pushed";
            break;
        case SettingsField::alarm: {
            row.used = s.alarm[i] == 0 ? "none" : std::to_string(s.alarm[i]);
            const RegMapEntry* entry =
                s.alarm[i] == 0 || s.alarm[i] > 0x10000 ? nullptr : regmap_lookup(s.alarm[i] - 1);
            if (s.alarm[i] != 0 && s.alarm[i] <= 0x10000 &&
                (entry == nullptr || entry->item_count == 0))
                row.note = "a register without an item: always 0";
            break;
        }
        case SettingsField::clients:
            row.used = std::to_string(clients_limit(s));
            break;
        case SettingsField::write_single:
            row.used = s.write_single != 0 ? "on" : "off";
            row.note = "Modbus function 6";
            break;
        case SettingsField::listen: {
            uint32_t address = 0;
            row.used = s.listen.empty()                                   ? "every address"
                       : settings_parse_ipaddr(s.listen.c_str(), address) ? dotted(address)
                                                                          : "no Modbus server";
            break;
        }
        case SettingsField::allow: {
            ServiceAllowList list;
            service_allow_load(
                list, s.allow, [](void*, const char*) {}, nullptr);
            row.used = !list.restricted ? "every client"
                       : list.count == 0
                           ? "nobody"
                           : std::to_string(list.count) + (list.count == 1 ? " entry" : " entries");
            if (list.count > 0)
                row.note = "every other client is refused";
            break;
        }
        case SettingsField::read_only:
            row.used = s.read_only != 0 ? "on" : "off";
            row.note = s.read_only != 0 ? "client writes get exception 1" : "clients may write";
            break;
        case SettingsField::tls_cert:
        case SettingsField::tls_key:
        case SettingsField::tls_ca: {
            const std::string& path = *settings_text(s, key);
            row.used = path.empty() ? "none" : path;
            if (!s.tls_cert.empty() && !s.tls_key.empty() && !s.tls_ca.empty())
                row.note = "Modbus over TLS";
            break;
        }
        case SettingsField::tls_writers:
            row.used = s.tls_writers.empty() ? "nobody" : s.tls_writers;
            row.note = "roles that may write over TLS";
            break;
        case SettingsField::ipaddr:
            row.used = s.ipaddr.empty() ? "none" : s.ipaddr;
            if (s.ipaddr.empty())
                row.note = "nothing is pushed";
            else if (host.push_address != 0 && dotted(host.push_address) != s.ipaddr)
                row.note = "now " + dotted(host.push_address);
            break;
        case SettingsField::cache_ms:
            row.used = s.cache_ms == 0 ? "off" : std::to_string(s.cache_ms) + " ms";
            row.note = s.cache_ms == 0 ? "every read goes to the device"
                                       : "a read may answer with values up to that old";
            break;
        case SettingsField::mqtt_host:
        case SettingsField::mqtt_port:
        case SettingsField::mqtt_client_id:
        case SettingsField::mqtt_prefix:
        case SettingsField::mqtt_format:
        case SettingsField::mqtt_user:
        case SettingsField::mqtt_password:
        case SettingsField::mqtt_queue:
        case SettingsField::mqtt_queue_kb:
            explain_mqtt(row, key.field);
            break;
        }
    }

    // The publisher's settings with the defaults it fills in; the judge tells what is wrong.
    void explain_mqtt(ProbeKeyRow& row, SettingsField field) {
        const Settings& s = report.settings;
        if (s.mqtt_host.empty()) {
            row.used = field == SettingsField::mqtt_host ? "off" : "";
            row.note = field == SettingsField::mqtt_host ? "no MQTT publication" : "";
            return;
        }
        PublishConfig c;
        publish_config(s, host.hostname.c_str(), c);
        const bool spb = c.format == PublishFormat::sparkplug;
        switch (field) {
        case SettingsField::mqtt_host: {
            JudgeFindings findings;
            row.used = c.host;
            row.note = !judge_mqtt(s, &host, findings) ? "not published: see the warnings"
                       : c.tls ? "over TLS, the broker checked for this name or address"
                               : "in the clear";
            break;
        }
        case SettingsField::mqtt_port:
            row.used = std::to_string(c.port);
            break;
        case SettingsField::mqtt_client_id:
            row.used = c.client_id;
            break;
        case SettingsField::mqtt_prefix:
            row.used = c.prefix;
            row.note =
                spb ? (c.group.empty() ? "Sparkplug B: not GROUP/NODE"
                                       : "Sparkplug B group " + c.group + ", edge node " + c.node)
                    : "topics " + c.prefix + "/status and " + c.prefix + "/slot/1 ... 5";
            break;
        case SettingsField::mqtt_format:
            row.used = spb ? "sparkplug" : "json";
            break;
        case SettingsField::mqtt_user:
            row.used = c.user.empty() ? "none" : c.user;
            break;
        case SettingsField::mqtt_password:
            row.used = c.password.empty() ? "none" : "set";
            break;
        case SettingsField::mqtt_queue:
            row.used = c.queue;
            break;
        default:
            row.used = std::to_string(c.queue_bytes / 1024) + " KB";
            break;
        }
    }

    // The judge's findings, each at the line of its key.
    void judge() {
        JudgeFindings findings;
        judge_settings(report.settings, &host, findings);
        for (size_t i = 0; i < findings.count; ++i) {
            const JudgeFinding& f = findings.list[i];
            const std::string key = f.key != nullptr ? f.key->name : "";
            warn(row_line(key), key, f.text);
        }
        if (findings.left_out > 0)
            warn(0, "", std::to_string(findings.left_out) + " more findings are not shown");
    }

    int row_line(const std::string& key) const {
        for (const ProbeKeyRow& row : report.rows)
            if (row.key == key)
                return row.line;
        return 0;
    }
};

// "mode 0640, owner 0, group 5" of a file or folder.
std::string mode_words(const struct stat& st) {
    char text[64];
    std::snprintf(text, sizeof text, "mode %04o, owner %u, group %u",
                  static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid),
                  static_cast<unsigned>(st.st_gid));
    return text;
}

// A FILE over `text` for the gateway's reader; nullptr when it cannot be made.
FILE* text_file(const std::string& text) {
    // fmemopen cannot read a buffer of size 0; an empty file reads the same as "\n" here.
    return fmemopen(const_cast<char*>(text.empty() ? "\n" : text.data()),
                    text.empty() ? 1 : text.size(), "r");
}

} // namespace

Settings probe_load_settings(const std::string& text) {
    Settings settings;
    FILE* file = text_file(text);
    settings_read(settings, file);
    if (file != nullptr)
        std::fclose(file);
    return settings;
}

void probe_check_settings(const std::string& text, const ProbeHost& host,
                          ProbeSettingsReport& report) {
    report = ProbeSettingsReport{};
    report.settings = probe_load_settings(text);
    Checker check{report, host};
    constexpr size_t KEYS = std::size(SETTINGS_KEYS);
    std::vector<int> first(KEYS, 0); // the line each key comes from
    std::vector<std::string> value(KEYS);
    FILE* file = text_file(text);
    SettingsLine line{};
    for (int n = 1; file != nullptr && settings_next_line(file, line); ++n) {
        const SettingsKey* key = line.has_equals ? settings_find_key(line.key) : nullptr;
        if (key != nullptr) {
            const size_t k = static_cast<size_t>(key - SETTINGS_KEYS);
            if (first[k] == 0) {
                first[k] = n;
                value[k] = line.value;
            } else {
                check.warn(n, key->name,
                           quoted(std::string(line.text)) + " is ignored: line " +
                               std::to_string(first[k]) +
                               " sets the key first (keys are compared ignoring letter case)");
            }
            continue;
        }
        const std::string name(line.key);
        const std::string trimmed = upper(trim(name));
        if (trimmed.rfind(SETTINGS_KEY_PREFIX, 0) != 0)
            continue; // comments, blank lines, other programs' keys
        if (!line.has_equals)
            check.warn(n, "", quoted(std::string(line.text)) + " has no \"=\" and is ignored");
        else if (settings_find_key(trimmed) != nullptr)
            check.warn(n, trimmed,
                       "the key " + quoted(name) +
                           " has blanks around it and is ignored: nothing is trimmed");
        else
            check.warn(n, "", "unknown key " + quoted(name) + " is ignored");
    }
    if (file != nullptr)
        std::fclose(file);

    if (text.rfind(SETTINGS_BOM, 0) == 0)
        check.warn(1, "",
                   "the file starts with a UTF-8 byte-order mark (saved as \"UTF-8 with BOM\"): "
                   "the gateway skips it, other programs may read it as part of the first key; "
                   "save the file without it");
    for (size_t k = 0; k < KEYS; ++k)
        report.rows.push_back({SETTINGS_KEYS[k].name, first[k], value[k], "", ""});
    for (size_t k = 0; k < KEYS; ++k) {
        ProbeKeyRow& row = report.rows[k];
        if (SETTINGS_KEYS[k].kind == SettingsKind::number)
            check.check_number(row);
        check.explain(row, SETTINGS_KEYS[k]);
    }
    check.judge();
    if (!host.service_cannot_read.empty())
        check.warn(0, "", host.service_cannot_read);
    // In the order of the file; findings about the file as a whole last.
    std::stable_sort(report.warnings.begin(), report.warnings.end(),
                     [](const ProbeWarning& a, const ProbeWarning& b) {
                         return (a.line == 0 ? INT32_MAX : a.line) <
                                (b.line == 0 ? INT32_MAX : b.line);
                     });
}

ProbeNoAccess probe_user_cannot_read(const char* user, const std::string& path) {
    const passwd* entry = getpwnam(user);
    char real[PATH_MAX];
    if (entry == nullptr || realpath(path.c_str(), real) == nullptr)
        return {};
    const uid_t uid = entry->pw_uid;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(user, entry->pw_gid, groups.data(), &count) < 0)
        count = 0;
    groups.resize(static_cast<size_t>(count));
    // Owner, else group, else others: the first class the user belongs to decides.
    auto permits = [&](const struct stat& st, mode_t owner_bit) {
        const bool in_group = std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
        const mode_t bit = st.st_uid == uid ? owner_bit
                           : in_group       ? owner_bit >> 3
                                            : owner_bit >> 6;
        return uid == 0 || (st.st_mode & bit) != 0;
    };
    // Every folder on the way must let the user through, and the file let it read.
    struct stat st {};
    const std::string file = real;
    for (size_t slash = file.find('/', 1); slash != std::string::npos;
         slash = file.find('/', slash + 1)) {
        const std::string folder = file.substr(0, slash);
        if (stat(folder.c_str(), &st) == 0 && !permits(st, S_IXUSR))
            return {"the folder " + folder + " (" + mode_words(st) + ") is closed to it",
                    "move the file to a folder it can reach, such as /opt/kovex4/etc"};
    }
    if (stat(real, &st) != 0 || permits(st, S_IRUSR))
        return {};
    return {mode_words(st), std::string("chgrp ") + user + " and chmod 0640 it"};
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

std::string probe_line_failure(int error) {
    switch (error) {
    case EIO:
        return "most likely no hardware answers at this port: the device file of an on-board "
               "port exists whether or not a UART is there (dmesg | grep tty lists those found), "
               "or the adapter was unplugged; neither speed nor station can help";
    case ENOTTY:
    case EINVAL:
        return "it is not a serial line: check the device";
    case ENXIO:
    case ENODEV:
        return "the device is gone (an adapter unplugged, or a port without hardware)";
    case 0:
        return "it reported the end of its input: no serial line, or the far end of a "
               "pseudo-terminal was closed";
    default:
        return "check the device and its driver";
    }
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

namespace {

// A decimal or 0x hex number of at most 0x10000 at `p`, which is moved past it.
bool parse_number(const char*& p, uint32_t& out) {
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
}

} // namespace

bool probe_parse_word(const char* text, uint32_t& value) {
    return parse_number(text, value) && *text == '\0' && value <= 0xFFFF;
}

bool probe_parse_register(const char* text, ProbeRange& range) {
    const auto number = parse_number;
    const char* p = text;
    range = {0, 1};
    if (!number(p, range.start) || range.start > 0xFFFF)
        return false;
    if (*p == ':') {
        ++p;
        if (!number(p, range.count) || range.count < 1 || range.count > MODBUS_MAX_READ)
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

std::vector<ProbeCounter> probe_parse_counters(const std::string& line) {
    std::vector<ProbeCounter> out;
    for (const ServiceCounter& counter : SERVICE_COUNTERS) {
        const std::string mark = std::string(counter.name) + "=";
        for (size_t at = line.find(mark); at != std::string::npos; at = line.find(mark, at + 1)) {
            if (at != 0 && line[at - 1] != ' ')
                continue;
            uint64_t value = 0;
            for (size_t i = at + mark.size(); i < line.size() && line[i] >= '0' && line[i] <= '9';
                 ++i)
                value = value * 10 + static_cast<uint64_t>(line[i] - '0');
            out.push_back({counter.name, value});
            break;
        }
    }
    // The publisher's counters, when the line has them.
    for (const char* name : PUBLISH_COUNTER_NAMES) {
        const std::string mark = std::string(" ") + name + "=";
        const size_t at = line.find(mark);
        if (at == std::string::npos)
            continue;
        uint64_t value = 0;
        for (size_t i = at + mark.size(); i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
            value = value * 10 + static_cast<uint64_t>(line[i] - '0');
        out.push_back({name, value});
    }
    return out;
}
