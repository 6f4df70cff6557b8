// SPDX-License-Identifier: Apache-2.0
// kovex4-probe: commissioning checks for a kovex4 gateway, made of the gateway's own settings
// reader, lock, line set-up, device link and register map, so that what it reports is what the
// gateway will do. This file reads the options and hands over to the subcommand.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "cli.h"
#include "json.h"
#include "modbus/modbus.h"
#include "sys/com.h"
#include "sys/log.h"

std::vector<std::string> g_logged;
volatile sig_atomic_t g_stop = 0;

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
    "             1 when one was not, 2 when the line cannot be taken, opened or set up,\n"
    "             or fails at once\n"
    "  status     make the running gateway log its counters (SIGUSR1) and show that line;\n"
    "             exit status 0 when shown, 1 when no readable log has it, 2 when no gateway\n"
    "             holds the line, it cannot be signalled or the --log file cannot be read\n"
    "  trace      switch the running gateway's traffic trace on (SIGUSR2), show its lines as\n"
    "             they are logged, and switch it off again at Ctrl-C or after --seconds;\n"
    "             exit status 0 when switched on and off, 1 when no readable log shows it,\n"
    "             2 as for status\n"
    "  mqtt       check the MQTT settings as the gateway judges them and connect to the broker\n"
    "             once as the gateway would (client identifier with -probe added, no will);\n"
    "             exit status 0 when the broker accepted the connection, 1 when a setting\n"
    "             keeps the gateway from publishing or the broker refused or was not reached,\n"
    "             2 when the settings file cannot be read\n"
    "  modbus     ask a gateway as a Modbus TCP client, plain or over TLS:\n"
    "               modbus --host H --port P [--cert F --key F --ca F [--name N]]\n"
    "                      read ADDRESS COUNT\n"
    "               modbus --host H --port P [--cert F --key F --ca F [--name N]]\n"
    "                      write ADDRESS VALUE...\n"
    "             reads COUNT registers (function 3) or writes the VALUEs (function 16) from\n"
    "             the 0-based ADDRESS (numbers decimal or 0x hex) and shows the answer;\n"
    "             exit status 0 for a normal answer, 1 for an exception, 2 for none\n"
    "\n"
    "Options:\n"
    "  -c, --settings FILE  the settings file (default /opt/kovex4/etc/settings)\n"
    "      --json           print the result as JSON\n"
    "settings:\n"
    "      --client-cert F  check a client's certificate (PEM file) against the TLS settings:\n"
    "                       its authority, its dates and its role\n"
    "line:\n"
    "      --device D       the serial device below /dev, as in %s\n"
    "      --baud B         the line speed, as in %s\n"
    "      --station S      the station address, as in %s\n"
    "      --register R[:N] read N registers (default 1, at most %u) from address R, decimal\n"
    "                       or 0x hex (the Address column of the register map); repeatable;\n"
    "                       default: a few registers of each item type\n"
    "      --scan-stations  ask stations 0-255 with one short read each, list those answering\n"
    "      --scan-baud      try the line speeds, the configured one first, until one answers\n"
    "      --wait MS        how long --scan-stations waits for each station (default 300)\n"
    "line, status, trace:\n"
    "      --lock-dir DIR   the folder of the lock files (default /var/lock)\n"
    "status, trace:\n"
    "      --log FILE       the system log to read (default: /var/log/syslog, daemon.log or\n"
    "                       messages, else journalctl)\n"
    "trace:\n"
    "      --seconds N      switch the trace off after N seconds (default: at Ctrl-C)\n"
    "modbus:\n"
    "      --host HOST      the gateway's address or name\n"
    "      --port PORT      its Modbus TCP port (MOD_KOVEX4_PORT)\n"
    "      --cert FILE      this client's certificate (PEM), for Modbus over TLS\n"
    "      --key FILE       its private key (PEM)\n"
    "      --ca FILE        the authority the gateway's certificate must chain to (PEM)\n"
    "      --name NAME      the name or address the gateway's certificate must carry, when it\n"
    "                       is not HOST (a forwarded port, NAT); default: HOST\n"
    "  -h, --help           show this text\n";

