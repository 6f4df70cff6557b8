// SPDX-License-Identifier: Apache-2.0
// kovex4-probe: commissioning checks for a kovex4 gateway, made of the gateway's own settings
// reader, lock, line set-up, device link and register map, so that what it reports is what the
// gateway will do. Subcommands: settings, line, status.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "device/commands.h"
#include "device/link.h"
#include "probe.h"
#include "regmap/regs.h"
#include "settings/settings.h"
#include "sys/com.h"
#include "sys/deadline.h"
#include "sys/log.h"

namespace {

const char USAGE[] =
    "Usage: kovex4-probe COMMAND [OPTION]...\n"
    "Commissioning checks for a kovex4 gateway, made of the gateway's own code.\n"
    "\n"
    "Commands:\n"
    "  settings   show every setting as the gateway uses it and warn where that is not what\n"
    "             the file seems to say; exit status 0 without warnings, 1 with warnings,\n"
    "             2 when the file cannot be read\n"
    "  line       take the serial line as the gateway does and read registers from the field\n"
    "             device, showing each exchange; exit status 0 when every read was answered,\n"
    "             1 when one was not, 2 when the line cannot be taken or opened\n"
    "  status     make the running gateway log its counters (SIGUSR1) and show that line;\n"
    "             exit status 0 when shown, 1 when no readable log has it, 2 when no gateway\n"
    "             holds the line or it cannot be signalled\n"
    "\n"
    "Options:\n"
    "  -c, --settings FILE  the settings file (default /opt/kovex4/etc/settings)\n"
    "      --json           print the result as JSON\n"
    "line:\n"
    "      --device D       the serial device below /dev, as in MOD_KOVEX4_DEVICE\n"
    "      --baud B         the line speed, as in MOD_KOVEX4_BAUDRATE\n"
    "      --station S      the station address, as in MOD_KOVEX4_STATION\n"
    "      --register R[:N] read N registers (default 1, at most 125) from address R, decimal\n"
    "                       or 0x hex (the Address column of the register map); repeatable;\n"
    "                       default: a few registers of each item type\n"
    "      --scan-stations  ask stations 0-255 with one short read each, list those answering\n"
    "      --scan-baud      try the line speeds, the configured one first, until one answers\n"
    "      --wait MS        how long --scan-stations waits for each station (default 300)\n"
    "line, status:\n"
    "      --lock-dir DIR   the folder of the lock files (default /var/lock)\n"
    "status:\n"
    "      --log FILE       the system log to read (default: /var/log/syslog, daemon.log or\n"
    "                       messages, else journalctl)\n"
    "  -h, --help           show this text\n";

struct Options {
    std::string command;
    std::string settings = SETTINGS_PATH;
    bool json = false;
    std::optional<std::string> device, baud, station;
    std::vector<ProbeRange> ranges;
    bool scan_stations = false;
    bool scan_baud = false;
    int wait_ms = 300;
    std::string lock_dir;
    std::string log;
};

// What the gateway's code logs while the probe runs: shown, never sent to syslog.
std::vector<std::string> g_logged;
void capture_log(int, const char* message) {
    g_logged.push_back(message);
}

volatile sig_atomic_t g_stop = 0;
void ask_stop(int) {
    g_stop = 1;
}

int usage_error(const std::string& text) {
    std::fprintf(stderr, "kovex4-probe: %s\nTry 'kovex4-probe --help'.\n", text.c_str());
    return 2;
}

// printf into a string.
__attribute__((format(printf, 1, 2))) std::string text_of(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
    va_start(args, format);
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

// Appends `item` to a list, after `separator` unless the list is empty.
void join(std::string& list, const char* separator, const std::string& item) {
    if (!list.empty())
        list += separator;
    list += item;
}

// 0 to go on, -1 after --help, otherwise the exit status.
int parse_options(int argc, char** argv, Options& opt) {
    enum {
        JSON = 1,
        DEVICE,
        BAUD,
        STATION,
        REGISTER,
        SCAN_STATIONS,
        SCAN_BAUD,
        WAIT,
        LOCK_DIR,
        LOG
    };
    static const option longopts[] = {
        {"settings", required_argument, nullptr, 'c'},
        {"json", no_argument, nullptr, JSON},
        {"device", required_argument, nullptr, DEVICE},
        {"baud", required_argument, nullptr, BAUD},
        {"station", required_argument, nullptr, STATION},
        {"register", required_argument, nullptr, REGISTER},
        {"scan-stations", no_argument, nullptr, SCAN_STATIONS},
        {"scan-baud", no_argument, nullptr, SCAN_BAUD},
        {"wait", required_argument, nullptr, WAIT},
        {"lock-dir", required_argument, nullptr, LOCK_DIR},
        {"log", required_argument, nullptr, LOG},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool wait_given = false;
    int c;
    while ((c = getopt_long(argc, argv, "c:h", longopts, nullptr)) != -1) {
        switch (c) {
        case 'c':
            opt.settings = optarg;
            break;
        case JSON:
            opt.json = true;
            break;
        case DEVICE:
            opt.device = optarg;
            break;
        case BAUD:
            opt.baud = optarg;
            break;
        case STATION:
            opt.station = optarg;
            break;
        case REGISTER: {
            ProbeRange range{};
            if (!probe_parse_register(optarg, range))
                return usage_error(std::string("bad --register (want R or R:N within 0-65535, N "
                                               "1-125): ") +
                                   optarg);
            opt.ranges.push_back(range);
            break;
        }
        case SCAN_STATIONS:
            opt.scan_stations = true;
            break;
        case SCAN_BAUD:
            opt.scan_baud = true;
            break;
        case WAIT: {
            char* end = nullptr;
            const long ms = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || ms < 10 || ms > 10000)
                return usage_error(std::string("bad --wait (want 10-10000 ms): ") + optarg);
            opt.wait_ms = static_cast<int>(ms);
            wait_given = true;
            break;
        }
        case LOCK_DIR:
            opt.lock_dir = optarg;
            break;
        case LOG:
            opt.log = optarg;
            break;
        case 'h':
            std::fputs(USAGE, stdout);
            return -1;
        default:
            std::fputs("Try 'kovex4-probe --help'.\n", stderr);
            return 2;
        }
    }
    // getopt moves the command word behind the options: it is the one argument left.
    if (optind != argc - 1)
        return usage_error(optind == argc ? "no command (settings, line or status)"
                                          : "one command at a time");
    opt.command = argv[optind];
    const bool line = opt.command == "line";
    const bool status = opt.command == "status";
    if (!line && !status && opt.command != "settings")
        return usage_error("unknown command " + opt.command);
    const bool line_only = opt.device || opt.baud || opt.station || !opt.ranges.empty() ||
                           opt.scan_stations || opt.scan_baud || wait_given;
    if ((line_only && !line) || (!opt.lock_dir.empty() && !line && !status) ||
        (!opt.log.empty() && !status))
        return usage_error("an option that does not belong to " + opt.command);
    if (int(opt.scan_stations) + int(opt.scan_baud) + int(!opt.ranges.empty()) > 1)
        return usage_error("--register, --scan-stations and --scan-baud go one at a time");
    return 0;
}

// ---- settings ----

std::string cell(const std::string& text, size_t width) {
    return text.size() > width ? text.substr(0, width - 3) + "..." : text;
}

int run_settings(const Options& opt) {
    ProbeSettingsReport report;
    if (!probe_check_settings(opt.settings.c_str(), report)) {
        std::fprintf(stderr, "kovex4-probe: cannot read %s: %s\n", opt.settings.c_str(),
                     std::strerror(errno));
        return 2;
    }
    if (opt.json) {
        std::printf("{\"file\":%s,\"keys\":[", probe_json_string(opt.settings).c_str());
        for (size_t i = 0; i < report.rows.size(); ++i) {
            const ProbeKeyRow& r = report.rows[i];
            const std::string line = r.line == 0 ? "null" : std::to_string(r.line);
            const std::string text = r.line == 0 ? "null" : probe_json_string(r.text);
            std::printf("%s{\"key\":%s,\"line\":%s,\"text\":%s,\"used\":%s,\"note\":%s}",
                        i == 0 ? "" : ",", probe_json_string(r.key).c_str(), line.c_str(),
                        text.c_str(), probe_json_string(r.used).c_str(),
                        probe_json_string(r.note).c_str());
        }
        std::printf("],\"warnings\":[");
        for (size_t i = 0; i < report.warnings.size(); ++i) {
            const ProbeWarning& w = report.warnings[i];
            std::printf("%s{\"line\":%s,\"key\":%s,\"text\":%s}", i == 0 ? "" : ",",
                        w.line == 0 ? "null" : std::to_string(w.line).c_str(),
                        probe_json_string(w.key).c_str(), probe_json_string(w.text).c_str());
        }
        std::printf("]}\n");
        return report.warnings.empty() ? 0 : 1;
    }

    std::printf("%s as the gateway reads it:\n\n", opt.settings.c_str());
    constexpr size_t TEXT = 20;
    size_t widths[3] = {3, 12, 4}; // key, text, used
    for (const ProbeKeyRow& r : report.rows) {
        widths[0] = std::max(widths[0], r.key.size());
        widths[1] = std::max(widths[1], std::min(TEXT, r.text.size() + 2));
        widths[2] = std::max(widths[2], r.used.size());
    }
    const int k = static_cast<int>(widths[0]);
    const int t = static_cast<int>(widths[1]);
    const int u = static_cast<int>(widths[2]);
    std::printf("%-*s  LINE  %-*s  %-*s  NOTE\n", k, "KEY", t, "TEXT IN FILE", u, "USED");
    for (const ProbeKeyRow& r : report.rows) {
        const std::string text = r.line == 0      ? "(missing)"
                                 : r.text.empty() ? "(empty)"
                                                  : cell("\"" + r.text + "\"", TEXT);
        const std::string line = r.line == 0 ? "-" : std::to_string(r.line);
        char row[512];
        std::snprintf(row, sizeof row, "%-*s  %4s  %-*s  %-*s  %s", k, r.key.c_str(), line.c_str(),
                      t, text.c_str(), u, r.used.c_str(), r.note.c_str());
        std::string out = row;
        out.erase(out.find_last_not_of(' ') + 1);
        std::printf("%s\n", out.c_str());
    }
    if (report.warnings.empty()) {
        std::printf("\nNo warnings.\n");
        return 0;
    }
    std::printf("\n%zu warning%s:\n", report.warnings.size(),
                report.warnings.size() == 1 ? "" : "s");
    for (const ProbeWarning& w : report.warnings) {
        std::string where = w.line == 0 ? "" : "line " + std::to_string(w.line);
        if (!w.key.empty())
            join(where, ", ", w.key);
        std::printf("  %s%s%s\n", where.c_str(), where.empty() ? "" : ": ", w.text.c_str());
    }
    return 1;
}

// ---- the line ----

std::string lock_file(const Options& opt, const std::string& path) {
    return (opt.lock_dir.empty() ? "/var/lock" : opt.lock_dir) + "/LCK.." +
           path.substr(path.rfind('/') + 1);
}

std::string process_name(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

struct Probe {
    const Options& opt;
    Settings s;
    std::string path;
    uint8_t station = 0;
    DevLine line;
    DevTrace trace{};
    bool took_lock = false;
};

// The settings with the command line's overrides, in the settings' own form.
bool load_line_settings(Probe& p) {
    std::FILE* file = std::fopen(p.opt.settings.c_str(), "r");
    if (file == nullptr && !p.opt.device) {
        std::fprintf(stderr, "kovex4-probe: cannot read %s: %s\n", p.opt.settings.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (file != nullptr)
        std::fclose(file);
    settings_load(p.s, p.opt.settings.c_str());
    if (p.opt.device)
        p.s.device = *p.opt.device;
    if (p.opt.baud)
        p.s.baudrate = probe_settings_number(p.opt.baud->c_str());
    if (p.opt.station)
        p.s.station = probe_settings_number(p.opt.station->c_str());
    p.station = static_cast<uint8_t>(p.s.station & 0xFF);
    // The gateway's device path: "/dev/" followed by the whole setting.
    p.path = "/dev/" + p.s.device;
    if (p.s.device.empty()) {
        std::fprintf(stderr,
                     "kovex4-probe: no device: MOD_KOVEX4_DEVICE is empty; give --device\n");
        return false;
    }
    return true;
}

int open_line(const Probe& p, uint32_t baudrate) {
    return com_open(p.path.c_str(), baudrate, static_cast<int>(p.s.databits), p.s.parity.c_str(),
                    static_cast<int>(p.s.stopbits));
}

// The gateway's lock functions keep the lock file's path in 63 characters.
bool set_lock_dir(const Options& opt, const std::string& path) {
    if (lock_file(opt, path).size() > 63) {
        std::fprintf(stderr, "kovex4-probe: the lock file's path %s is longer than 63 characters\n",
                     lock_file(opt, path).c_str());
        return false;
    }
    if (!opt.lock_dir.empty())
        com_set_lock_dir(opt.lock_dir.c_str());
    return true;
}

// Takes the lock and opens the line as the gateway does; never breaks a live process's lock.
bool take_line(Probe& p) {
    if (!set_lock_dir(p.opt, p.path))
        return false;
    const std::string lock = lock_file(p.opt, p.path);
    const int owner = com_lock_owner(p.path.c_str());
    if (owner > 0 && owner != getpid()) {
        std::fprintf(stderr,
                     "kovex4-probe: %s is in use: its lock file %s names process %d (%s).\n"
                     "Stop that process first (for the gateway: systemctl stop kovex4, or "
                     "/etc/init.d/kovex4 stop).\n",
                     p.path.c_str(), lock.c_str(), owner, process_name(owner).c_str());
        return false;
    }
    if (com_lock(p.path.c_str(), 1) != 1) {
        std::fprintf(stderr,
                     "kovex4-probe: cannot take the lock file %s: the folder is missing or not "
                     "writable, or the file holds no process id\n",
                     lock.c_str());
        return false;
    }
    p.took_lock = true;
    p.line.fd = open_line(p, p.s.baudrate);
    // What the gateway would log here: a device that cannot be opened, or is no serial line.
    for (const std::string& text : g_logged)
        std::fprintf(stderr, "kovex4-probe: the gateway logs \"%s\"\n", text.c_str());
    g_logged.clear();
    p.line.trace = &p.trace;
    return p.line.fd >= 0;
}

void release_line(Probe& p) {
    if (p.line.fd >= 0)
        close(p.line.fd);
    p.line.fd = -1;
    if (p.took_lock)
        com_unlock(p.path.c_str());
}

std::string line_words(const Probe& p, uint32_t speed) {
    const char first = p.s.parity.empty() ? '\0' : p.s.parity[0];
    return p.path + " at " + std::to_string(speed) + " bit/s, " + (p.s.databits == 7 ? "7" : "8") +
           " data bits, " +
           (first == 'O'   ? "odd parity"
            : first == 'E' ? "even parity"
                           : "no parity") +
           ", " + (p.s.stopbits == 2 ? "2 stop bits" : "1 stop bit");
}

struct Exchange {
    std::string request, reply;
    size_t dropped;
    double round_trip_ms;
    ProbeFinding finding;
};

Exchange last_exchange(const Probe& p) {
    const DevTrace& t = p.trace;
    return {probe_hex(t.sent.data(), t.sent_len), probe_hex(t.received.data(), t.received_len),
            t.dropped_len, static_cast<double>(t.round_trip_us) / 1000.0,
            probe_classify(t.sent.data(), t.sent_len, t.received.data(), t.received_len)};
}

std::string exchange_json(const Exchange& e, uint8_t station) {
    return text_of("{\"request\":%s,\"reply\":%s,\"dropped\":%zu,\"round_trip_ms\":%.1f,"
                   "\"verdict\":\"%s\",\"text\":%s}",
                   probe_json_string(e.request).c_str(), probe_json_string(e.reply).c_str(),
                   e.dropped, e.round_trip_ms, probe_verdict_name(e.finding.verdict),
                   probe_json_string(probe_describe(e.finding, station)).c_str());
}

// Hex bytes, 24 to a line, the lines after the first indented under the first.
void print_bytes(const char* label, const std::string& hex, const std::string& tail) {
    constexpr size_t WIDTH = 24 * 3;
    std::printf("  %-8s %s", label, hex.empty() ? "-" : hex.substr(0, WIDTH - 1).c_str());
    for (size_t at = WIDTH; at < hex.size(); at += WIDTH)
        std::printf("\n           %s", hex.substr(at, WIDTH - 1).c_str());
    std::printf("%s\n", tail.c_str());
}

void print_exchange(const Exchange& e, uint8_t station) {
    if (e.dropped > 0)
        std::printf("  dropped  %zu bytes waiting before the request (a late reply, or noise)\n",
                    e.dropped);
    char ms[48];
    std::snprintf(ms, sizeof ms, "  (%.1f ms)", e.round_trip_ms);
    print_bytes("request", e.request, "");
    print_bytes("reply", e.reply, ms);
    std::printf("  %s\n", probe_describe(e.finding, station).c_str());
}

// Reads each range through the register translation, one device request at a time so that
// every exchange can be shown.
int run_reads(Probe& p) {
    const bool defaults = p.opt.ranges.empty();
    std::vector<ProbeRange> ranges = p.opt.ranges;
    if (defaults)
        ranges.assign(PROBE_DEFAULT_READS.begin(), PROBE_DEFAULT_READS.end());
    if (!p.opt.json)
        std::printf("Reading station %u on %s\n", p.station,
                    line_words(p, probe_line_speed(p.s.baudrate)).c_str());
    int failed = 0;
    size_t done = 0;
    std::string json;
    for (; done < ranges.size() && g_stop == 0; ++done) {
        const ProbeRange r = ranges[done];
        uint16_t values[125] = {};
        bool ok = true;
        bool silent = false;
        std::string exchanges;
        if (!p.opt.json && r.count == 1)
            std::printf("\nRegister %u (address 0x%04X): %s\n", r.start + 1, r.start,
                        probe_describe_range(r.start, r.count).c_str());
        else if (!p.opt.json)
            std::printf("\nRegisters %u-%u (address 0x%04X): %s\n", r.start + 1, r.start + r.count,
                        r.start, probe_describe_range(r.start, r.count).c_str());
        for (uint32_t at = r.start; at < r.start + r.count;) {
            const uint32_t next = probe_request_end(at, r.start + r.count);
            const uint32_t before = p.line.counters.transactions;
            ok = regs_read(p.line, p.station, at, next - at, values + (at - r.start)) == 1 && ok;
            const uint32_t made = p.line.counters.transactions - before;
            if (made > 0) {
                const Exchange e = last_exchange(p);
                ok = ok && e.finding.verdict == ProbeVerdict::ok;
                silent = silent || (e.finding.verdict == ProbeVerdict::silence && e.dropped == 0);
                if (p.opt.json)
                    join(exchanges, ",", exchange_json(e, p.station));
                else
                    print_exchange(e, p.station);
                if (made > 1 && !p.opt.json)
                    std::printf("  (%u device requests: only the last is shown)\n", made);
            }
            at = next;
        }
        g_logged.clear();
        failed += ok ? 0 : 1;
        char logged[64];
        std::snprintf(logged, sizeof logged, "read failed (RN %u, WC %u)", r.start + 1, r.count);
        if (p.opt.json) {
            std::string list;
            for (uint32_t i = 0; ok && i < r.count; ++i)
                join(list, ",", std::to_string(values[i]));
            join(json, ",",
                 text_of("{\"start\":%u,\"count\":%u,\"items\":%s,\"ok\":%s,\"values\":[%s],"
                         "\"exchanges\":[%s]}",
                         r.start, r.count,
                         probe_json_string(probe_describe_range(r.start, r.count)).c_str(),
                         ok ? "true" : "false", list.c_str(), exchanges.c_str()));
        } else if (ok) {
            for (uint32_t i = 0; i < r.count; ++i)
                std::printf("  %5u  %5u  0x%04X\n", r.start + i + 1, values[i], values[i]);
        } else {
            std::printf("  the gateway would log \"%s\" and answer exception 4\n", logged);
        }
        if (defaults && silent) {
            ++done;
            break;
        }
    }
    const size_t skipped = ranges.size() - done;
    if (p.opt.json) {
        std::printf("{\"device\":%s,\"baud\":%u,\"station\":%u,\"reads\":[%s],\"skipped\":%zu,"
                    "\"answered\":%s}\n",
                    probe_json_string(p.path).c_str(), probe_line_speed(p.s.baudrate), p.station,
                    json.c_str(), skipped, failed == 0 && skipped == 0 ? "true" : "false");
    } else if (failed == 0 && skipped == 0) {
        std::printf("\nEvery read was answered.\n");
    } else {
        std::printf("\n%d of %zu reads failed", failed, done);
        if (skipped > 0)
            std::printf("; the device is silent, so the other %zu reads were skipped", skipped);
        std::printf(".\n/usr/share/doc/kovex4/troubleshooting.md says what each finding means; "
                    "--scan-baud\nand --scan-stations look for the device's line speed and "
                    "station.\n");
    }
    return failed == 0 && skipped == 0 ? 0 : 1;
}

// Writes the whole frame before the deadline.
bool write_frame(int fd, const uint8_t* frame, size_t n, int64_t deadline) {
    while (n > 0) {
        const ssize_t w = write(fd, frame, n);
        if (w > 0) {
            frame += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        } else if (w < 0 && errno == EAGAIN && wait_fd(fd, WaitFor::write, deadline) <= 0) {
            return false;
        }
    }
    return true;
}

// One short read of item 'i' 1 per station, replies credited to the station they name, so that a
// reply arriving after its window still counts for the right station.
int run_scan_stations(Probe& p) {
    DevRequest request{};
    request.frame_class = DEV_CLASS_LONG;
    request.command = DEV_CMD_READ_ITEMS;
    request.data_len = 4;
    request.data[0] = 1;
    request.data[1] = DEV_TYPE_I;
    request.data[2] = 1;
    bool answered[256] = {};
    DevReply reply;
    DevRecogniser rec{};
    dev_recogniser_reset(rec, reply);
    uint8_t buffer[512];
    // Listens until the deadline, or until `station` has answered (-1: never).
    auto listen = [&](int64_t deadline, int station) {
        while (wait_fd(p.line.fd, WaitFor::read, deadline) > 0) {
            const ssize_t n = read(p.line.fd, buffer, sizeof buffer);
            if (n <= 0 && errno != EINTR && errno != EAGAIN)
                return;
            for (ssize_t i = 0; i < n; ++i) {
                if (dev_recognise_byte(rec, buffer[i])) {
                    answered[reply.station] = true;
                    dev_recogniser_reset(rec, reply);
                }
            }
            if (station >= 0 && answered[station])
                return;
        }
    };
    if (!p.opt.json)
        std::printf("Asking stations 0-255 on %s, %d ms each\n",
                    line_words(p, probe_line_speed(p.s.baudrate)).c_str(), p.opt.wait_ms);
    listen(wait_clock_us(), -1); // what is waiting now is not an answer
    std::fill(std::begin(answered), std::end(answered), false);
    for (int station = 0; station < 256 && g_stop == 0; ++station) {
        request.station = static_cast<uint8_t>(station);
        uint8_t frame[260];
        const size_t len = dev_frame_request(request, frame);
        const int64_t deadline = wait_clock_us() + int64_t{p.opt.wait_ms} * 1000;
        if (!write_frame(p.line.fd, frame, len, deadline))
            break;
        listen(deadline, station);
    }
    listen(wait_clock_us() + 1000000, -1); // late replies still name their station
    std::string list;
    for (int station = 0; station < 256; ++station)
        if (answered[station])
            join(list, p.opt.json ? "," : " ", std::to_string(station));
    if (p.opt.json)
        std::printf("{\"device\":%s,\"baud\":%u,\"wait_ms\":%d,\"stations\":[%s]}\n",
                    probe_json_string(p.path).c_str(), probe_line_speed(p.s.baudrate),
                    p.opt.wait_ms, list.c_str());
    else if (list.empty())
        std::printf("No station answers. Check the speed (--scan-baud), the framing and the "
                    "wiring; a slow device may need a longer --wait.\n");
    else
        std::printf("Stations that answer: %s\n", list.c_str());
    return list.empty() ? 1 : 0;
}

// One read of register 0x0400 ('i' 1) per line speed, the configured one first, until the device
// answers; a NAK is an answer too.
int run_scan_baud(Probe& p) {
    std::vector<uint32_t> order = {probe_line_speed(p.s.baudrate)};
    for (uint32_t speed : {9600, 19200, 38400, 57600, 115200, 230400, 4800, 2400, 1200, 600, 300})
        if (speed != order[0])
            order.push_back(speed);
    if (!p.opt.json)
        std::printf("Trying station %u at each line speed on %s\n", p.station,
                    line_words(p, order[0]).c_str());
    uint32_t found = 0;
    std::string tries;
    for (const uint32_t speed : order) {
        if (g_stop != 0)
            break;
        close(p.line.fd);
        p.line.fd = open_line(p, speed);
        if (p.line.fd < 0) {
            std::fprintf(stderr, "kovex4-probe: cannot open %s again: %s\n", p.path.c_str(),
                         std::strerror(errno));
            return 2;
        }
        uint16_t value = 0;
        regs_read(p.line, p.station, 0x0400, 1, &value);
        const Exchange e = last_exchange(p);
        const ProbeVerdict v = e.finding.verdict;
        const bool answers = v == ProbeVerdict::ok || v == ProbeVerdict::nak ||
                             v == ProbeVerdict::wrong_count || v == ProbeVerdict::unexpected;
        if (p.opt.json)
            join(tries, ",",
                 text_of("{\"baud\":%u,\"exchange\":%s}", speed,
                         exchange_json(e, p.station).c_str()));
        else
            std::printf("  %6u bit/s: %s\n", speed, probe_describe(e.finding, p.station).c_str());
        if (answers) {
            found = speed;
            break;
        }
    }
    g_logged.clear();
    if (p.opt.json)
        std::printf("{\"device\":%s,\"station\":%u,\"tries\":[%s],\"answers_at\":%s}\n",
                    probe_json_string(p.path).c_str(), p.station, tries.c_str(),
                    found == 0 ? "null" : std::to_string(found).c_str());
    else if (found != 0)
        std::printf("The device answers at %u bit/s: MOD_KOVEX4_BAUDRATE=%u.\n", found, found);
    else
        std::printf("No speed gets an answer from station %u: check the station "
                    "(--scan-stations), the framing and the wiring.\n",
                    p.station);
    return found != 0 ? 0 : 1;
}

int run_line(const Options& opt) {
    Probe p{opt, {}, {}, 0, {}, {}, false};
    if (!load_line_settings(p))
        return 2;
    if (!take_line(p)) {
        release_line(p);
        return 2;
    }
    const int status = opt.scan_stations ? run_scan_stations(p)
                       : opt.scan_baud   ? run_scan_baud(p)
                                         : run_reads(p);
    release_line(p);
    return status;
}

// ---- status ----

std::string read_from(const std::string& path, std::streamoff offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    if (in.tellg() < offset)
        offset = 0; // the log was rotated meanwhile
    in.seekg(offset);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string journal() {
    std::string out;
    if (std::FILE* pipe = popen("journalctl -t kovex4 -n 50 --no-pager 2>/dev/null", "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

int run_status(const Options& opt) {
    Settings s;
    if (std::FILE* f = std::fopen(opt.settings.c_str(), "r")) {
        std::fclose(f);
    } else {
        std::fprintf(stderr, "kovex4-probe: cannot read %s: %s\n", opt.settings.c_str(),
                     std::strerror(errno));
        return 2;
    }
    settings_load(s, opt.settings.c_str());
    const std::string path = "/dev/" + s.device;
    if (!set_lock_dir(opt, path))
        return 2;
    const int pid = com_lock_owner(path.c_str());
    if (pid <= 0) {
        std::fprintf(stderr,
                     "kovex4-probe: no gateway runs: the lock file %s names no running "
                     "process\n",
                     lock_file(opt, path).c_str());
        return 2;
    }
    // SIGUSR1 ends a process that does not expect it: only the gateway gets it.
    if (process_name(pid) != "kovex4") {
        std::fprintf(stderr, "kovex4-probe: %s is held by process %d (%s), not by kovex4\n",
                     path.c_str(), pid, process_name(pid).c_str());
        return 2;
    }
    std::string log = opt.log;
    for (const char* candidate : {"/var/log/syslog", "/var/log/daemon.log", "/var/log/messages"})
        if (log.empty() && access(candidate, R_OK) == 0)
            log = candidate;
    const bool use_journal = log.empty() && access("/usr/bin/journalctl", X_OK) == 0;
    std::streamoff offset = 0;
    std::string before;
    if (!log.empty())
        offset = std::max<std::streamoff>(
            0, std::ifstream(log, std::ios::binary | std::ios::ate).tellg());
    else if (use_journal)
        before = probe_last_counters(journal(), pid);
    if (kill(pid, SIGUSR1) != 0) {
        std::fprintf(stderr, "kovex4-probe: cannot signal process %d: %s\n", pid,
                     std::strerror(errno));
        return 2;
    }
    // The gateway logs the line from its main loop within a second.
    std::string counters;
    for (int tries = 0; tries < 30 && counters.empty() && (!log.empty() || use_journal); ++tries) {
        wait_until(wait_clock_us() + 100000);
        if (!log.empty())
            counters = probe_last_counters(read_from(log, offset), pid);
        else if (const std::string now = probe_last_counters(journal(), pid); now != before)
            counters = now;
    }
    const std::string source = !log.empty() ? log : use_journal ? "journalctl -t kovex4" : "";
    if (opt.json) {
        std::printf("{\"pid\":%d,\"log\":%s,\"counters\":", pid,
                    source.empty() ? "null" : probe_json_string(source).c_str());
        if (counters.empty()) {
            std::printf("null}\n");
        } else {
            std::istringstream words(counters);
            std::string pair;
            const char* separator = "{";
            while (words >> pair) {
                const size_t eq = pair.find('=');
                if (eq == std::string::npos)
                    continue;
                std::printf("%s%s:%s", separator, probe_json_string(pair.substr(0, eq)).c_str(),
                            pair.substr(eq + 1).c_str());
                separator = ",";
            }
            std::printf("%s}\n", *separator == '{' ? "{}" : "}");
        }
        return counters.empty() ? 1 : 0;
    }
    std::printf("Sent SIGUSR1 to kovex4, process %d.\n", pid);
    if (counters.empty()) {
        std::printf("%s\nThe gateway logs the line \"counters: ...\" at notice level with the "
                    "tag kovex4: look for it in the system log (journalctl -t kovex4, or "
                    "/var/log/syslog, daemon.log or messages).\n",
                    source.empty() ? "No readable system log here."
                                   : ("No counters line in " + source + " within 3 s.").c_str());
        return 1;
    }
    std::printf("Counters since the gateway started (from %s):\n", source.c_str());
    std::istringstream words(counters);
    for (std::string pair; words >> pair;) {
        const size_t eq = pair.find('=');
        std::printf("  %-20s %s\n", pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const int rc = parse_options(argc, argv, opt); rc != 0)
        return rc < 0 ? 0 : rc;
    // Whatever the gateway's code logs goes to the probe's output, not to syslog.
    log_set_sink(capture_log);
    if (opt.command == "settings")
        return run_settings(opt);
    if (opt.command == "status")
        return run_status(opt);
    // Ctrl-C ends a long scan after the exchange in progress, so that the lock is released.
    struct sigaction action {};
    action.sa_handler = ask_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return run_line(opt);
}
