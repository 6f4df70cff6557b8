// SPDX-License-Identifier: Apache-2.0
#include "service/payload.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "sparkplug.pb-c.h"

namespace {

using Metric = Kovex4__Sparkplug__Payload__Metric;
using Payload = Kovex4__Sparkplug__Payload;

// The metrics of one payload and their names live here, built anew for each payload: two node
// metrics and, for each slot, its registers and its alarm.
constexpr size_t MAX_METRICS = 2 + SETTINGS_SLOTS * (OUTBOX_MAX_VALUES + 1);
constexpr size_t NAME_SIZE = 32;

struct MetricList {
    Metric metrics[MAX_METRICS];
    Metric* pointers[MAX_METRICS];
    char names[MAX_METRICS][NAME_SIZE];
    size_t count = 0;

    Metric& add(const char* name, uint32_t datatype) {
        Metric& m = metrics[count];
        m = KOVEX4__SPARKPLUG__PAYLOAD__METRIC__INIT;
        std::snprintf(names[count], NAME_SIZE, "%s", name);
        m.name = names[count];
        m.has_datatype = 1;
        m.datatype = datatype;
        pointers[count] = &m;
        ++count;
        return m;
    }
};
MetricList g_list;

void set_uint16(Metric& m, bool known, uint16_t value) {
    if (known) {
        m.value_case = KOVEX4__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE;
        m.int_value = value;
    } else {
        m.has_is_null = 1;
        m.is_null = 1;
    }
}

void set_uint64(Metric& m, uint64_t value) {
    m.value_case = KOVEX4__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE;
    m.long_value = value;
}

size_t pack(uint64_t timestamp, bool with_seq, uint64_t seq, uint8_t* out, size_t size) {
    Payload payload = KOVEX4__SPARKPLUG__PAYLOAD__INIT;
    payload.has_timestamp = 1;
    payload.timestamp = timestamp;
    payload.n_metrics = g_list.count;
    payload.metrics = g_list.pointers;
    payload.has_seq = with_seq ? 1 : 0;
    payload.seq = seq;
    if (kovex4__sparkplug__payload__get_packed_size(&payload) > size)
        return 0;
    return kovex4__sparkplug__payload__pack(&payload, out);
}

void alarm_name(uint8_t slot, char* out, size_t size) {
    std::snprintf(out, size, "Slot %u/Alarm", static_cast<unsigned>(slot));
}

// The command decoder's memory: one arena, emptied before each decode, so that reading a
// command allocates nothing from the heap and never more than the arena.
struct Arena {
    alignas(16) uint8_t bytes[64 * 1024];
    size_t used = 0;
};
Arena g_arena;

void* arena_alloc(void* data, size_t size) {
    Arena& arena = *static_cast<Arena*>(data);
    const size_t rounded = (size + 15) & ~size_t{15};
    if (rounded > sizeof arena.bytes - arena.used)
        return nullptr;
    void* block = arena.bytes + arena.used;
    arena.used += rounded;
    return block;
}

void arena_free(void*, void*) {}

} // namespace

