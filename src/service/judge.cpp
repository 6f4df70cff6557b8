// SPDX-License-Identifier: Apache-2.0
#include "service/judge.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "modbus/modbus.h"
#include "regmap/regmap.h"
#include "service/allow.h"
#include "service/clients.h"
#include "service/publish.h"
#include "service/push.h"
#include "service/service.h"
#include "sys/com.h"
#include "sys/log.h"

namespace {

// A judgement in progress: each rule reads the record (and the machine, when known) and adds its
// findings.
struct Judge {
    const Settings& s;
    const JudgeHost* host;
    JudgeFindings& out;

    void add(int level, SettingsField field, int slot, std::string text) {
        if (out.count == out.list.size()) {
            ++out.left_out;
            return;
        }
        out.list[out.count++] = JudgeFinding{level, &settings_key(field, slot), std::move(text)};
    }
    void add(int level, SettingsField field, std::string text) {
        add(level, field, 0, std::move(text));
    }
    // An address of this machine: the loopback network, or one of the host's.
    bool is_local(uint32_t address) const {
        const std::vector<uint32_t>& own = host->addresses;
        return (address >> 24) == 127 || std::find(own.begin(), own.end(), address) != own.end();
    }
    // The machine's name; the gateway judges for the machine it runs on.
    std::string hostname() const {
        if (host != nullptr)
            return host->hostname;
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        return name;
    }
    ComLineFlags line() const {
        return com_line_flags(s.baudrate, static_cast<int>(s.databits), s.parity.c_str(),
                              static_cast<int>(s.stopbits));
    }
};

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string number(uint32_t value) {
    return std::to_string(value);
}

std::string key_name(SettingsField field, int slot = 0) {
    return settings_key(field, slot).name;
}

std::string dotted(uint32_t address) {
    return number(address >> 24) + "." + number((address >> 16) & 0xFF) + "." +
           number((address >> 8) & 0xFF) + "." + number(address & 0xFF);
}

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ---- the rules, in the order of the keys they are about ----

void device_name(Judge& j) {
    const std::string path = service_device_path(j.s);
    const std::string& name = j.s.device;
    if (name.empty())
        j.add(LOG_ERR, SettingsField::device,
              "no device: the gateway stops at once (open(" + path + ") error: Is a directory)");
    else if (is_blank(name.front()) || is_blank(name.back()))
        j.add(LOG_WARNING, SettingsField::device,
              "the blanks are part of the name: the gateway opens " + quoted(path));
    else if (j.host != nullptr && !j.host->device_exists)
        j.add(LOG_ERR, SettingsField::device, path + " does not exist on this machine");
}

// Speed, data bits, parity and stop bits as the line is set up from them.
void line_framing(Judge& j) {
    const Settings& s = j.s;
    const tcflag_t flags = j.line().cflag;
    const uint32_t speed = com_line_speed(s.baudrate);
    if (s.baudrate != 0 && speed != s.baudrate)
        j.add(LOG_WARNING, SettingsField::baudrate,
              number(s.baudrate) + " is not a speed the line supports: the gateway uses " +
                  number(speed) + " bit/s");
    if (s.databits != 7 && s.databits != 8 && s.databits != 0)
        j.add(LOG_WARNING, SettingsField::databits,
              number(s.databits) + " data bits are not possible: the gateway uses " +
                  ((flags & CSIZE) == CS7 ? "7" : "8"));
    const char first = s.parity.empty() ? '\0' : s.parity[0];
    if (first == 'o' || first == 'e')
        j.add(LOG_WARNING, SettingsField::parity,
              quoted(s.parity) + " means no parity: the letter must be upper case (" +
                  static_cast<char>(first - 'a' + 'A') + ")");
    else if (first != '\0' && first != 'N' && first != 'n' && (flags & PARENB) == 0)
        j.add(LOG_WARNING, SettingsField::parity,
              quoted(s.parity) + " is not O, E or N: no parity");
    if (s.stopbits > 2)
        j.add(LOG_WARNING, SettingsField::stopbits,
              number(s.stopbits) + " stop bits are not possible: the gateway uses " +
                  ((flags & CSTOPB) != 0 ? "2" : "1"));
}

void station_and_port(Judge& j) {
    const Settings& s = j.s;
    if (s.station > 255)
        j.add(LOG_WARNING, SettingsField::station,
              "station " + number(s.station) + " is station " + number(s.station & 0xFF) +
                  ": only the low 8 bits are used");
    if (s.port > 0xFFFF)
        j.add(LOG_WARNING, SettingsField::port,
              "port " + number(s.port) + " is port " + number(s.port & 0xFFFF) +
                  ": only the low 16 bits are used");
    if ((s.port & 0xFFFF) == 0)
        j.add(LOG_WARNING, SettingsField::port,
              "port 0: the gateway listens on a port the system picks, which no client can know");
}

// Why slot n cannot be pushed, in words.
std::string slot_problem(PushSlotFault fault, uint32_t start, uint32_t count) {
    switch (fault) {
    case PushSlotFault::none:
        break;
    case PushSlotFault::count_zero:
        return "its COUNT is 0";
    case PushSlotFault::count_too_big:
        return "its COUNT " + number(count) + " is above " + number(MODBUS_MAX_WRITE) +
               " (the most one push carries)";
    case PushSlotFault::start_zero:
        return "its START is 0 (registers count from 1)";
    case PushSlotFault::past_last:
        return "registers " + number(start) + " to " +
               std::to_string(static_cast<uint64_t>(start) + count - 1) +
               " run past register 65536";
    }
    return "";
}

// The slots, their alarm registers, and the push as a whole.
void push_slots(Judge& j) {
    const Settings& s = j.s;
    const std::string ipaddr = key_name(SettingsField::ipaddr);
    int pushed = 0;
    for (int i = 0; i < SETTINGS_SLOTS; ++i) {
        const PushSlotFault fault = push_slot_fault(s.start[i], s.count[i]);
        if (fault == PushSlotFault::none) {
            ++pushed;
        } else if (s.start[i] != 0 || s.count[i] != 0 || s.alarm[i] != 0) {
            // With a push target, push_init logs a START outside the registers itself.
            const bool logged = !s.ipaddr.empty() && (fault == PushSlotFault::start_zero ||
                                                      fault == PushSlotFault::past_last);
            j.add(logged ? LOG_NOTICE : LOG_WARNING, SettingsField::count, i + 1,
                  "slot " + number(i + 1) +
                      " is never pushed: " + slot_problem(fault, s.start[i], s.count[i]));
        }
        const uint32_t alarm = s.alarm[i];
        const RegMapEntry* entry =
            alarm == 0 || alarm > 0x10000 ? nullptr : regmap_lookup(alarm - 1);
        if (alarm > 0x10000)
            j.add(LOG_WARNING, SettingsField::alarm, i + 1,
                  "register " + number(alarm) + " is past register 65536: it never reads");
        else if (entry != nullptr && entry->item_count > 1)
            j.add(LOG_WARNING, SettingsField::alarm, i + 1,
                  "register " + number(alarm) + " is bit-packed (" +
                      static_cast<char>(entry->item_type) + " " + number(entry->first_item) + "-" +
                      number(entry->first_item + entry->item_count - 1) +
                      "): clearing it after a push clears all of its items");
    }
    if (s.ipaddr.empty()) {
        // Slots for the MQTT publisher alone are its to judge.
        if (pushed > 0 && s.mqtt_host.empty())
            j.add(LOG_WARNING, SettingsField::ipaddr,
                  "slots are set but " + ipaddr + " is empty: nothing is pushed");
    } else if (pushed == 0) {
        j.add(LOG_WARNING, SettingsField::ipaddr, "a push target, but no slot that can be pushed");
    } else if (s.data_period == 0 && s.alarm_period == 0) {
        j.add(LOG_WARNING, SettingsField::ipaddr,
              "a push target, but " + key_name(SettingsField::data_period) + " and " +
                  key_name(SettingsField::alarm_period) + " are both 0: nothing is pushed");
    }
}

// Where the push goes, as the machine resolves it now.
void push_target(Judge& j) {
    const Settings& s = j.s;
    if (j.host == nullptr || s.ipaddr.empty())
        return;
    const uint32_t address = j.host->push_address;
    if (address == 0) {
        j.add(LOG_ERR, SettingsField::ipaddr,
              quoted(s.ipaddr) + " cannot be resolved: every push fails (\"error resolving "
                                 "hostname\")");
        return;
    }
    uint32_t listen = 0;
    const bool serves_it = s.listen.empty() || (settings_parse_ipaddr(s.listen.c_str(), listen) &&
                                                (listen == 0 || listen == address));
    if (j.is_local(address) && serves_it)
        j.add(LOG_WARNING, SettingsField::ipaddr,
              "the push target " + dotted(address) +
                  " is this gateway itself: its pushes go to its own Modbus server on port " +
                  number(s.port & 0xFFFF));
}

void client_count(Judge& j) {
    if (j.s.clients > SERVICE_MAX_CLIENTS)
        j.add(LOG_WARNING, SettingsField::clients,
              number(j.s.clients) + " clients: the gateway serves at most " +
                  number(clients_limit(j.s)));
}

void listen_address(Judge& j) {
    const std::string& listen = j.s.listen;
    uint32_t address = 0;
    if (listen.empty())
        return;
    if (!settings_parse_ipaddr(listen.c_str(), address))
        j.add(LOG_ERR, SettingsField::listen,
              quoted(listen) + " is not an IPv4 address: the gateway runs without a Modbus server");
    else if (j.host != nullptr && address != 0 && !j.is_local(address))
        j.add(LOG_ERR, SettingsField::listen,
              dotted(address) + " is not an address of this machine: the gateway cannot listen "
                                "on it and runs without a Modbus server");
}

// The entries as the gateway parses them at start-up, with what it logs about them.
// The warning comes first: the entries' findings may be more than the list holds.
void allow_list(Judge& j) {
    ServiceAllowList list;
    service_allow_load(
        list, j.s.allow, [](void*, const char*) {}, nullptr);
    if (list.restricted && list.count == 0)
        j.add(LOG_WARNING, SettingsField::allow, "no valid entry: nobody can connect");
    service_allow_load(
        list, j.s.allow,
        [](void* context, const char* message) {
            static_cast<Judge*>(context)->add(LOG_ERR, SettingsField::allow,
                                              std::string(message) + ": it is ignored");
        },
        &j);
}

// TLS is asked for by any of its three files, and then needs all of them.
void tls_files(Judge& j) {
    const SettingsField files[] = {SettingsField::tls_cert, SettingsField::tls_key,
                                   SettingsField::tls_ca};
    bool any = false;
    for (const SettingsField field : files)
        any = any || !settings_text(j.s, settings_key(field))->empty();
    for (const SettingsField field : files)
        if (any && settings_text(j.s, settings_key(field))->empty())
            j.add(LOG_ERR, field,
                  "missing: with only some of the TLS files set the gateway ends at start");
}

bool has_wildcard(const std::string& text) {
    return text.find_first_of("+#") != std::string::npos;
}

// A topic prefix: levels separated by '/', none empty, no wildcard.
bool valid_prefix(const std::string& prefix) {
    return !prefix.empty() && !has_wildcard(prefix) && prefix.front() != '/' &&
           prefix.back() != '/' && prefix.find("//") == std::string::npos;
}

// The publisher's settings as it uses them, defaults filled in. An error keeps it from running.
void mqtt_publication(Judge& j) {
    using F = SettingsField;
    const Settings& s = j.s;
    if (s.mqtt_host.empty())
        return;
    PublishConfig c;
    publish_config(s, j.hostname().c_str(), c);
    const std::string off = ": the gateway does not publish";
    if (c.port > 0xFFFF)
        j.add(LOG_ERR, F::mqtt_port, number(c.port) + " is not a TCP port" + off);
    if (PublishFormat format; !publish_format(s.mqtt_format, format))
        j.add(LOG_ERR, F::mqtt_format, s.mqtt_format + " is neither json nor sparkplug" + off);
    if (has_wildcard(c.client_id) || c.client_id.size() > 0xFFFF)
        j.add(LOG_ERR, F::mqtt_client_id, c.client_id + " is not a client identifier" + off);
    else if (c.client_id.size() > 23)
        j.add(LOG_WARNING, F::mqtt_client_id,
              c.client_id + " has " + number(static_cast<uint32_t>(c.client_id.size())) +
                  " characters, above 23, which a broker may refuse");
    if (!valid_prefix(c.prefix))
        j.add(LOG_ERR, F::mqtt_prefix,
              c.prefix + " is not a topic prefix (levels separated by '/', none empty, no + or #)" +
                  off);
    else if (c.format == PublishFormat::sparkplug && c.group.empty())
        j.add(LOG_ERR, F::mqtt_prefix,
              c.prefix + " must be GROUP/NODE for Sparkplug B (one '/')" + off);
    if (c.user.empty() && !c.password.empty())
        j.add(LOG_ERR, F::mqtt_password, "set without " + key_name(F::mqtt_user) + off);
    else if (!c.password.empty() && !c.tls)
        j.add(LOG_WARNING, F::mqtt_password, "goes to the broker in the clear (no TLS files set)");
    if (c.queue.front() != '/')
        j.add(LOG_ERR, F::mqtt_queue, c.queue + " is not an absolute path" + off);
    const uint32_t kept = c.queue_bytes / 1024;
    if (s.mqtt_queue_kb != 0 && s.mqtt_queue_kb != kept)
        j.add(LOG_WARNING, F::mqtt_queue_kb,
              number(s.mqtt_queue_kb) +
                  (s.mqtt_queue_kb < kept ? " is below the least" : " is above the most") +
                  ": the queue keeps " + number(kept) + " KB");
    if (s.data_period == 0 && s.alarm_period == 0)
        j.add(LOG_WARNING, F::mqtt_host,
              key_name(F::data_period) + " and " + key_name(F::alarm_period) +
                  " are both 0: nothing is published");
}

// One row a rule; a new rule is one more function and one more row.
using JudgeRule = void (*)(Judge&);
constexpr JudgeRule RULES[] = {device_name, line_framing,    station_and_port, push_slots,
                               push_target, client_count,    listen_address,   allow_list,
                               tls_files,   mqtt_publication};

} // namespace

