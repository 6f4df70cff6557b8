// SPDX-License-Identifier: Apache-2.0
// What the MQTT publisher makes of its settings and what the judge finds in them, and its payloads
// as bytes: the JSON text of a message, and the one Sparkplug B command it obeys.
#include "service/publish.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/judge.h"
#include "sparkplug.pb-c.h"
#include "support.h"
#include "sys/log.h"

namespace {

TEST(PublishPayload, JsonCarriesSlotStartReadTimeValuesAndAlarm) {
    OutboxMessage two;
    two.slot = 1;
    two.start = 1025;
    two.count = 2;
    two.values[0] = 11;
    two.values[1] = 65535;
    two.read_ms = 1714564800123; // 2024-05-01 12:00:00.123 UTC
    OutboxMessage alarmed = two;
    alarmed.slot = 5;
    alarmed.start = 65536;
    alarmed.count = 1;
    alarmed.alarmed = true;
    alarmed.alarm = 3;
    alarmed.read_ms = 951782400007; // 2000-02-29, a leap day
    OutboxMessage epoch = two;
    epoch.read_ms = 0;
    const struct {
        OutboxMessage message;
        const char* json;
    } rows[] = {
        {two, R"({"slot":1,"start":1025,"time":"2024-05-01T12:00:00.123Z","values":[11,65535]})"},
        {alarmed,
         R"({"slot":5,"start":65536,"time":"2000-02-29T00:00:00.007Z","values":[11],"alarm":3})"},
        {epoch, R"({"slot":1,"start":1025,"time":"1970-01-01T00:00:00.000Z","values":[11,65535]})"},
    };
    for (const auto& row : rows) {
        char out[PAYLOAD_JSON_MAX];
        const size_t size = payload_json(row.message, out, sizeof out);
        EXPECT_EQ(std::string(out, size), row.json);
        // One byte short of the text and its end: nothing rather than a cut object.
        EXPECT_EQ(payload_json(row.message, out, size), 0u);
    }
    OutboxMessage full = two;
    full.count = OUTBOX_MAX_VALUES;
    full.values.fill(65535);
    char out[PAYLOAD_JSON_MAX];
    EXPECT_GT(payload_json(full, out, sizeof out), 0u);
}

std::vector<uint8_t> command(const char* name, bool value, uint32_t datatype = SPB_BOOLEAN) {
    Kovex4__Sparkplug__Payload__Metric metric = KOVEX4__SPARKPLUG__PAYLOAD__METRIC__INIT;
    metric.name = const_cast<char*>(name);
    metric.has_datatype = 1;
    metric.datatype = datatype;
    if (datatype == SPB_BOOLEAN) {
        metric.value_case = KOVEX4__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
        metric.boolean_value = value;
    } else {
        metric.value_case = KOVEX4__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE;
        metric.int_value = value ? 1 : 0;
    }
    Kovex4__Sparkplug__Payload__Metric* metrics[] = {&metric};
    Kovex4__Sparkplug__Payload payload = KOVEX4__SPARKPLUG__PAYLOAD__INIT;
    payload.n_metrics = 1;
    payload.metrics = metrics;
    std::vector<uint8_t> bytes(kovex4__sparkplug__payload__get_packed_size(&payload));
    kovex4__sparkplug__payload__pack(&payload, bytes.data());
    return bytes;
}

TEST(PublishPayload, OnlyATrueRebirthIsACommand) {
    std::vector<uint8_t> padded = command("Node Control/Rebirth", true);
    padded.resize(5000, 0);
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        bool rebirth;
    } rows[] = {
        {"rebirth", command("Node Control/Rebirth", true), true},
        {"rebirth false", command("Node Control/Rebirth", false), false},
        {"another metric", command("Node Control/Reboot", true), false},
        {"an integer, not a boolean", command("Node Control/Rebirth", true, SPB_UINT16), false},
        {"not protobuf", {0xFF, 0xFF, 0xFF, 0x01}, false},
        {"longer than a command may be", padded, false},
        {"empty", {}, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(payload_spb_rebirth(row.bytes.data(), row.bytes.size()), row.rebirth) << row.what;
    // Its own birth certificate declares the command, set to false: not a rebirth.
    uint8_t birth[PAYLOAD_SPB_MAX];
    const size_t size = payload_spb_birth(SparkplugNode{}, 3, 0, 0, birth, sizeof birth);
    ASSERT_GT(size, 0u);
    EXPECT_FALSE(payload_spb_rebirth(birth, size));
}

TEST(PublishPayload, BirthOfFiveFullSlotsFitsItsBuffer) {
    SparkplugNode node;
    for (int i = 0; i < SETTINGS_SLOTS; ++i) {
        node.start[i] = 65536 - OUTBOX_MAX_VALUES + 1;
        node.count[i] = OUTBOX_MAX_VALUES;
        node.has_alarm[i] = true;
        node.known[i] = true;
        node.values[i].fill(65535);
    }
    uint8_t birth[PAYLOAD_SPB_MAX];
    EXPECT_GT(payload_spb_birth(node, 255, 0, INT64_MAX, birth, sizeof birth), 0u);
}

// Each settings key of a row set to its text, numbers read as the gateway reads them.
Settings with(Settings s, const std::vector<std::pair<SettingsField, std::string>>& set) {
    for (const auto& [field, value] : set) {
        const SettingsKey& key = settings_key(field);
        if (uint32_t* number = settings_number(s, key))
            *number = settings_read_number(value.c_str()).value;
        else
            *settings_text(s, key) = value;
    }
    return s;
}

// The defaults come from the host name, the TLS files and the queue's bounds.
TEST(PublishConfig, DefaultsFromTheHostNameAndTheTlsFiles) {
    using F = SettingsField;
    const struct {
        std::vector<std::pair<F, std::string>> set;
        const char* config; // host, client identifier, prefix, group/node, port, queue KB
    } rows[] = {
        {{{F::mqtt_host, "broker.example"}}, "broker.example kovex4-gw7 kovex4/gw7 / 1883 256"},
        {{{F::mqtt_host, "010.0.0.1"}, {F::tls_cert, "/c"}, {F::tls_key, "/k"}, {F::tls_ca, "/a"}},
         "10.0.0.1 kovex4-gw7 kovex4/gw7 / 8883 256"},
        {{{F::mqtt_host, "b"}, {F::mqtt_format, "sparkplug"}, {F::mqtt_prefix, "plant/line1"}},
         "b kovex4-gw7 plant/line1 plant/line1 1883 256"},
        {{{F::mqtt_host, "b"}, {F::mqtt_queue_kb, "4"}, {F::mqtt_client_id, "c"}},
         "b c kovex4/gw7 / 1883 16"},
        {{{F::mqtt_host, "b"}, {F::mqtt_queue_kb, "2000000"}, {F::mqtt_port, "1884"}},
         "b kovex4-gw7 kovex4/gw7 / 1884 1048576"},
    };
    for (const auto& row : rows) {
        PublishConfig c;
        publish_config(with(Settings{}, row.set), "gw7", c);
        EXPECT_EQ(c.host + " " + c.client_id + " " + c.prefix + " " + c.group + "/" + c.node + " " +
                      std::to_string(c.port) + " " + std::to_string(c.queue_bytes / 1024),
                  row.config);
    }
}

// What the judge finds in the publisher's settings: an error keeps the publisher off and is
// logged by it at start; a warning (logged with the judge's others) does not.
TEST(PublishConfig, JudgedErrorsKeepThePublisherOff) {
    using F = SettingsField;
    const struct {
        std::vector<std::pair<F, std::string>> set;
        int usable;
        F key;
        const char* says; // the first finding's; "": none
    } rows[] = {
        {{{F::mqtt_format, "sparkplug"}, {F::mqtt_prefix, "plant/line1"}}, 1, F::mqtt_host, ""},
        {{{F::mqtt_format, "sparkplug"}, {F::mqtt_prefix, "a/b/c"}}, 0, F::mqtt_prefix, "GROUP/"},
        {{{F::mqtt_prefix, "site/+/x"}}, 0, F::mqtt_prefix, "site/+/x is not a topic prefix"},
        {{{F::mqtt_prefix, "site//x"}}, 0, F::mqtt_prefix, "site//x is not a topic prefix"},
        {{{F::mqtt_format, "xml"}}, 0, F::mqtt_format, "xml is neither json nor sparkplug"},
        {{{F::mqtt_port, "65536"}}, 0, F::mqtt_port, "65536 is not a TCP port"},
        {{{F::mqtt_client_id, "gw#1"}}, 0, F::mqtt_client_id, "gw#1 is not a client identifier"},
        {{{F::mqtt_client_id, "a-client-identifier-23c"}}, 1, F::mqtt_host, ""},
        {{{F::mqtt_client_id, "a-client-identifier-24ch"}}, 1, F::mqtt_client_id, "24 characters"},
        {{{F::mqtt_password, "pw"}}, 0, F::mqtt_password, "set without MOD_KOVEX4_MQTT_USER"},
        {{{F::mqtt_user, "u"}, {F::mqtt_password, "pw"}}, 1, F::mqtt_password, "in the clear"},
        {{{F::tls_cert, "/c"}}, 0, F::tls_key, "missing"},
        {{{F::mqtt_queue, "queue"}}, 0, F::mqtt_queue, "queue is not an absolute path"},
        {{{F::mqtt_queue_kb, "15"}}, 1, F::mqtt_queue_kb, "15 is below the least: the queue keeps"},
        {{{F::mqtt_queue_kb, "1048577"}}, 1, F::mqtt_queue_kb, "the queue keeps 1048576 KB"},
        {{{F::data_period, "0"}}, 1, F::mqtt_host, "both 0: nothing is published"},
    };
    TempDir dir;
    Settings base;
    base.mqtt_host = "127.0.0.1";
    base.mqtt_port = 1; // nothing listens there
    base.mqtt_queue = dir.file("queue");
    base.data_period = 60;
    for (const auto& row : rows) {
        const Settings s = with(base, row.set);
        SCOPED_TRACE(row.says);
        JudgeFindings findings;
        EXPECT_EQ(judge_mqtt(s, nullptr, findings), row.usable);
        ASSERT_EQ(findings.count == 0, *row.says == '\0');
        int errors = 0;
        for (size_t i = 0; i < findings.count; ++i)
            errors += findings.list[i].level == LOG_ERR;
        if (findings.count > 0) {
            EXPECT_EQ(findings.list[0].key, &settings_key(row.key));
            EXPECT_NE(findings.list[0].text.find(row.says), std::string::npos)
                << findings.list[0].text;
        }
        LogCapture log;
        PublishState state;
        publish_start(state, s, 0);
        EXPECT_EQ(state.on, row.usable == 1);
        for (const auto& [level, text] : log.lines())
            EXPECT_TRUE(level == LOG_ERR && text.rfind("MQTT setup error: ", 0) == 0) << text;
        EXPECT_EQ(log.lines().size(), static_cast<size_t>(errors));
        publish_stop(state);
    }
    // Without a broker nothing is judged, and the publisher stays off.
    JudgeFindings findings;
    EXPECT_EQ(judge_mqtt(Settings{}, nullptr, findings), 0);
    EXPECT_EQ(findings.count, 0u);
}

} // namespace

namespace {

int no_read(void*, uint32_t, uint32_t, uint16_t*) {
    return 0;
}
int no_write(void*, uint32_t, uint32_t, const uint16_t*) {
    return 0;
}

// Between its periods an idle publisher sleeps: a period that is off, like one that is not due,
// never makes the loop spin, whatever state its connection is in.
TEST(PublishLoop, AnIdlePublisherSleepsUntilItsNextTime) {
    const struct {
        uint32_t data_period, alarm_period;
    } rows[] = {{60, 0}, {0, 60}, {0, 0}, {30, 90}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.data_period) + " " + std::to_string(row.alarm_period));
        TempDir dir;
        Settings s;
        s.mqtt_host = "127.0.0.1";
        s.mqtt_port = 1; // nothing listens there
        s.mqtt_queue = dir.file("queue");
        s.data_period = row.data_period;
        s.alarm_period = row.alarm_period;
        s.start[0] = 1025;
        s.count[0] = 2;
        s.alarm[0] = 1029;
        LogCapture log;
        PublishState state;
        const int64_t start = 1000000000;
        publish_start(state, s, start);
        ASSERT_TRUE(state.on);
        LoopWatch ready;
        loop_watch_init(ready, INT64_MAX);
        const ModbusRegisters registers{no_read, no_write, nullptr};
        for (int64_t now = start; now < start + 3000000; now += 500000) {
            publish_run(state, ready, now, registers, s);
            LoopWatch watch;
            loop_watch_init(watch, INT64_MAX);
            publish_watch(state, watch, now);
            EXPECT_GT(watch.wake_us, now) << "at " << now - start;
            EXPECT_LE(watch.wake_us, now + 10000000);
        }
        publish_stop(state);
    }
}