void payload_utc(int64_t ms, char* out) {
    const int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const time_t t = static_cast<time_t>(seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    // Each field within its width, so that the text always fills exactly 24 characters.
    const auto field = [](int value, int limit) { return static_cast<unsigned>(value) % limit; };
    std::snprintf(out, PAYLOAD_UTC_SIZE, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ",
                  field(parts.tm_year + 1900, 10000), field(parts.tm_mon + 1, 100),
                  field(parts.tm_mday, 100), field(parts.tm_hour, 100), field(parts.tm_min, 100),
                  field(parts.tm_sec, 100), field(static_cast<int>(ms - seconds * 1000), 1000));
}

size_t payload_json(const OutboxMessage& message, char* out, size_t size) {
    char time[PAYLOAD_UTC_SIZE];
    payload_utc(message.read_ms, time);
    size_t used = 0;
    bool fits = true;
    auto put = [&](const char* format, auto... args) {
        const int n = std::snprintf(out + used, size - used, format, args...);
        if (n < 0 || static_cast<size_t>(n) >= size - used)
            fits = false;
        else
            used += static_cast<size_t>(n);
    };
    put("{\"slot\":%u,\"start\":%u,\"time\":\"%s\",\"values\":[",
        static_cast<unsigned>(message.slot), static_cast<unsigned>(message.start), time);
    for (uint32_t i = 0; i < message.count && fits; ++i)
        put(i == 0 ? "%u" : ",%u", static_cast<unsigned>(message.values[i]));
    if (message.alarmed)
        put("],\"alarm\":%u}", static_cast<unsigned>(message.alarm));
    else
        put("]}");
    return fits ? used : 0;
}

void payload_spb_register_name(uint8_t slot, uint32_t reg, char* out, size_t size) {
    std::snprintf(out, size, "Slot %u/Register %u", static_cast<unsigned>(slot),
                  static_cast<unsigned>(reg));
}

size_t payload_spb_birth(const SparkplugNode& node, uint64_t bd_seq, uint64_t seq, int64_t now_ms,
                         uint8_t* out, size_t size) {
    g_list.count = 0;
    set_uint64(g_list.add("bdSeq", SPB_UINT64), bd_seq);
    Metric& rebirth = g_list.add("Node Control/Rebirth", SPB_BOOLEAN);
    rebirth.value_case = KOVEX4__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
    rebirth.boolean_value = 0;
    char name[NAME_SIZE];
    for (int i = 0; i < SETTINGS_SLOTS; ++i) {
        const uint8_t slot = static_cast<uint8_t>(i + 1);
        for (uint32_t k = 0; k < node.count[i] && k < OUTBOX_MAX_VALUES; ++k) {
            payload_spb_register_name(slot, node.start[i] + k, name, sizeof name);
            set_uint16(g_list.add(name, SPB_UINT16), node.known[i], node.values[i][k]);
        }
        if (node.count[i] > 0 && node.has_alarm[i]) {
            alarm_name(slot, name, sizeof name);
            set_uint16(g_list.add(name, SPB_UINT16), node.known[i], node.alarm[i]);
        }
    }
    return pack(static_cast<uint64_t>(now_ms), true, seq, out, size);
}

size_t payload_spb_data(const OutboxMessage& message, uint64_t seq, bool historical, uint8_t* out,
                        size_t size) {
    g_list.count = 0;
    char name[NAME_SIZE];
    auto stamp = [&](Metric& m) {
        m.has_timestamp = 1;
        m.timestamp = static_cast<uint64_t>(message.read_ms);
        if (historical) {
            m.has_is_historical = 1;
            m.is_historical = 1;
        }
    };
    for (uint32_t k = 0; k < message.count && k < OUTBOX_MAX_VALUES; ++k) {
        payload_spb_register_name(message.slot, message.start + k, name, sizeof name);
        Metric& m = g_list.add(name, SPB_UINT16);
        set_uint16(m, true, message.values[k]);
        stamp(m);
    }
    if (message.alarmed) {
        alarm_name(message.slot, name, sizeof name);
        Metric& m = g_list.add(name, SPB_UINT16);
        set_uint16(m, true, message.alarm);
        stamp(m);
    }
    return pack(static_cast<uint64_t>(message.read_ms), true, seq, out, size);
}

size_t payload_spb_death(uint64_t bd_seq, uint8_t* out, size_t size) {
    g_list.count = 0;
    set_uint64(g_list.add("bdSeq", SPB_UINT64), bd_seq);
    // A death certificate carries no sequence number; its time is not known when it is made.
    Payload payload = KOVEX4__SPARKPLUG__PAYLOAD__INIT;
    payload.n_metrics = g_list.count;
    payload.metrics = g_list.pointers;
    if (kovex4__sparkplug__payload__get_packed_size(&payload) > size)
        return 0;
    return kovex4__sparkplug__payload__pack(&payload, out);
}

bool payload_spb_rebirth(const uint8_t* data, size_t size) {
    if (size > 4096)
        return false;
    g_arena.used = 0;
    ProtobufCAllocator allocator{arena_alloc, arena_free, &g_arena};
    Payload* payload = kovex4__sparkplug__payload__unpack(&allocator, size, data);
    if (payload == nullptr)
        return false;
    bool rebirth = false;
    for (size_t i = 0; i < payload->n_metrics; ++i) {
        const Metric& m = *payload->metrics[i];
        if (m.name != nullptr && std::strcmp(m.name, "Node Control/Rebirth") == 0 &&
            m.value_case == KOVEX4__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE &&
            m.boolean_value)
            rebirth = true;
    }
    return rebirth;
}
