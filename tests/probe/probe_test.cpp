// SPDX-License-Identifier: Apache-2.0
// kovex4-probe: its judgement of settings files and device exchanges in-process, the program
// against the simulator on a pseudo-terminal, and `status` against the running gateway.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/commands.h"
#include "devsim.h"
#include "fixture.h"
#include "harness.h"
#include "probe.h"
#include "regmap/regmap.h"
#include "regmap/regs.h"
#include "run_probe.h"
#include "service/service.h"
#include "support.h"
#include "sys/sockets.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_request(uint8_t station, std::initializer_list<uint8_t> data, uint8_t command = 0) {
    DevRequest request{};
    request.station = station;
    request.frame_class = DEV_CLASS_LONG;
    request.command = command;
    for (uint8_t b : data)
        request.data[request.data_len++] = b;
    Bytes frame(260);
    frame.resize(dev_frame_request(request, frame.data()));
    return frame;
}

} // namespace

// Each finding of `settings`: the lines of a row come first (the first line of a key wins), then
// those of a clean file whose keys the row does not set. A clean file has no warning.
TEST(ProbeSettings, EachWarning) {
    const char* clean[] = {"MOD_KOVEX4_DEVICE=null", "MOD_KOVEX4_PORT=1502"};
    const struct {
        const char* lines;
        const char* key;
        const char* says;
    } rows[] = {
        {"", "", ""},
        {"MOD_KOVEX4_BAUDRATE=19200x", "MOD_KOVEX4_BAUDRATE", "read as 19200"},
        {"MOD_KOVEX4_BAUDRATE=14400", "MOD_KOVEX4_BAUDRATE", "uses 9600"},
        {"MOD_KOVEX4_STATION=258", "MOD_KOVEX4_STATION", "is station 2"},
        {"MOD_KOVEX4_PORT=70000", "MOD_KOVEX4_PORT", "is port 4464"},
        {"MOD_KOVEX4_PORT=", "MOD_KOVEX4_PORT", "port 0"},
        {"MOD_KOVEX4_DATA_PERIOD=-1", "MOD_KOVEX4_DATA_PERIOD", "wraps around to 4294967295"},
        {"MOD_KOVEX4_ALARM_PERIOD=99999999999", "MOD_KOVEX4_ALARM_PERIOD", "above 4294967295"},
        {"MOD_KOVEX4_STATION=one", "MOD_KOVEX4_STATION", "not a number"},
        {"MOD_KOVEX4_DATABITS=9", "MOD_KOVEX4_DATABITS", "uses 8"},
        {"MOD_KOVEX4_STOPBITS=3", "MOD_KOVEX4_STOPBITS", "uses 1"},
        {"MOD_KOVEX4_PARITY=even", "MOD_KOVEX4_PARITY", "upper case"},
        {"MOD_KOVEX4_PARITY=X", "MOD_KOVEX4_PARITY", "no parity"},
        {"MOD_KOVEX4_PORT =502", "MOD_KOVEX4_PORT", "blanks"},
        {"mod_kovex4_station=1\nMOD_KOVEX4_STATION=2", "MOD_KOVEX4_STATION", "line 1 sets"},
        {"MOD_KOVEX4_BAUD=9600", "", "unknown key"},
        {"MOD_KOVEX4_STATION 1", "", "no \"=\""},
        {"MOD_KOVEX4_DEVICE=", "MOD_KOVEX4_DEVICE", "no device"},
        {"MOD_KOVEX4_DEVICE= null", "MOD_KOVEX4_DEVICE", "blanks are part of the name"},
        {"MOD_KOVEX4_DEVICE=ttyKOVEX4NONE", "MOD_KOVEX4_DEVICE", "does not exist"},
        {"MOD_KOVEX4_IPADDR=192.0.2.7\nMOD_KOVEX4_DATA_PERIOD=60", "MOD_KOVEX4_IPADDR", "no slot"},
        {"MOD_KOVEX4_IPADDR=192.0.2.7\nMOD_KOVEX4_START1=1\nMOD_KOVEX4_COUNT1=1",
         "MOD_KOVEX4_IPADDR", "both 0"},
        {"MOD_KOVEX4_START1=1\nMOD_KOVEX4_COUNT1=1", "MOD_KOVEX4_IPADDR", "nothing is pushed"},
        {"MOD_KOVEX4_START1=1\nMOD_KOVEX4_COUNT1=1\nMOD_KOVEX4_DATA_PERIOD=60\n"
         "MOD_KOVEX4_MQTT_HOST=192.0.2.7",
         "", ""},
        {"MOD_KOVEX4_COUNT2=5", "MOD_KOVEX4_COUNT2", "START is 0"},
        {"MOD_KOVEX4_START2=5", "MOD_KOVEX4_COUNT2", "COUNT is 0"},
        {"MOD_KOVEX4_START3=1\nMOD_KOVEX4_COUNT3=124", "MOD_KOVEX4_COUNT3", "above 123"},
        {"MOD_KOVEX4_START4=65530\nMOD_KOVEX4_COUNT4=8", "MOD_KOVEX4_COUNT4",
         "past register 65536"},
        {"MOD_KOVEX4_START5=1025\nMOD_KOVEX4_COUNT5=1\nMOD_KOVEX4_ALARM5=1", "MOD_KOVEX4_ALARM5",
         "bit-packed"},
        {"MOD_KOVEX4_IPADDR=127.0.0.1\nMOD_KOVEX4_DATA_PERIOD=60\nMOD_KOVEX4_START1=1\n"
         "MOD_KOVEX4_COUNT1=1",
         "MOD_KOVEX4_IPADDR", "this gateway itself"},
        {"MOD_KOVEX4_IPADDR=localhost\nMOD_KOVEX4_DATA_PERIOD=60\nMOD_KOVEX4_START1=1\n"
         "MOD_KOVEX4_COUNT1=1",
         "MOD_KOVEX4_IPADDR", "this gateway itself"},
        {"MOD_KOVEX4_LISTEN=eth0", "MOD_KOVEX4_LISTEN", "not an IPv4 address"},
        {"MOD_KOVEX4_LISTEN=192.0.2.7", "MOD_KOVEX4_LISTEN", "not an address of this machine"},
        {"MOD_KOVEX4_CLIENTS=17", "MOD_KOVEX4_CLIENTS", "at most 16"},
        {"MOD_KOVEX4_ALLOW=\"127.0.0.0/8, 10.1.2.3\"\nMOD_KOVEX4_READ_ONLY=1", "", ""},
        {"MOD_KOVEX4_ALLOW=10.0.0.1 lan", "MOD_KOVEX4_ALLOW",
         "allow list entry lan is not an IPv4 address or network: it is ignored"},
        {"MOD_KOVEX4_ALLOW=10.0.0.0/33", "MOD_KOVEX4_ALLOW", "nobody can connect"},
        {"\xEF\xBB\xBFMOD_KOVEX4_PORT=1502", "", "byte-order mark"},
        {"MOD_KOVEX4_MQTT_HOST=b\nMOD_KOVEX4_DATA_PERIOD=60\nMOD_KOVEX4_MQTT_FORMAT=xml",
         "MOD_KOVEX4_MQTT_FORMAT", "xml is neither json nor sparkplug"},
    };
    LogCapture log;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lines);
        std::string text = std::string(row.lines) + "\n";
        for (const char* line : clean)
            if (text.find(std::string(line, std::strchr(line, '=') - line)) == std::string::npos)
                text += std::string(line) + "\n";
        // The machine as the program finds it: /dev/null exists, the other device does not.
        const Settings settings = probe_load_settings(text);
        ProbeHost host;
        host.device_exists = settings.device == "null";
        host.push_address = settings.ipaddr.empty() ? 0 : resolve_hostname(settings.ipaddr.c_str());
        ProbeSettingsReport report;
        probe_check_settings(text, host, report);
        std::string found;
        for (const ProbeWarning& w : report.warnings)
            if (w.key == row.key && w.text.find(row.says) != std::string::npos)
                found = w.text;
        EXPECT_EQ(report.warnings.empty(), *row.says == '\0');
        EXPECT_TRUE(*row.says == '\0' || !found.empty());
        if (*row.says == '\0' || found.empty())
            for (const ProbeWarning& w : report.warnings)
                ADD_FAILURE() << w.line << " " << w.key << ": " << w.text;
    }
    // Only a parity text longer than its one letter that counts gets the note.
    for (const auto& [parity, note] : {std::pair{"N", false}, {"Even", true}}) {
        ProbeSettingsReport report;
        probe_check_settings(std::string("MOD_KOVEX4_PARITY=") + parity + "\n", ProbeHost{},
                             report);
        EXPECT_EQ(report.rows[4].note.empty(), !note) << parity;
    }
}