void capture_log(int, const char* message) {
    g_logged.push_back(message);
}

void ask_stop(int) {
    g_stop = 1;
}

// The subcommands each option belongs to.
struct OptionUse {
    const char* name;
    const char* commands;
};
constexpr OptionUse OPTION_USE[] = {
    {"--device", "line"},
    {"--baud", "line"},
    {"--station", "line"},
    {"--register", "line"},
    {"--scan-stations", "line"},
    {"--scan-baud", "line"},
    {"--wait", "line"},
    {"--lock-dir", "line status trace"},
    {"--log", "status trace"},
    {"--seconds", "trace"},
    {"--client-cert", "settings"},
    {"--host", "modbus"},
    {"--port", "modbus"},
    {"--cert", "modbus"},
    {"--key", "modbus"},
    {"--ca", "modbus"},
    {"--name", "modbus"},
};

// True when `command` is one of the blank-separated words of `list`.
bool names(const char* list, const std::string& command) {
    for (const char* at = std::strstr(list, command.c_str()); at != nullptr;
         at = std::strstr(at + 1, command.c_str()))
        if ((at == list || at[-1] == ' ') &&
            (at[command.size()] == '\0' || at[command.size()] == ' '))
            return true;
    return false;
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
        LOG,
        SECONDS,
        CLIENT_CERT,
        HOST,
        PORT,
        CERT,
        KEY,
        CA,
        NAME
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
        {"seconds", required_argument, nullptr, SECONDS},
        {"client-cert", required_argument, nullptr, CLIENT_CERT},
        {"host", required_argument, nullptr, HOST},
        {"port", required_argument, nullptr, PORT},
        {"cert", required_argument, nullptr, CERT},
        {"key", required_argument, nullptr, KEY},
        {"ca", required_argument, nullptr, CA},
        {"name", required_argument, nullptr, NAME},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::vector<std::string> given; // the long options of OPTION_USE that were given
    int c;
    int index = -1;
    while ((c = getopt_long(argc, argv, "c:h", longopts, &index)) != -1) {
        if (c >= DEVICE && c <= NAME)
            given.push_back(std::string("--") + longopts[index].name);
        index = -1;
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
                return usage_error(text_of("bad --register (want R or R:N within 0-65535, N "
                                           "1-%u): %s",
                                           MODBUS_MAX_READ, optarg));
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
            break;
        }
        case LOCK_DIR:
            opt.lock_dir = optarg;
            break;
        case LOG:
            opt.log = optarg;
            break;
        case SECONDS: {
            char* end = nullptr;
            const long seconds = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || seconds < 1 || seconds > 86400)
                return usage_error(std::string("bad --seconds (want 1-86400): ") + optarg);
            opt.seconds = static_cast<int>(seconds);
            break;
        }
        case CLIENT_CERT:
            opt.client_cert = optarg;
            break;
        case HOST:
            opt.host = optarg;
            break;
        case PORT:
            opt.port = optarg;
            break;
        case CERT:
            opt.cert = optarg;
            break;
        case KEY:
            opt.key = optarg;
            break;
        case CA:
            opt.ca = optarg;
            break;
        case NAME:
            opt.name = optarg;
            break;
        case 'h':
            std::printf(USAGE, settings_key(SettingsField::device).name,
                        settings_key(SettingsField::baudrate).name,
                        settings_key(SettingsField::station).name, MODBUS_MAX_READ);
            return -1;
        default:
            std::fputs("Try 'kovex4-probe --help'.\n", stderr);
            return 2;
        }
    }
    // getopt moves the command word behind the options: it is the one argument left, but for
    // the words of a modbus request.
    if (optind == argc)
        return usage_error("no command (settings, line, status, trace, mqtt or modbus)");
    opt.command = argv[optind];
    if (!names("settings line status trace mqtt modbus", opt.command))
        return usage_error("unknown command " + opt.command);
    opt.words.assign(argv + optind + 1, argv + argc);
    if (opt.command != "modbus" && !opt.words.empty())
        return usage_error("one command at a time");
    for (const std::string& name : given)
        for (const OptionUse& use : OPTION_USE)
            if (name == use.name && !names(use.commands, opt.command))
                return usage_error(name + " does not belong to " + opt.command);
    if (int(opt.scan_stations) + int(opt.scan_baud) + int(!opt.ranges.empty()) > 1)
        return usage_error("--register, --scan-stations and --scan-baud go one at a time");
    if (opt.command == "modbus" && (opt.host.empty() || opt.port.empty()))
        return usage_error("modbus needs --host and --port");
    const int tls_files = int(!opt.cert.empty()) + int(!opt.key.empty()) + int(!opt.ca.empty());
    if (tls_files != 0 && tls_files != 3)
        return usage_error("--cert, --key and --ca go together (Modbus over TLS) or not at all");
    if (!opt.name.empty() && tls_files == 0)
        return usage_error("--name needs --cert, --key and --ca: it is the name in a certificate");
    return 0;
}

} // namespace

