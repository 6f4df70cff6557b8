// SPDX-License-Identifier: Apache-2.0
// MQTT publication from the real daemon to Debian's mosquitto on 127.0.0.1, read back by an
// independent subscriber (paho-mqtt, Sparkplug B decoded by Python's protobuf with a schema of its
// own): mqtt_peer.py. The queue on disk is read back with the record decoder between runs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "service/outbox.h"
#include "service/payload.h"

namespace {

const std::string PY = "/usr/bin/python3";
constexpr int WAIT_MS = 30000; // generous: only a broken gateway or broker runs into it

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The queue's whole message records as the files hold them now: (slot, read time) by number.
std::map<uint64_t, std::pair<int, int64_t>> queued_messages(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* folder = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(folder))
            if (std::string(entry->d_name).size() == 10)
                names.push_back(entry->d_name);
        closedir(folder);
    }
    std::sort(names.begin(), names.end());
    std::map<uint64_t, std::pair<int, int64_t>> messages;
    uint64_t acked = 0;
    for (const std::string& name : names) {
        const std::string bytes = read_file(dir + "/" + name);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        OutboxRecord record;
        for (size_t at = 0, n; (n = outbox_decode(data + at, bytes.size() - at, record)) > 0;
             at += n) {
            if (record.kind == OutboxKind::ack)
                acked = std::max(acked, record.seq);
            else
                messages[record.seq] = {record.message.slot, record.message.read_ms};
        }
    }
    std::erase_if(messages, [&](const auto& m) { return m.first <= acked; });
    return messages;
}

// The text between `before` and the next `after` in `line`, or "".
std::string between(const std::string& line, const std::string& before, const std::string& after) {
    const size_t at = line.find(before);
    const size_t end = at == std::string::npos ? at : line.find(after, at + before.size());
    return end == std::string::npos ? ""
                                    : line.substr(at + before.size(), end - at - before.size());
}

// "2024-05-01T12:00:00.123Z" as the gateway writes read times: digits where digits belong.
bool utc_shaped(const std::string& t) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (t.size() != shape.size())
        return false;
    for (size_t i = 0; i < t.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(t[i])) : t[i] != shape[i])
            return false;
    return true;
}

// "TIME SLOT" of each JSON message line: the message's identity.
std::vector<std::string> json_messages(const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& l : lines_of(text)) {
        const std::string slot = between(l, " 0 {\"slot\":", ",");
        const std::string time = between(l, "\"time\":\"", "\"");
        if (l.find("/slot/") != std::string::npos && !slot.empty() && utc_shaped(time))
            found.push_back(time + " " + slot);
    }
    return found;
}

std::string utc_text(int64_t ms) {
    char text[PAYLOAD_UTC_SIZE];
    payload_utc(ms, text);
    return text;
}