// Whether a user (here nobody, who owns nothing here) may read a file is decided by its mode and
// owner and by every folder on the way, as for the packaged service's user; without such a user
// or such a file there is nothing to say.
TEST(ProbeSettings, WhatKeepsAUserFromReadingAFile) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string open = dir.file("open"), closed = dir.file("closed");
    const std::string folder = dir.file("folder"), inside = dir.file("folder/open");
    write_file(open, "");
    write_file(closed, "");
    chmod(open.c_str(), 0644);
    chmod(closed.c_str(), 0600);
    mkdir(folder.c_str(), 0700);
    write_file(inside, "");
    chmod(inside.c_str(), 0644);
    struct stat st {};
    stat(closed.c_str(), &st);
    const std::string owner =
        ", owner " + std::to_string(st.st_uid) + ", group " + std::to_string(st.st_gid);
    const struct {
        const char* user;
        std::string path, obstacle, remedy;
    } rows[] = {
        {"nobody", open, "", ""},
        {"nobody", closed, "mode 0600" + owner, "chgrp nobody and chmod 0640 it"},
        {"nobody", inside, "the folder " + folder + " (mode 0700" + owner + ") is closed to it",
         "move the file to a folder it can reach, such as /opt/kovex4/etc"},
        {"nobody", dir.file("missing"), "", ""},
        {"kovex4-no-such-user", closed, "", ""},
    };
    for (const auto& row : rows) {
        const ProbeNoAccess no = probe_user_cannot_read(row.user, row.path);
        EXPECT_EQ(no.obstacle, row.obstacle) << row.path;
        EXPECT_EQ(no.remedy, row.remedy) << row.path;
    }
}

