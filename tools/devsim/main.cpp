// SPDX-License-Identifier: Apache-2.0
// kovex4-devsim: a simulated field device on a pseudo-terminal or an existing tty, for
// commissioning and trying out the gateway without the real equipment.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "devsim.h"

namespace {

const char USAGE[] =
    "Usage: kovex4-devsim [OPTION]...\n"
    "Simulates the field device behind a kovex4 gateway: an item store, a 10-byte block and a\n"
    "flag, answering the device's serial protocol.\n"
    "\n"
    "By default a pseudo-terminal is opened and its slave path printed on standard output as\n"
    "\"kovex4-devsim: device on /dev/pts/N\"; point the gateway at that device. The simulator\n"
    "serves until SIGINT or SIGTERM.\n"
    "\n"
    "  --tty PATH            serve an existing tty (for example a USB serial adapter) instead\n"
    "  --link PATH           also create the symbolic link PATH to the device (removed on exit)\n"
    "  --set T:N=V           set item N (0-255) of type letter T (i, a, H, @, ...) to V;\n"
    "                        V is decimal or 0x hex; repeatable\n"
    "  --block B0,...,B9     set the ten block bytes (word low, word high, byte 1 ... byte 8)\n"
    "  --baud N              pace replies as on a line of N bit/s (10 bits per byte); with\n"
    "                        --tty also sets the line speed\n"
    "  --strict-baud         with --baud: ignore requests that come in while the gateway's\n"
    "                        end of the line is set to another speed\n"
    "  --station N           answer only requests to station N (0-255); default: every one\n"
    "  --fault-percent P     inject a random fault into P percent of the replies (0-100)\n"
    "  --seed S              seed of the random faults (default 1)\n"
    "  --verbose             print every request, fault and reply in hex on standard error\n"
    "  --help                show this text and exit\n";

struct ItemSet {
    uint8_t type;
    uint8_t number;
    uint16_t value;
};

struct Options {
    std::string tty;
    std::string link;
    std::vector<ItemSet> sets;
    std::optional<std::array<uint8_t, 10>> block;
    unsigned baud = 0;
    bool strict_baud = false;
    int station = -1;
    unsigned fault_percent = 0;
    uint32_t seed = 1;
    bool verbose = false;
};

// Decimal, or hexadecimal after "0x"; false unless the whole text is a number up to `max`.
bool parse_number(const char* text, unsigned long max, unsigned long& out) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0' || *text == '-' || *text == '+') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, base);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool parse_set(const char* text, ItemSet& set) {
    std::string s(text);
    size_t colon = s.find(':');
    size_t equals = s.find('=');
    unsigned long number = 0;
    unsigned long value = 0;
    if (colon != 1 || equals == std::string::npos || equals < colon ||
        !parse_number(s.substr(2, equals - 2).c_str(), 255, number) ||
        !parse_number(s.substr(equals + 1).c_str(), 65535, value)) {
        return false;
    }
    set = {static_cast<uint8_t>(s[0]), static_cast<uint8_t>(number), static_cast<uint16_t>(value)};
    return true;
}

bool parse_block(const char* text, std::array<uint8_t, 10>& block) {
    std::string s(text);
    size_t start = 0;
    for (size_t i = 0; i < block.size(); ++i) {
        size_t comma = s.find(',', start);
        bool last = i + 1 == block.size();
        if (last != (comma == std::string::npos)) {
            return false;
        }
        unsigned long v = 0;
        if (!parse_number(s.substr(start, comma - start).c_str(), 255, v)) {
            return false;
        }
        block[i] = static_cast<uint8_t>(v);
        start = comma + 1;
    }
    return true;
}

int usage_error(const char* what, const char* arg) {
    std::fprintf(stderr, "kovex4-devsim: %s: %s\nTry 'kovex4-devsim --help'.\n", what, arg);
    return 2;
}