class Mqtt : public DaemonFixture {
protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        d.sim().with([](DevSim& s) {
            s.items['a'][1] = 17; // register 17: slot 2
            s.items['i'][5] = 1;  // register 1029: slot 2's alarm
        });
    }
    void TearDown() override {
        end_process(sub_pid);
        end_process(broker_pid);
    }
    std::string peer_out(const std::string& name) const { return d.dir().file(name); }
    void start_broker(const std::vector<std::string>& extra = {}) {
        const std::string dir = d.dir().file("broker");
        run_command("mkdir -p " + dir);
        std::vector<std::string> argv = {PY, KOVEX4_MQTT_PEER, "broker", dir, std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        broker_pid = spawn_to_file(argv, peer_out("broker.out"));
        ASSERT_TRUE(eventually(
            [&] {
                const int fd = connect_local(port);
                if (fd >= 0)
                    close(fd);
                return fd >= 0;
            },
            WAIT_MS))
            << read_file(peer_out("broker.out"));
    }
    void stop_broker() {
        end_process(broker_pid);
        broker_pid = -1;
    }
    void subscribe(const std::string& topic, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {PY,    KOVEX4_MQTT_PEER, "sub", std::to_string(port),
                                         topic, received()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sub_pid = spawn_to_file(argv, peer_out("sub.err"));
        ASSERT_TRUE(wait_file_contains(received(), "subscribed", WAIT_MS))
            << read_file(peer_out("sub.err"));
    }
    std::string received() const { return peer_out("received"); }
    bool wait_received(const std::string& text) {
        return wait_file_contains(received(), text, WAIT_MS);
    }
    std::string queue() const { return d.dir().file("queue"); }
    // Slot 1: registers 1025-1026; slot 2: register 17 with its alarm register 1029. Every second.
    std::string settings(const std::string& extra = "",
                         const std::string& prefix = "kovex4/gw1") const {
        return d.settings("MOD_KOVEX4_DATA_PERIOD=1\nMOD_KOVEX4_ALARM_PERIOD=1\n"
                          "MOD_KOVEX4_START1=1025\nMOD_KOVEX4_COUNT1=2\nMOD_KOVEX4_START2=17\n"
                          "MOD_KOVEX4_COUNT2=1\nMOD_KOVEX4_ALARM2=1029\n"
                          "MOD_KOVEX4_MQTT_HOST=127.0.0.1\nMOD_KOVEX4_MQTT_PORT=" +
                          std::to_string(port) + "\nMOD_KOVEX4_MQTT_PREFIX=" + prefix + "\n" +
                          "MOD_KOVEX4_MQTT_QUEUE=" + queue() + "\n" + extra);
    }
    // The counter `name` of a fresh "counters: ..." line.
    long counter(const std::string& name) {
        const int before = d.count_log("counters: ", true);
        kill(d.pid(), SIGUSR1);
        long value = -1;
        eventually([&] { return d.count_log("counters: ", true) > before; }, WAIT_MS);
        for (const LogLine& l : d.logs()) {
            const size_t at = l.text.find(" " + name + "=");
            if (l.text.rfind("counters: ", 0) == 0 && at != std::string::npos)
                value = std::stol(l.text.substr(at + name.size() + 2));
        }
        return value;
    }
    uint16_t alarm() { return item(5); }
    std::string logged() {
        std::string text;
        for (const LogLine& l : d.logs())
            text += l.text + "\n";
        return text;
    }

    unsigned port = free_port();
    pid_t broker_pid = -1, sub_pid = -1;
};

// Values and alarms reach a broker that lets the gateway write only under its prefix; the alarm
// is cleared once acknowledged; the will says "offline" when the gateway is killed.
TEST_F(Mqtt, SlotsStatusAlarmsAndWillReachTheBroker) {
    start_broker({"--acl", "gw", "secret", "kovex4/gw1"});
    subscribe("kovex4/#", {"--user"});
    ASSERT_TRUE(d.start(settings("MOD_KOVEX4_MQTT_USER=gw\nMOD_KOVEX4_MQTT_PASSWORD=secret\n")));
    ASSERT_TRUE(d.wait_log("MQTT connection to 127.0.0.1 established", WAIT_MS));
    ASSERT_TRUE(wait_received("kovex4/gw1/status 0 online\n")) << read_file(received());
    ASSERT_TRUE(wait_received("kovex4/gw1/slot/1 0 {\"slot\":1,\"start\":1025,\"time\":\""));
    const std::string text = read_file(received());
    const std::string line = text.substr(text.find("kovex4/gw1/slot/1 0 "));
    EXPECT_TRUE(utc_shaped(between(line, "\"time\":\"", "\"")));
    EXPECT_EQ(between(line, "\"time\":\"", "\n").substr(26), "\"values\":[11,22]}") << text;
    // Slot 2 went out with its alarm, which was then cleared on the device.
    ASSERT_TRUE(wait_received("\"values\":[17],\"alarm\":1}")) << read_file(received());
    EXPECT_TRUE(eventually([&] { return alarm() == 0; }, WAIT_MS));
    EXPECT_TRUE(wait_received("\"values\":[17]}")); // later periods: no alarm any more
    // The status is retained: a new subscriber finds it.
    const std::string retained =
        run_command("mosquitto_sub -p " + std::to_string(port) +
                    " -u reader -P reader -C 1 -W 20 -v -t kovex4/gw1/status 2>&1");
    EXPECT_EQ(retained, "kovex4/gw1/status online\n");

    kill(d.pid(), SIGKILL);
    EXPECT_TRUE(wait_received("kovex4/gw1/status 0 offline\n")) << read_file(received());
    d.wait_exit(WAIT_MS);
}

// A broker that takes the connection and never acknowledges holds no master, and the alarm of a
// message it never acknowledged stays set; nor does one that never answers a TLS handshake.
TEST_F(Mqtt, UnacknowledgingBrokerHoldsNoMasterNorClearsAlarms) {
    const std::string certs = d.dir().file("certs");
    ASSERT_EQ(run_command("mkdir -p " + certs + " && " + PY + " " KOVEX4_TLS_PEER " certs " +
                          certs + " 2>&1"),
              "ok\n");
    const struct {
        const char* what;
        std::string fake_option, settings, seen;
    } rows[] = {
        {"MQTT session, no PUBACK", "--connack", "", "publish kovex4/gw1/slot/2"},
        {"TLS, no handshake answer", "--silent",
         "MOD_KOVEX4_TLS_CERT=" + certs + "/gateway.pem\nMOD_KOVEX4_TLS_KEY=" + certs +
             "/gateway.key\nMOD_KOVEX4_TLS_CA=" + certs + "/ca.pem\n",
         "bytes"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string fake = peer_out(std::string("fake-") + row.fake_option);
        broker_pid = spawn_to_file(
            {PY, KOVEX4_MQTT_PEER, "fake", std::to_string(port), fake, row.fake_option},
            peer_out("fake.err"));
        ASSERT_TRUE(wait_file_contains(fake, "listening", WAIT_MS))
            << read_file(peer_out("fake.err"));
        ASSERT_TRUE(d.start(settings(row.settings)));
        ASSERT_TRUE(wait_file_contains(fake, row.seen, WAIT_MS)) << read_file(fake);
        // A master is answered meanwhile (over TLS when the gateway serves TLS: then the plain
        // request is refused at once, which shows the loop runs just as well).
        const int fd = connect_local(d.port());
        ASSERT_GE(fd, 0);
        if (row.settings.empty())
            EXPECT_EQ(request_reply(fd, read_request(7, 1024, 2)),
                      hex("00 07 00 00 00 07 01 03 04 00 0B 00 16"));
        else
            EXPECT_TRUE(eventually(
                [&] { return d.count_log("TLS handshake with 127.0.0.1 failed: ", true) > 0; },
                WAIT_MS))
                << logged();
        close(fd);
        EXPECT_EQ(alarm(), 1);
        d.stop();
        stop_broker();
    }
}

// While the broker is away the messages wait on disk, also through a restart of the gateway;
// once it is back every one of them arrives, in order.
TEST_F(Mqtt, OutageAndRestartLoseNothingAndKeepTheOrder) {
    start_broker();
    subscribe("kovex4/gw1/slot/#");
    ASSERT_TRUE(d.start(settings()));
    ASSERT_TRUE(wait_received("kovex4/gw1/slot/1 0 "));
    stop_broker();
    ASSERT_TRUE(eventually(
        [&] { return d.count_log("MQTT connection to 127.0.0.1 lost: ", true) > 0; }, WAIT_MS));
    ASSERT_TRUE(eventually([&] { return queued_messages(queue()).size() >= 6; }, WAIT_MS));
    d.stop();
    const size_t kept = queued_messages(queue()).size();
    ASSERT_TRUE(d.start(settings()));
    EXPECT_TRUE(d.wait_log("MQTT queue " + queue() + ": " + std::to_string(kept) +
                               " messages kept from before",
                           WAIT_MS));
    ASSERT_TRUE(eventually([&] { return queued_messages(queue()).size() >= kept + 4; }, WAIT_MS));
    const auto waiting = queued_messages(queue());
    start_broker();
    // Every message that waited arrives, and the first arrival of each is in the order read.
    for (const auto& [seq, message] : waiting)
        ASSERT_TRUE(wait_received("{\"slot\":" + std::to_string(message.first) +
                                  ",\"start\":" + (message.first == 1 ? "1025" : "17") +
                                  ",\"time\":\"" + utc_text(message.second) + "\""))
            << seq << "\n"
            << read_file(received());
    std::vector<std::string> first;
    std::set<std::string> seen;
    for (const std::string& m : json_messages(read_file(received())))
        if (seen.insert(m).second)
            first.push_back(m);
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end())) << read_file(received());
}