// The program's exit status tells scripts the outcome; --json gives the same as JSON.
TEST(ProbeSettings, ExitStatusAndJson) {
    TempDir dir;
    write_file(dir.file("clean"), "MOD_KOVEX4_DEVICE=null\nMOD_KOVEX4_PORT=1502\n");
    write_file(dir.file("warned"), "MOD_KOVEX4_DEVICE=null\nMOD_KOVEX4_PORT=1502x\n");
    EXPECT_EQ(probe("settings -c " + dir.file("clean")).status, 0);
    EXPECT_TRUE(said(probe("settings -c " + dir.file("warned")), 1,
                     "line 2, MOD_KOVEX4_PORT: \"1502x\" is read as 1502"));
    EXPECT_EQ(probe("settings -c " + dir.file("missing")).status, 2);
    const Ran json = probe("settings --json -c " + dir.file("warned"));
    EXPECT_EQ(json.status, 1);
    write_file(dir.file("out.json"), json.out);
    EXPECT_EQ(std::system(("python3 -c 'import json,sys; d = json.load(open(sys.argv[1])); "
                           "assert d[\"keys\"][7][\"used\"] == \"1502\", d' " +
                           dir.file("out.json"))
                              .c_str()),
              0)
        << json.out;
}

// What the probe says about each fault of the simulator, and about replies it cannot make.
TEST(ProbeClassify, EachFaultInWords) {
    const Bytes read_i1 = read_request(1, {1, 'i', 1, 0});
    const Bytes read_block = read_request(1, {}, DEV_CMD_READ_BLOCK);
    const struct {
        SimFault fault;
        const Bytes& request;
        ProbeVerdict verdict;
        bool garbage;
    } faults[] = {
        {SimFault::none, read_i1, ProbeVerdict::ok, false},
        {SimFault::silent, read_i1, ProbeVerdict::silence, false},
        {SimFault::nak, read_i1, ProbeVerdict::nak, false},
        {SimFault::bad_checksum, read_i1, ProbeVerdict::bad_checksum, false},
        {SimFault::garbage, read_i1, ProbeVerdict::ok, true},
        {SimFault::split, read_i1, ProbeVerdict::ok, false},
        {SimFault::wrong_count, read_i1, ProbeVerdict::wrong_count, false},
        {SimFault::wrong_count, read_block, ProbeVerdict::wrong_count, false},
    };
    for (const auto& row : faults) {
        SCOPED_TRACE(sim_fault_name(row.fault));
        DevSim sim;
        sim.next_faults = {row.fault};
        std::vector<SimReply> plans;
        devsim_feed(sim, row.request.data(), row.request.size(), plans);
        Bytes received;
        for (const SimReply& plan : plans)
            for (const Bytes& w : plan.writes)
                received.insert(received.end(), w.begin(), w.end());
        const ProbeFinding f = probe_classify(row.request.data(), row.request.size(),
                                              received.data(), received.size());
        EXPECT_EQ(probe_verdict_name(f.verdict), probe_verdict_name(row.verdict));
        EXPECT_EQ(f.garbage > 0, row.garbage);
    }

    // Replies the simulator does not make: another station, a cut-off reply, noise, an ACK.
    Bytes other;
    sim_frame_short(2, DEV_DATA_FOLLOWS, other);
    const uint8_t data[] = {1, 0x34, 0x12};
    sim_frame_long(2, 0, data, sizeof data, other);
    const Bytes cut(other.begin(), other.begin() + 8);
    Bytes ack;
    sim_frame_short(1, DEV_ACK, ack);
    const Bytes noise = {0xFF, 0x00, 0x13, 0x80};
    const struct {
        const Bytes& received;
        ProbeVerdict verdict;
        const char* says;
    } replies[] = {
        {other, ProbeVerdict::other_station, "station 2, not 1"},
        {cut, ProbeVerdict::incomplete, "start of a reply"},
        {noise, ProbeVerdict::no_reply, "form no reply"},
        {ack, ProbeVerdict::unexpected, "wrong kind"},
    };
    for (const auto& row : replies) {
        const ProbeFinding f = probe_classify(read_i1.data(), read_i1.size(), row.received.data(),
                                              row.received.size());
        EXPECT_EQ(probe_verdict_name(f.verdict), probe_verdict_name(row.verdict));
        EXPECT_NE(probe_describe(f, 1).find(row.says), std::string::npos) << probe_describe(f, 1);
    }
}