void judge_settings(const Settings& settings, const JudgeHost* host, JudgeFindings& findings) {
    findings = JudgeFindings{};
    Judge judge{settings, host, findings};
    for (const JudgeRule rule : RULES)
        rule(judge);
}

int judge_mqtt(const Settings& settings, const JudgeHost* host, JudgeFindings& findings) {
    findings = JudgeFindings{};
    Judge judge{settings, host, findings};
    tls_files(judge);
    mqtt_publication(judge);
    for (size_t i = 0; i < findings.count; ++i)
        if (findings.list[i].level == LOG_ERR)
            return 0;
    return settings.mqtt_host.empty() ? 0 : 1;
}

void judge_log_warnings(const Settings& settings) {
    JudgeFindings findings;
    judge_settings(settings, nullptr, findings);
    for (size_t i = 0; i < findings.count; ++i) {
        const JudgeFinding& f = findings.list[i];
        if (f.level == LOG_WARNING)
            log_msg(LOG_WARNING, "%s: %s", f.key != nullptr ? f.key->name : "settings",
                    f.text.c_str());
    }
}

std::string judge_writer_role(const Settings& settings, std::string_view role) {
    if (clients_role_writes(settings.tls_writers, role))
        return "";
    std::string_view rest = settings.tls_writers;
    std::string_view writer;
    while (service_list_next(rest, writer)) {
        bool same = writer.size() == role.size();
        for (size_t i = 0; same && i < role.size(); ++i)
            same = ascii_lower(writer[i]) == ascii_lower(role[i]);
        if (same)
            return "role " + std::string(role) +
                   " may not write: " + key_name(SettingsField::tls_writers) + " names " +
                   std::string(writer) + ", and roles are compared letter case included";
    }
    return "";
}