// A queue at its bound drops its oldest messages, says how many, and counts them.
TEST_F(Mqtt, FullQueueDropsTheOldestAndCountsThem) {
    std::string slots;
    for (int i = 3; i <= 5; ++i)
        slots += "MOD_KOVEX4_START" + std::to_string(i) + "=1\nMOD_KOVEX4_COUNT" +
                 std::to_string(i) + "=120\n";
    ASSERT_TRUE(d.start(settings(slots + "MOD_KOVEX4_MQTT_QUEUE_KB=16\n")));
    ASSERT_TRUE(eventually(
        [&] { return d.count_log("MQTT queue " + queue() + " full: ", true) > 0; }, WAIT_MS * 2));
    long logged = 0;
    for (const LogLine& l : d.logs()) {
        const std::string n = between(l.text, " full: ", " oldest messages dropped");
        if (!n.empty())
            logged += std::stol(n);
    }
    const long counted = counter("mqtt_dropped");
    EXPECT_GE(counted, logged);
    EXPECT_GT(logged, 0);
    // What is left of the queue lies within its bound and begins after the dropped messages.
    const auto left = queued_messages(queue());
    ASSERT_FALSE(left.empty());
    EXPECT_GT(left.begin()->first, static_cast<uint64_t>(logged));
    long bytes = 0;
    for (const std::string& l : lines_of(run_command("stat -c %s " + queue() + "/*.q")))
        bytes += std::stol(l);
    EXPECT_LE(bytes, 16 * 1024);
}