// A broker name that does not resolve is said once, in the publisher's words, while it is tried
// again with the back-off; the resolver's own line is not logged for it. A name with an empty
// label is refused by the resolver itself, so no query leaves the machine.
TEST(PublishLoop, AnUnresolvedNameIsSaidOnceAndTriedWithTheBackOff) {
    TempDir dir;
    Settings s;
    s.mqtt_host = "unknown..host";
    s.mqtt_queue = dir.file("queue");
    s.data_period = 60;
    LogCapture log;
    PublishState state;
    const int64_t start = 1000000000;
    publish_start(state, s, start);
    ASSERT_TRUE(state.on);
    LoopWatch ready;
    loop_watch_init(ready, INT64_MAX);
    const ModbusRegisters registers{no_read, no_write, nullptr};
    std::vector<int64_t> pauses; // seconds from each try to the next
    for (int64_t now = start; now < start + 200000000; now += 250000) {
        const int64_t retry = state.retry_us;
        publish_run(state, ready, now, registers, s);
        EXPECT_NE(state.link, PublishLink::connecting);
        if (state.retry_us != retry)
            pauses.push_back((state.retry_us - now) / 1000000);
    }
    EXPECT_EQ(pauses, (std::vector<int64_t>{1, 2, 4, 8, 16, 32, 60, 60, 60}));
    int said = 0;
    for (const auto& [priority, text] : log.lines()) {
        EXPECT_NE(text, "error resolving hostname unknown..host");
        said += text.rfind("MQTT connection to unknown..host failed: name not resolved (", 0) == 0;
    }
    EXPECT_EQ(said, 1);
    publish_stop(state);
}

} // namespace