// The probe reads a range one device request at a time: the requests must be those the gateway
// makes for the whole range. The default reads cover every item type of the register map.
TEST(ProbeRegisters, RequestsAsTheGatewayMakesThem) {
    const ProbeRange ranges[] = {{0, 125}, {0x0400, 100}, {0x1FF0, 125}, {0x0600, 9}, {0x05FF, 10}};
    for (const ProbeRange& r : ranges) {
        SCOPED_TRACE(r.start);
        std::vector<SimRequest> made[2];
        for (int split = 0; split < 2; ++split) {
            int fds[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
            {
                DevSimServer sim(fds[1]);
                DevLine line{fds[0]};
                uint16_t values[125];
                for (uint32_t at = r.start; at < r.start + r.count;) {
                    const uint32_t next =
                        split ? regs_batch_end(at, r.start + r.count) : r.start + r.count;
                    EXPECT_EQ(regs_read(line, 1, at, next - at, values + (at - r.start)), 1);
                    at = next;
                }
                made[split] = sim.with([](DevSim& s) { return s.requests; });
            }
            close(fds[0]);
            close(fds[1]);
        }
        ASSERT_EQ(made[0].size(), made[1].size());
        for (size_t i = 0; i < made[0].size(); ++i)
            EXPECT_EQ(made[0][i].data, made[1][i].data);
    }

    std::set<uint8_t> in_map, in_defaults;
    for (const RegMapEntry& row : regmap_table)
        if (row.item_count > 0 && row.reg != REGMAP_END)
            in_map.insert(row.item_type);
    for (const ProbeRange& r : PROBE_DEFAULT_READS)
        for (uint32_t reg = r.start; reg < r.start + r.count; ++reg)
            if (const RegMapEntry* row = regmap_lookup(reg); row != nullptr && row->item_count > 0)
                in_defaults.insert(row->item_type);
    EXPECT_EQ(in_defaults, in_map);

    const struct {
        const char* text;
        bool ok;
        ProbeRange range;
    } texts[] = {{"1024", true, {1024, 1}},   {"0x400:2", true, {1024, 2}},
                 {"65535", true, {65535, 1}}, {"65535:2", false, {}},
                 {"0x10000", false, {}},      {"5:0", false, {}},
                 {"5:126", false, {}},        {"12x", false, {}}};
    for (const auto& row : texts) {
        ProbeRange range{};
        EXPECT_EQ(probe_parse_register(row.text, range), row.ok) << row.text;
        EXPECT_TRUE(!row.ok || (range.start == row.range.start && range.count == row.range.count))
            << row.text;
    }
}

// The program against the real simulator on a pseudo-terminal: a device at station 1 that
// understands only 9600 bit/s, a wrong station, a wrong speed, the scans and a held lock.
TEST(ProbeLine, AgainstTheSimulator) {
    TempDir dir;
    const std::string out = dir.file("devsim.out");
    const pid_t sim = spawn_to_file({KOVEX4_DEVSIM, "--station", "1", "--baud", "9600",
                                     "--strict-baud", "--set", "i:1=1234", "--set", "i:2=5"},
                                    out);
    const struct Ends {
        pid_t pid;
        ~Ends() { end_process(pid); }
    } ends{sim};
    ASSERT_TRUE(wait_file_contains(out, "device on /dev/pts/", 5000));
    std::string device = read_file(out).substr(read_file(out).find("/dev/") + 5);
    device.erase(device.find('\n'));
    write_file(dir.file("settings"), "MOD_KOVEX4_DEVICE=" + device +
                                         "\nMOD_KOVEX4_BAUDRATE=9600\nMOD_KOVEX4_STATION=1\n");
    const std::string lock = dir.file("LCK.." + device.substr(device.rfind('/') + 1));
    const std::string line = "line -c " + dir.file("settings") + " --lock-dir " + dir.path();

    const Ran good = probe(line + " --register 0x400:2");
    EXPECT_TRUE(said(good, 0, "1025   1234  0x04D2"));
    EXPECT_TRUE(said(good, 0, "1026      5  0x0005"));
    const Ran station = probe(line + " --station 2 --register 0x400");
    EXPECT_TRUE(said(station, 1, "no answer"));
    EXPECT_TRUE(said(station, 1, "\"read failed (RN 1025, WC 1)\""));
    const Ran speed = probe(line + " --baud 19200 --scan-baud");
    EXPECT_TRUE(said(speed, 0, "19200 bit/s: no answer"));
    EXPECT_TRUE(said(speed, 0, "answers at 9600 bit/s"));
    EXPECT_TRUE(said(probe(line + " --scan-stations --wait 20 --json"), 0, "\"stations\":[1]"));
    EXPECT_NE(access(lock.c_str(), F_OK), 0) << "the probe left its lock behind";

    // A live owner's lock is refused with its pid and left alone; a dead owner's is taken.
    write_file(lock, "     " + std::to_string(sim) + "\n");
    EXPECT_TRUE(said(probe(line + " --register 0x400"), 2, "names process " + std::to_string(sim)));
    EXPECT_EQ(read_file(lock), "     " + std::to_string(sim) + "\n");
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    write_file(lock, std::to_string(gone) + "\n");
    EXPECT_EQ(probe(line + " --register 0x400").status, 0);
    EXPECT_NE(access(lock.c_str(), F_OK), 0);
}

// A line that cannot be set up (/dev/null, no terminal at all) or fails at once (a pseudo-terminal
// whose far end closes at the first request, as a port without hardware fails) is said so, with
// its likely cause, before any read or scan: never taken for a silent device.
TEST(ProbeLine, LineThatFailsAtOnce) {
    TempDir dir;
    const std::string where = " -c " + dir.file("none") + " --lock-dir " + dir.path();
    for (const char* mode : {"", " --scan-stations", " --scan-baud"})
        EXPECT_TRUE(said(probe("line --device null" + where + mode), 2,
                         "/dev/null cannot be set up as a serial line (Inappropriate ioctl for "
                         "device): it is not a serial line"));
    Pty pty;
    std::thread far_end([&pty] {
        if (wait_readable(pty.master, 10000))
            close(std::exchange(pty.master, -1));
    });
    const Ran ran = probe("line --device " + pty.slave_path.substr(5) + where);
    far_end.join();
    EXPECT_TRUE(
        said(ran, 2, pty.slave_path + " fails at once (end of input): it reported the end"));
}

// The probe reads the counters line back by the gateway's own table: every counter, in order,
// with its value, whatever the line's other words.
TEST(ProbeStatus, CountersLineReadBackByTheGatewaysTable) {
    auto service = std::make_unique<Service>();
    service->counters = {0, 27, 28};
    service->clients.counters = {11, 12, 13, 14, 15, 16, 17, 18, 19, 10};
    service->line.counters = {20, 21, 22, 23};
    service->push.counters = {24, 25, 26, 4294967295u};
    LogCapture log;
    service_log_counters(*service, 7000000);
    ASSERT_EQ(log.lines().size(), 1u);
    const std::string line = log.lines()[0].second.substr(std::strlen("counters: "));
    const std::vector<ProbeCounter> read = probe_parse_counters(line + " later_counter=5");
    ASSERT_EQ(read.size(), SERVICE_COUNTERS.size());
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_STREQ(read[i].name, SERVICE_COUNTERS[i].name);
        EXPECT_EQ(read[i].value, SERVICE_COUNTERS[i].read(*service, 7000000)) << read[i].name;
    }
    EXPECT_EQ(read[0].value, 7u); // uptime
    EXPECT_TRUE(probe_parse_counters("xuptime=3").empty());

    // With MQTT publication on, its counters follow the others, and are read back too.
    service->publish.on = true;
    service->publish.counters = {31, 32, 33, 34, 4294967295u};
    log.clear();
    service_log_counters(*service, 7000000);
    const std::vector<ProbeCounter> more = probe_parse_counters(log.lines()[0].second);
    ASSERT_EQ(more.size(), SERVICE_COUNTERS.size() + std::size(PUBLISH_COUNTER_NAMES));
    EXPECT_EQ(log.lines()[0].second.rfind("counters: " + line + " mqtt_published=31 ", 0), 0u);
    const uint64_t expected[] = {31, 32, 33, 34, 4294967295u};
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_STREQ(more[SERVICE_COUNTERS.size() + i].name, PUBLISH_COUNTER_NAMES[i]);
        EXPECT_EQ(more[SERVICE_COUNTERS.size() + i].value, expected[i]);
    }
}