int usage_error(const std::string& text) {
    std::fprintf(stderr, "kovex4-probe: %s\nTry 'kovex4-probe --help'.\n", text.c_str());
    return 2;
}

std::string text_of(const char* format, ...) {
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

void join(std::string& list, const char* separator, const std::string& item) {
    if (!list.empty())
        list += separator;
    list += item;
}

int cannot_read(const Options& opt, const std::string& path, int error) {
    const std::string reason = std::strerror(error);
    if (opt.json)
        std::printf("%s\n", Json()
                                .object()
                                .key("file")
                                .value(path)
                                .key("error")
                                .value("cannot read " + path + ": " + reason)
                                .end()
                                .text()
                                .c_str());
    std::fprintf(stderr, "kovex4-probe: cannot read %s: %s\n", path.c_str(), reason.c_str());
    return 2;
}

std::string process_name(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

bool use_lock_dir(const Options& opt, const std::string& path, std::string& lock) {
    if (!opt.lock_dir.empty())
        com_set_lock_dir(opt.lock_dir.c_str());
    char file[COM_LOCK_PATH_MAX + 1];
    const size_t length = com_lock_path(path.c_str(), file);
    lock = file;
    if (length > COM_LOCK_PATH_MAX || opt.lock_dir.size() > COM_LOCK_PATH_MAX) {
        std::fprintf(stderr,
                     "kovex4-probe: the lock file of %s in %s is longer than the %zu characters "
                     "the gateway keeps\n",
                     path.c_str(), opt.lock_dir.empty() ? "/var/lock" : opt.lock_dir.c_str(),
                     COM_LOCK_PATH_MAX);
        return false;
    }
    return true;
}

bool load_settings(const Options& opt, Settings& settings) {
    std::FILE* file = std::fopen(opt.settings.c_str(), "r");
    if (file == nullptr) {
        cannot_read(opt, opt.settings, errno);
        return false;
    }
    settings_read(settings, file);
    std::fclose(file);
    return true;
}

int main(int argc, char** argv) {
    // Each line of the output goes out before an error line that follows it, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options opt;
    if (const int rc = parse_options(argc, argv, opt); rc != 0)
        return rc < 0 ? 0 : rc;
    // Whatever the gateway's code logs goes to the probe's output, not to syslog.
    log_set_sink(capture_log);
    if (opt.command == "settings")
        return run_settings(opt);
    if (opt.command == "status")
        return run_status(opt);
    if (opt.command == "modbus")
        return run_modbus(opt);
    if (opt.command == "mqtt")
        return run_mqtt(opt);
    // Ctrl-C ends a long scan after the exchange in progress, so that the lock is released, and
    // a trace after switching it off again.
    struct sigaction action {};
    action.sa_handler = ask_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return opt.command == "trace" ? run_trace(opt) : run_line(opt);
}