// Killed again and again while it writes its queue, the gateway reads it up to its last whole
// record on each start: every record once whole stays, and all of them reach the broker.
TEST_F(Mqtt, PowerCutsNeverLoseOrCorruptTheQueue) {
    std::string slots;
    for (int i = 3; i <= 5; ++i)
        slots += "MOD_KOVEX4_START" + std::to_string(i) + "=1025\nMOD_KOVEX4_COUNT" +
                 std::to_string(i) + "=" + std::to_string(20 * i) + "\n";
    std::map<uint64_t, std::pair<int, int64_t>> whole;
    for (int run = 0; run < 6; ++run) {
        ASSERT_TRUE(d.start(settings(slots)));
        const size_t before = whole.size();
        // Some records more, then the kill at a moment of the next period's reads and writes.
        ASSERT_TRUE(
            eventually([&] { return queued_messages(queue()).size() >= before + 3; }, WAIT_MS));
        usleep(static_cast<useconds_t>(100000 + 150000 * run));
        kill(d.pid(), SIGKILL);
        d.wait_exit(WAIT_MS);
        const auto now = queued_messages(queue());
        for (const auto& [seq, message] : whole)
            ASSERT_EQ(now.count(seq) == 1 ? now.at(seq) : std::make_pair(0, int64_t{0}), message)
                << "record " << seq << " lost after run " << run;
        whole = now;
    }
    start_broker();
    subscribe("kovex4/gw1/slot/#");
    ASSERT_TRUE(d.start(settings(slots)));
    for (const auto& [seq, message] : whole)
        ASSERT_TRUE(wait_received("{\"slot\":" + std::to_string(message.first) +
                                  ",\"start\":" + (message.first == 2 ? "17" : "1025") +
                                  ",\"time\":\"" + utc_text(message.second) + "\""))
            << seq;
    EXPECT_EQ(d.count_log("MQTT setup error", true), 0);
}