// `status` and `trace` signal the gateway that holds the line and show the lines it logs; the
// test plays the system log, writing the gateway's lines to a file as a syslog daemon would.
TEST(ProbeStatus, CountersAndTraceOfTheRunningGateway) {
    KOVEX4_NEEDS_ROOT();
#ifdef KOVEX4_EMULATED
    GTEST_SKIP() << "under an emulator the gateway's process is not named kovex4";
#endif
    Daemon d(std::vector<std::string>{});
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening());
    const Bytes read_i1 = {0, 1, 0, 0, 0, 6, 1, 3, 0x04, 0x00, 0, 1};
    const int fd = connect_local(d.port());
    EXPECT_EQ(request_reply(fd, read_i1).size(), 11u);

    const std::string log = d.dir().file("syslog");
    write_file(log, "");
    const std::string out = d.dir().file("probe.out");
    // The probe runs outside the gateway's /dev, where ttyGW0 is not: its settings name the
    // pseudo-terminal that ttyGW0 links to, whose lock the gateway holds.
    const std::string settings = d.dir().file("probe-settings");
    write_file(settings, "MOD_KOVEX4_DEVICE=pts/" + d.lock_name().substr(5) + "\n");
    const std::vector<std::string> where = {"-c",         settings, "--lock-dir",
                                            d.lock_dir(), "--log",  log};
    size_t copied = 0;
    // Runs the probe with `args` while the gateway's lines go to the log; `on_line` sees each.
    const auto run = [&](std::vector<std::string> args,
                         const std::function<void(const std::string&)>& on_line) {
        args.insert(args.begin(), KOVEX4_PROBE);
        args.insert(args.end(), where.begin(), where.end());
        const pid_t pid = spawn_to_file(args, out);
        int wstatus = 0;
        while (waitpid(pid, &wstatus, WNOHANG) == 0) {
            std::string lines;
            const std::vector<LogLine> logged = d.logs();
            for (; copied < logged.size(); ++copied) {
                lines += "Dec  7 10:00:00 gw kovex4[" + std::to_string(d.pid()) +
                         "]: " + logged[copied].text + "\n";
                on_line(logged[copied].text);
            }
            if (!lines.empty())
                write_file(log, read_file(log) + lines);
            usleep(20000);
        }
        return Ran{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, read_file(out)};
    };

    const Ran counters = run({"status", "--json"}, [](const std::string&) {});
    EXPECT_TRUE(said(counters, 0, "{\"pid\":" + std::to_string(d.pid())));
    EXPECT_TRUE(said(counters, 0, "\"requests_fc3\":1,"));

    // The trace is switched on, shows a request made meanwhile, and is switched off again.
    const Ran traced = run({"trace", "--json", "--seconds", "2"}, [&](const std::string& line) {
        if (line == "traffic trace on") {
            EXPECT_EQ(request_reply(fd, read_i1).size(), 11u);
        }
    });
    EXPECT_TRUE(
        said(traced, 0, "\"trace 127.0.0.1 modbus request: 00 01 00 00 00 06 01 03 04 00 00 01\""));
    EXPECT_TRUE(said(traced, 0, "\"traffic trace off\"]}"));
    EXPECT_EQ(d.count_log("traffic trace off"), 1);
    close(fd);

    // A log that cannot be read is said so; without --log, on a machine with neither log files
    // nor journal files, what journalctl says about that stays out of the output.
    const std::string where_no_log = "-c " + settings + " --lock-dir " + d.lock_dir();
    EXPECT_TRUE(said(probe("status " + where_no_log + " --log " + d.dir().file("none")), 2,
                     "cannot read " + d.dir().file("none") + ": No such file"));
    const std::string bare = run_command(
        "unshare -m /bin/sh -c 'mount -t tmpfs none /var/log && { [ ! -d /run/log ] || mount -t "
        "tmpfs none /run/log; } && exec \"$0\" status " +
        where_no_log + "' " KOVEX4_PROBE " 2>&1");
    EXPECT_EQ(bare.find("No journal files"), std::string::npos) << bare;
    EXPECT_NE(bare.find("Sent SIGUSR1 to kovex4"), std::string::npos) << bare;

    d.stop();
    const std::string status =
        "status -c " + settings + " --lock-dir " + d.lock_dir() + " --log " + log;
    EXPECT_TRUE(
        said(probe(status), 2,
             "no gateway runs: the lock file " + d.lock_file() + " names no running process"));
    write_file(settings, "MOD_KOVEX4_DEVICE=ttyKOVEX4NONE\n");
    EXPECT_TRUE(
        said(probe(status), 2,
             "no gateway runs: there is no lock file " + d.lock_dir() + "/LCK..ttyKOVEX4NONE"));
    // A missing settings file, in words and as JSON; an option of another command, by name.
    EXPECT_TRUE(said(probe("trace --json -c " + d.dir().file("none")), 2, "{\"file\":"));
    EXPECT_TRUE(said(probe("settings --seconds 3"), 2, "--seconds does not belong to settings"));
}