// 0 to go on, otherwise the exit status.
int parse_options(int argc, char** argv, Options& opt) {
    enum { TTY = 1, LINK, SET, BLOCK, BAUD, STRICT_BAUD, STATION, FAULT, SEED, VERBOSE, HELP };
    static const option longopts[] = {
        {"tty", required_argument, nullptr, TTY},
        {"link", required_argument, nullptr, LINK},
        {"set", required_argument, nullptr, SET},
        {"block", required_argument, nullptr, BLOCK},
        {"baud", required_argument, nullptr, BAUD},
        {"strict-baud", no_argument, nullptr, STRICT_BAUD},
        {"station", required_argument, nullptr, STATION},
        {"fault-percent", required_argument, nullptr, FAULT},
        {"seed", required_argument, nullptr, SEED},
        {"verbose", no_argument, nullptr, VERBOSE},
        {"help", no_argument, nullptr, HELP},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    unsigned long v = 0;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case TTY:
            opt.tty = optarg;
            break;
        case LINK:
            opt.link = optarg;
            break;
        case SET: {
            ItemSet set{};
            if (!parse_set(optarg, set)) {
                return usage_error("bad --set (want T:N=V)", optarg);
            }
            opt.sets.push_back(set);
            break;
        }
        case BLOCK: {
            std::array<uint8_t, 10> block{};
            if (!parse_block(optarg, block)) {
                return usage_error("bad --block (want ten bytes separated by commas)", optarg);
            }
            opt.block = block;
            break;
        }
        case BAUD:
            if (!parse_number(optarg, 4000000, v)) {
                return usage_error("bad --baud", optarg);
            }
            opt.baud = static_cast<unsigned>(v);
            break;
        case STRICT_BAUD:
            opt.strict_baud = true;
            break;
        case STATION:
            if (!parse_number(optarg, 255, v)) {
                return usage_error("bad --station (want 0-255)", optarg);
            }
            opt.station = static_cast<int>(v);
            break;
        case FAULT:
            if (!parse_number(optarg, 100, v)) {
                return usage_error("bad --fault-percent (want 0-100)", optarg);
            }
            opt.fault_percent = static_cast<unsigned>(v);
            break;
        case SEED:
            if (!parse_number(optarg, 0xFFFFFFFFul, v)) {
                return usage_error("bad --seed", optarg);
            }
            opt.seed = static_cast<uint32_t>(v);
            break;
        case VERBOSE:
            opt.verbose = true;
            break;
        case HELP:
            std::fputs(USAGE, stdout);
            return -1;
        default:
            std::fputs("Try 'kovex4-devsim --help'.\n", stderr);
            return 2;
        }
    }
    if (optind < argc) {
        return usage_error("unexpected argument", argv[optind]);
    }
    if (opt.strict_baud && opt.baud == 0) {
        std::fputs("kovex4-devsim: --strict-baud needs --baud\nTry 'kovex4-devsim --help'.\n",
                   stderr);
        return 2;
    }
    return 0;
}

// Opens an existing tty raw and non-blocking; the speed follows --baud when it is a standard one.
int open_tty(const std::string& path, unsigned baud) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        if (sim_speed_code(baud) != B0) {
            cfsetspeed(&tio, sim_speed_code(baud));
        }
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Replaces an earlier symbolic link of ours, but never a real file.
bool make_link(const std::string& link, const std::string& target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        unlink(link.c_str());
    }
    return symlink(target.c_str(), link.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    if (int rc = parse_options(argc, argv, opt); rc != 0) {
        return rc < 0 ? 0 : rc;
    }

    // The serving thread inherits this mask, so the signals reach sigwait below only.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    SimPty pty;
    int fd = -1;
    std::string device;
    if (opt.tty.empty()) {
        if (!sim_open_pty(pty)) {
            std::fprintf(stderr, "kovex4-devsim: cannot open a pseudo-terminal: %s\n",
                         std::strerror(errno));
            return 1;
        }
        // The slave stays open here too, so the line survives the gateway closing it.
        fd = pty.master;
        device = pty.slave_path;
    } else {
        fd = open_tty(opt.tty, opt.baud);
        if (fd < 0) {
            std::fprintf(stderr, "kovex4-devsim: cannot open %s: %s\n", opt.tty.c_str(),
                         std::strerror(errno));
            return 1;
        }
        device = opt.tty;
    }
    if (!opt.link.empty() && !make_link(opt.link, device)) {
        std::fprintf(stderr, "kovex4-devsim: cannot create link %s: %s\n", opt.link.c_str(),
                     std::strerror(errno));
        if (opt.tty.empty()) {
            sim_close_pty(pty);
        } else {
            close(fd);
        }
        return 1;
    }

    int status = 0;
    {
        DevSimServer server(fd);
        server.with([&](DevSim& sim) {
            for (const ItemSet& s : opt.sets) {
                sim.items[s.type][s.number] = s.value;
            }
            if (opt.block) {
                sim.block = *opt.block;
            }
            sim.baud = opt.baud;
            sim.strict_baud = opt.strict_baud;
            sim.station = static_cast<int16_t>(opt.station);
            sim.fault_percent = opt.fault_percent;
            sim.seed = opt.seed;
            sim.keep_requests = false;
            sim.trace = opt.verbose ? stderr : nullptr;
        });
        std::printf("kovex4-devsim: device on %s\n", device.c_str());
        std::fflush(stdout);

        int sig = 0;
        if (sigwait(&stop_signals, &sig) != 0) {
            status = 1;
        }
        if (opt.verbose) {
            server.with([](DevSim& sim) {
                std::fprintf(stderr, "kovex4-devsim: %llu faults injected\n",
                             static_cast<unsigned long long>(sim.faults_injected));
            });
        }
    }
    if (!opt.link.empty()) {
        unlink(opt.link.c_str());
    }
    if (opt.tty.empty()) {
        sim_close_pty(pty);
    } else {
        close(fd);
    }
    return status;
}