// Over TLS with the site's certificates: the broker asks for the gateway's, and the gateway
// accepts only a broker whose certificate carries what it was set to reach, as the push checks
// its receiver, with the push's reasons: a name (looked up in /etc/hosts, the connection made to
// its address) among the certificate's DNS names, an address among its IP names. A refusal is
// said once, however often the gateway tries again.
TEST_F(Mqtt, TlsWithClientCertificatesChecksTheBrokerByNameOrAddress) {
    const std::string certs = d.dir().file("certs");
    ASSERT_EQ(run_command("mkdir -p " + certs + " && " + PY + " " KOVEX4_TLS_PEER " certs " +
                          certs + " 2>&1"),
              "ok\n");
    const std::string tls = "MOD_KOVEX4_TLS_CERT=" + certs +
                            "/gateway.pem\nMOD_KOVEX4_TLS_KEY=" + certs +
                            "/gateway.key\nMOD_KOVEX4_TLS_CA=" + certs + "/ca.pem\n";
    // The broker's certificates: "receiver" names IP:127.0.0.3 only, "servergateway" IP:127.0.0.1
    // only, "gateway" DNS:localhost and IP:127.0.0.1. `refused`: why the gateway gives the broker
    // up ("" when it accepts it).
    const struct {
        std::string host, cert, refused;
    } rows[] = {
        {"127.0.0.1", "receiver", "the certificate has no subject alternative name IP:127.0.0.1"},
        {"localhost", "servergateway", "hostname mismatch"},
        {"127.0.0.1", "gateway", ""},
        {"localhost", "gateway", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host + " " + row.cert);
        const std::string log = d.dir().file("broker/broker.log");
        run_command("rm -f " + log + " " + received());
        start_broker({"--tls", certs, "--cert", row.cert});
        std::string text = settings(tls);
        const std::string was = "MQTT_HOST=127.0.0.1\n";
        text.replace(text.find(was), was.size(), "MQTT_HOST=" + row.host + "\n");
        // The probe connects as the gateway does, and says the same.
        const std::string file = d.dir().file("probe-settings");
        write_file(file, text);
        const std::string probed = run_command(KOVEX4_PROBE " mqtt -c " + file + " 2>&1");
        const std::string connection = "MQTT connection to " + row.host;
        if (row.refused.empty()) {
            EXPECT_NE(probed.find("\nbroker reached: the connection was accepted\n"),
                      std::string::npos)
                << probed;
            subscribe("kovex4/#", {"--tls", certs});
            ASSERT_TRUE(d.start(text));
            EXPECT_TRUE(d.wait_log(connection + " established", WAIT_MS)) << logged();
            EXPECT_TRUE(wait_received("kovex4/gw1/status 0 online\n")) << read_file(received());
            EXPECT_TRUE(wait_received("\"values\":[11,22]}")) << read_file(received());
            end_process(sub_pid);
            sub_pid = -1;
        } else {
            EXPECT_NE(probed.find("\nbroker not reached: TLS handshake: " + row.refused + "\n"),
                      std::string::npos)
                << probed;
            ASSERT_TRUE(d.start(text));
            // Three tries of the gateway after the probe's and start_broker's, each of them a
            // connection the broker logs (as "New connection from", or as "Client connection from
            // ... failed" when the handshake ended before the broker had its first look at it),
            // and one line about them.
            EXPECT_TRUE(eventually(
                [&] {
                    const std::string seen = read_file(log);
                    size_t n = 0;
                    for (size_t at = 0;
                         (at = seen.find("onnection from 127.0.0.1", at)) != std::string::npos;
                         ++at)
                        ++n;
                    return n >= 5;
                },
                WAIT_MS))
                << read_file(log);
            EXPECT_EQ(d.count_log(connection + " failed: TLS handshake: " + row.refused), 1)
                << logged();
            EXPECT_EQ(d.count_log(connection + " established"), 0);
        }
        d.stop();
        stop_broker();
    }
}

