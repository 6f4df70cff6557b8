// SPDX-License-Identifier: Apache-2.0
// kovex4-probe line: takes the serial line as the gateway does and reads registers from the
// field device, showing every exchange; or scans for the device's station or line speed.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "device/commands.h"
#include "device/link.h"
#include "json.h"
#include "modbus/modbus.h"
#include "regmap/regs.h"
#include "service/service.h"
#include "sys/com.h"
#include "sys/deadline.h"

namespace {

struct Probe {
    const Options& opt;
    Settings s;
    DevLinePort port; // as the gateway opens it, with the command line's overrides
    uint8_t station = 0;
    DevLine line;
    DevTrace trace{};
    bool took_lock = false;
    std::string lock; // its file
};

// The settings with the command line's overrides, in the settings' own form.
bool load_line_settings(Probe& p) {
    // With --device the settings file may be missing: it then reads like an empty one.
    if (!p.opt.device && !load_settings(p.opt, p.s))
        return false;
    if (p.opt.device) {
        settings_load(p.s, p.opt.settings.c_str());
        p.s.device = *p.opt.device;
    }
    if (p.opt.baud)
        p.s.baudrate = settings_read_number(p.opt.baud->c_str()).value;
    if (p.opt.station)
        p.s.station = settings_read_number(p.opt.station->c_str()).value;
    p.station = static_cast<uint8_t>(p.s.station & 0xFF);
    p.port = service_line_port(p.s);
    if (p.s.device.empty()) {
        std::fprintf(stderr, "kovex4-probe: no device: %s is empty; give --device\n",
                     settings_key(SettingsField::device).name);
        return false;
    }
    return true;
}

// The gateway goes on with a line whose settings could not be applied; nothing the probe would
// read there means anything, so it says why and stops before any read or scan.
bool set_up(const Probe& p) {
    const int error = p.line.setup_errno;
    if (error != 0)
        std::fprintf(stderr, "kovex4-probe: %s cannot be set up as a serial line (%s): %s\n",
                     p.port.path.c_str(), std::strerror(error), probe_line_failure(error).c_str());
    return error == 0;
}

// A line that fails at once, as one without hardware does, is said so with its likely cause
// rather than taken for a silent device. Returns the exit status.
int line_failed(const Probe& p, int error) {
    std::fprintf(stderr, "kovex4-probe: %s fails at once (%s): %s\n", p.port.path.c_str(),
                 error != 0 ? std::strerror(error) : "end of input",
                 probe_line_failure(error).c_str());
    return 2;
}

// Takes the lock and opens the line as the gateway does; never breaks a live process's lock.
bool take_line(Probe& p) {
    std::string& lock = p.lock;
    if (!use_lock_dir(p.opt, p.port.path, lock))
        return false;
    const int owner = com_lock_owner(p.port.path.c_str());
    if (owner > 0 && owner != getpid()) {
        std::fprintf(stderr,
                     "kovex4-probe: %s is in use: its lock file %s names process %d (%s).\n"
                     "Stop that process first (for the gateway: systemctl stop kovex4, or "
                     "/etc/init.d/kovex4 stop).\n",
                     p.port.path.c_str(), lock.c_str(), owner, process_name(owner).c_str());
        return false;
    }
    if (com_lock(p.port.path.c_str(), 1) != 1) {
        std::fprintf(stderr,
                     "kovex4-probe: cannot take the lock file %s: the folder is missing or not "
                     "writable, or the file holds no process id\n",
                     lock.c_str());
        return false;
    }
    p.took_lock = true;
    const int opened = dev_line_open(p.line, p.port);
    // What the gateway would log here: a device that cannot be opened, or is no serial line.
    for (const std::string& text : g_logged)
        std::fprintf(stderr, "kovex4-probe: the gateway logs \"%s\"\n", text.c_str());
    g_logged.clear();
    dev_line_set_trace(p.line, &p.trace);
    return opened == 1 && set_up(p);
}

void release_line(Probe& p) {
    dev_line_close(p.line);
    // The lock taken, even if the device has gone meanwhile and its name resolves to nothing.
    if (p.took_lock)
        com_release(p.lock.c_str());
}

// The line as com_open sets it up, in words.
std::string line_words(const DevLinePort& port) {
    const tcflag_t c =
        com_line_flags(port.baudrate, port.databits, port.parity.c_str(), port.stopbits).cflag;
    return port.path + " at " + std::to_string(com_line_speed(port.baudrate)) + " bit/s, " +
           ((c & CSIZE) == CS7 ? "7" : "8") + " data bits, " +
           ((c & PARENB) == 0   ? "no parity"
            : (c & PARODD) != 0 ? "odd parity"
                                : "even parity") +
           ", " + ((c & CSTOPB) != 0 ? "2 stop bits" : "1 stop bit");
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

void exchange_json(Json& json, const Exchange& e, uint8_t station) {
    json.object()
        .key("request")
        .value(e.request)
        .key("reply")
        .value(e.reply)
        .key("dropped")
        .value(static_cast<uint64_t>(e.dropped))
        .key("round_trip_ms")
        .raw(text_of("%.1f", e.round_trip_ms))
        .key("verdict")
        .value(probe_verdict_name(e.finding.verdict))
        .key("text")
        .value(probe_describe(e.finding, station))
        .end();
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
    print_bytes("request", e.request, "");
    print_bytes("reply", e.reply, text_of("  (%.1f ms)", e.round_trip_ms));
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
        std::printf("Reading station %u on %s\n", p.station, line_words(p.port).c_str());
    int failed = 0;
    size_t done = 0;
    Json json;
    json.object()
        .key("device")
        .value(p.port.path)
        .key("baud")
        .value(com_line_speed(p.port.baudrate))
        .key("station")
        .value(uint32_t{p.station})
        .key("reads")
        .array();
    for (; done < ranges.size() && g_stop == 0; ++done) {
        const ProbeRange r = ranges[done];
        uint16_t values[MODBUS_MAX_READ] = {};
        bool ok = true;
        bool silent = false;
        Json exchanges;
        exchanges.array();
        if (!p.opt.json && r.count == 1)
            std::printf("\nRegister %u (address 0x%04X): %s\n", r.start + 1, r.start,
                        probe_describe_range(r.start, r.count).c_str());
        else if (!p.opt.json)
            std::printf("\nRegisters %u-%u (address 0x%04X): %s\n", r.start + 1, r.start + r.count,
                        r.start, probe_describe_range(r.start, r.count).c_str());
        for (uint32_t at = r.start; at < r.start + r.count;) {
            const uint32_t next = regs_batch_end(at, r.start + r.count);
            const uint32_t before = p.line.counters.transactions;
            ok = regs_read(p.line, p.station, at, next - at, values + (at - r.start)) == 1 && ok;
            if (p.line.lost)
                return line_failed(p, p.line.lost_errno);
            const uint32_t made = p.line.counters.transactions - before;
            if (made > 0) {
                const Exchange e = last_exchange(p);
                ok = ok && e.finding.verdict == ProbeVerdict::ok;
                silent = silent || (e.finding.verdict == ProbeVerdict::silence && e.dropped == 0);
                if (p.opt.json)
                    exchange_json(exchanges, e, p.station);
                else
                    print_exchange(e, p.station);
                if (made > 1 && !p.opt.json)
                    std::printf("  (%u device requests: only the last is shown)\n", made);
            }
            at = next;
        }
        exchanges.end();
        // The probe reads batch by batch; the gateway reads the range at once and logs it whole.
        g_logged.clear();
        const std::string logged = text_of("read failed (RN %u, WC %u)", r.start + 1, r.count);
        failed += ok ? 0 : 1;
        if (p.opt.json) {
            json.object()
                .key("start")
                .value(r.start)
                .key("count")
                .value(r.count)
                .key("items")
                .value(probe_describe_range(r.start, r.count))
                .key("ok")
                .value(ok)
                .key("values")
                .array();
            for (uint32_t i = 0; ok && i < r.count; ++i)
                json.value(uint32_t{values[i]});
            json.end().key("exchanges").raw(exchanges.text()).end();
        } else if (ok) {
            for (uint32_t i = 0; i < r.count; ++i)
                std::printf("  %5u  %5u  0x%04X\n", r.start + i + 1, values[i], values[i]);
        } else {
            std::printf("  the gateway would log \"%s\" and answer exception 4\n", logged.c_str());
        }
        if (defaults && silent) {
            ++done;
            break;
        }
    }
    const size_t skipped = ranges.size() - done;
    if (p.opt.json) {
        json.end()
            .key("skipped")
            .value(static_cast<uint64_t>(skipped))
            .key("answered")
            .value(failed == 0 && skipped == 0)
            .end();
        std::printf("%s\n", json.text().c_str());
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

// Writes the whole frame before the deadline: 1 when written, 0 when the deadline came first,
// -1 when the line failed (errno says why).
int write_frame(int fd, const uint8_t* frame, size_t n, int64_t deadline) {
    while (n > 0) {
        const ssize_t w = com_write(fd, frame, n);
        if (w > 0) {
            frame += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno != EAGAIN) {
            return -1;
        } else if (wait_fd(fd, WaitFor::write, deadline) <= 0) {
            return 0;
        }
    }
    return 1;
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
    int failure = -1; // errno of a line that failed (0: end of input); -1: none
    // Listens until the deadline, or until `station` has answered (-1: never).
    auto listen = [&](int64_t deadline, int station) {
        while (wait_fd(p.line.fd, WaitFor::read, deadline) > 0) {
            const ssize_t n = com_read(p.line.fd, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                failure = n == 0 ? 0 : errno;
                return;
            }
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
        std::printf("Asking stations 0-255 on %s, %d ms each\n", line_words(p.port).c_str(),
                    p.opt.wait_ms);
    listen(wait_clock_us(), -1); // what is waiting now is not an answer
    std::fill(std::begin(answered), std::end(answered), false);
    for (int station = 0; station < 256 && g_stop == 0 && failure < 0; ++station) {
        request.station = static_cast<uint8_t>(station);
        uint8_t frame[260];
        const size_t len = dev_frame_request(request, frame);
        const int64_t deadline = wait_clock_us() + int64_t{p.opt.wait_ms} * 1000;
        const int written = write_frame(p.line.fd, frame, len, deadline);
        if (written < 0)
            failure = errno;
        if (written <= 0)
            break;
        listen(deadline, station);
    }
    if (failure >= 0)
        return line_failed(p, failure);
    listen(wait_clock_us() + 1000000, -1); // late replies still name their station
    Json json;
    json.object()
        .key("device")
        .value(p.port.path)
        .key("baud")
        .value(com_line_speed(p.port.baudrate))
        .key("wait_ms")
        .value(p.opt.wait_ms)
        .key("stations")
        .array();
    std::string list;
    for (int station = 0; station < 256; ++station) {
        if (answered[station]) {
            join(list, " ", std::to_string(station));
            json.value(station);
        }
    }
    json.end().end();
    if (p.opt.json)
        std::printf("%s\n", json.text().c_str());
    else if (list.empty())
        std::printf("No station answers. Check the speed (--scan-baud), the framing and the "
                    "wiring; a slow device may need a longer --wait.\n");
    else
        std::printf("Stations that answer: %s\n", list.c_str());
    return list.empty() ? 1 : 0;
}

// The speeds to try: the configured one first, then the line's speeds from the default up, then
// those below the default downwards, so that the common speeds come early.
std::vector<uint32_t> speeds_to_try(uint32_t configured) {
    std::vector<uint32_t> order = {configured};
    const auto standard = std::find(COM_SPEEDS.begin(), COM_SPEEDS.end(), COM_DEFAULT_SPEED);
    for (auto s = standard; s != COM_SPEEDS.end(); ++s)
        order.push_back(*s);
    for (auto s = standard; s != COM_SPEEDS.begin();)
        order.push_back(*--s);
    order.erase(std::remove(order.begin() + 1, order.end(), configured), order.end());
    return order;
}

// One read of register 0x0400 ('i' 1) per line speed until the device answers; a NAK is an answer
// too.
int run_scan_baud(Probe& p) {
    const std::vector<uint32_t> order = speeds_to_try(com_line_speed(p.port.baudrate));
    if (!p.opt.json)
        std::printf("Trying station %u at each line speed on %s\n", p.station,
                    line_words(p.port).c_str());
    uint32_t found = 0;
    Json json;
    json.object()
        .key("device")
        .value(p.port.path)
        .key("station")
        .value(uint32_t{p.station})
        .key("tries")
        .array();
    for (const uint32_t speed : order) {
        if (g_stop != 0)
            break;
        dev_line_close(p.line);
        DevLinePort port = p.port;
        port.baudrate = speed;
        if (!dev_line_open(p.line, port)) {
            std::fprintf(stderr, "kovex4-probe: cannot open %s again: %s\n", port.path.c_str(),
                         std::strerror(errno));
            return 2;
        }
        if (!set_up(p))
            return 2;
        uint16_t value = 0;
        regs_read(p.line, p.station, 0x0400, 1, &value);
        if (p.line.lost)
            return line_failed(p, p.line.lost_errno);
        const Exchange e = last_exchange(p);
        const ProbeVerdict v = e.finding.verdict;
        const bool answers = v == ProbeVerdict::ok || v == ProbeVerdict::nak ||
                             v == ProbeVerdict::wrong_count || v == ProbeVerdict::unexpected;
        if (p.opt.json) {
            json.object().key("baud").value(speed).key("exchange");
            exchange_json(json, e, p.station);
            json.end();
        } else {
            std::printf("  %6u bit/s: %s\n", speed, probe_describe(e.finding, p.station).c_str());
        }
        if (answers) {
            found = speed;
            break;
        }
    }
    g_logged.clear();
    json.end().key("answers_at");
    if (found == 0)
        json.null();
    else
        json.value(found);
    json.end();
    if (p.opt.json)
        std::printf("%s\n", json.text().c_str());
    else if (found != 0)
        std::printf("The device answers at %u bit/s: %s=%u.\n", found,
                    settings_key(SettingsField::baudrate).name, found);
    else
        std::printf("No speed gets an answer from station %u: check the station "
                    "(--scan-stations), the framing and the wiring.\n",
                    p.station);
    return found != 0 ? 0 : 1;
}

} // namespace

int run_line(const Options& opt) {
    Probe p{opt, {}, {}, 0, {}, {}, false, {}};
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