// Sparkplug B: birth, data with sequence numbers, a rebirth on command, historical data after an
// outage, and the death certificate of the connection as its will.
TEST_F(Mqtt, SparkplugBirthDataRebirthHistoryAndDeath) {
    start_broker();
    subscribe("spBv1.0/#");
    ASSERT_TRUE(d.start(settings("MOD_KOVEX4_MQTT_FORMAT=sparkplug\n", "plant/gw1")));
    ASSERT_TRUE(wait_received("spBv1.0/plant/NBIRTH/gw1 0 ")) << read_file(received());
    ASSERT_TRUE(wait_received("spBv1.0/plant/NDATA/gw1 0 "));
    std::string text = read_file(received());
    EXPECT_NE(text.find("{\"datatype\":8,\"long_value\":\"0\",\"name\":\"bdSeq\"}"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"name\":\"Node Control/Rebirth\""), std::string::npos);
    EXPECT_NE(text.find("\"datatype\":6,\"int_value\":11,\"name\":\"Slot 1/Register 1025\""),
              std::string::npos);
    EXPECT_NE(between(text, "NBIRTH/gw1 0 {", "\n").find("\"seq\":\"0\","), std::string::npos);
    EXPECT_NE(between(text, "NDATA/gw1 0 {", "\n").find("\"seq\":\"1\","), std::string::npos);

    const int births = static_cast<int>(lines_of(text).size());
    EXPECT_EQ(run_command(PY + " " KOVEX4_MQTT_PEER " ncmd " + std::to_string(port) +
                          " spBv1.0/plant/NCMD/gw1"),
              "sent\n");
    EXPECT_TRUE(d.wait_log("MQTT rebirth asked for", WAIT_MS));
    EXPECT_TRUE(eventually(
        [&] {
            const auto all = lines_of(read_file(received()));
            return std::count_if(all.begin() + births, all.end(), [](const std::string& l) {
                       return l.find("NBIRTH") != std::string::npos;
                   }) > 0;
        },
        WAIT_MS));

    stop_broker();
    ASSERT_TRUE(eventually([&] { return queued_messages(queue()).size() >= 4; }, WAIT_MS));
    start_broker();
    EXPECT_TRUE(wait_received("\"is_historical\":true")) << read_file(received());
    // The second connection's birth and death certificates carry bdSeq 1.
    EXPECT_TRUE(wait_received("{\"datatype\":8,\"long_value\":\"1\",\"name\":\"bdSeq\"}"));
    kill(d.pid(), SIGKILL);
    EXPECT_TRUE(wait_received("spBv1.0/plant/NDEATH/gw1 0 {\"metrics\":[{\"datatype\":8,"
                              "\"long_value\":\"1\",\"name\":\"bdSeq\"}]}"))
        << read_file(received());
    d.wait_exit(WAIT_MS);
}

} // namespace

namespace {

// kovex4-probe mqtt: the publisher's own judgement of the settings, and one connection as the
// gateway makes it, which the broker accepts or refuses.
TEST_F(Mqtt, ProbeJudgesTheSettingsAndReachesTheBroker) {
    const auto closed_port_settings = [&](const std::string& closed) {
        std::string text = settings();
        const std::string was = "MQTT_PORT=" + std::to_string(port) + "\n";
        return text.replace(text.find(was), was.size(), "MQTT_PORT=" + closed + "\n");
    };
    start_broker({"--acl", "gw", "secret", "kovex4/gw1"});
    const std::string closed = std::to_string(free_port());
    const struct {
        const char* what;
        std::string settings;
        int status;
        std::string said;
    } rows[] = {
        {"no broker set", d.settings(), 1, "MOD_KOVEX4_MQTT_HOST is not set"},
        {"a prefix with a wildcard",
         settings("MOD_KOVEX4_MQTT_USER=gw\nMOD_KOVEX4_MQTT_PASSWORD=secret\n", "kovex4/#"), 1,
         "error: MOD_KOVEX4_MQTT_PREFIX: kovex4/# is not a topic prefix"},
        {"accepted", settings("MOD_KOVEX4_MQTT_USER=gw\nMOD_KOVEX4_MQTT_PASSWORD=secret\n"), 0,
         "broker reached: the connection was accepted\n"},
        {"a wrong password", settings("MOD_KOVEX4_MQTT_USER=gw\nMOD_KOVEX4_MQTT_PASSWORD=no\n"), 1,
         "broker not reached: refused: Connection Refused: not authorised.\n"},
        {"nothing listening", closed_port_settings(closed), 1,
         "broker not reached: Connection refused\n"},
    };
    for (const auto& row : rows) {
        const std::string file = d.dir().file("probe-settings");
        write_file(file, row.settings);
        const std::string out = run_command(KOVEX4_PROBE " mqtt -c " + file + " 2>&1; echo $?");
        EXPECT_NE(out.find(row.said), std::string::npos) << row.what << ":\n" << out;
        EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1),
                  std::to_string(row.status) + "\n")
            << row.what << ":\n"
            << out;
    }
    // Under an identifier of its own, so that the running gateway is not pushed off the broker.
    const std::string log = read_file(d.dir().file("broker/broker.log"));
    EXPECT_NE(between(log, " as kovex4-", " (p2").find("-probe"), std::string::npos) << log;
}

} // namespace
