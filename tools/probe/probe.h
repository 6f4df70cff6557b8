// SPDX-License-Identifier: Apache-2.0
#pragma once
// kovex4-probe's judgement, apart from its I/O: what a settings file means to the gateway, what
// went wrong in one device exchange, which registers to read. Built on the gateway's own modules,
// so that what the probe says is what the gateway does.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/judge.h"
#include "settings/settings.h"

// ---- the settings file ----

struct ProbeKeyRow {
    std::string key;  // as the gateway spells it
    int line = 0;     // the line the value comes from; 0: the key is missing
    std::string text; // the value as the reader takes it from that line
    std::string used; // what the gateway makes of it
    std::string note;
};

struct ProbeWarning {
    int line = 0; // 0: about the file as a whole
    std::string key;
    std::string text;
};

struct ProbeSettingsReport {
    Settings settings; // as the gateway loads it
    std::vector<ProbeKeyRow> rows;
    std::vector<ProbeWarning> warnings;
};

// What the settings checks need to know of the machine, found out by the program: what the
// judge's rules need, and why the packaged service cannot read the file (empty: it can).
struct ProbeHost : JudgeHost {
    std::string service_cannot_read;
};

// The record the gateway loads from a settings file holding `text`.
Settings probe_load_settings(const std::string& text);

// Reads a settings file holding `text` as the gateway does, explains every key, and warns about
// how the file reads and about every finding of the gateway's judge.
void probe_check_settings(const std::string& text, const ProbeHost& host,
                          ProbeSettingsReport& report);

// What keeps user `user` (with its groups) from reading the file `path`, as modes and owners
// decide: empty when nothing does, or when there is no such user or file here.
struct ProbeNoAccess {
    // "mode 0600, owner 0, group 0", or "the folder F (mode ...) is closed to it"
    std::string obstacle;
    std::string remedy; // "chgrp kovex4 and chmod 0640 it", ...
};
ProbeNoAccess probe_user_cannot_read(const char* user, const std::string& path);

// ---- one device exchange ----

enum class ProbeVerdict : uint8_t {
    ok,            // the reply the request wants
    silence,       // nothing came back
    nak,           // the device refused the request
    bad_checksum,  // a data frame whose checksum is wrong
    other_station, // a reply naming another station than the one asked
    wrong_count,   // a data reply with another item count (or block length) than asked
    unexpected,    // a complete reply of the wrong kind (an ACK to a read, ...)
    incomplete,    // the start of a reply, then nothing more
    no_reply,      // bytes, but none of them forms a reply
};

struct ProbeFinding {
    ProbeVerdict verdict = ProbeVerdict::silence;
    size_t garbage = 0;  // bytes before the reply
    uint8_t station = 0; // the station the reply names
    int want_count = -1; // items (or block bytes) asked for, -1: not a read
    int got_count = -1;  // ... and received
    uint8_t command = 0; // of the request
};

// What the bytes received after `sent` (one request frame) come to, judged as the gateway's
// recogniser and commands judge them.
ProbeFinding probe_classify(const uint8_t* sent, size_t sent_len, const uint8_t* received,
                            size_t received_len);
// The finding in words: "ok", "no answer within 3 s", ...
std::string probe_describe(const ProbeFinding& finding, uint8_t station_asked);
// What most likely stands behind a serial line whose set-up or first read or write failed at
// once with `error` (an errno value; 0: end of input), in words.
std::string probe_line_failure(int error);
const char* probe_verdict_name(ProbeVerdict verdict);

// ---- registers ----

struct ProbeRange {
    uint32_t start; // 0-based register address
    uint32_t count;
};

// Read when no --register is given: a few registers of each item type of the register map.
inline constexpr std::array<ProbeRange, 8> PROBE_DEFAULT_READS = {{
    {0x0400, 3}, // 'i' 1-3
    {0x0010, 3}, // 'a' 1-3
    {0x0200, 3}, // 'H' 1-3
    {0x0000, 2}, // '@' 1-24, bit-packed
    {0x0002, 1}, // 'A' 1-15, bit-packed
    {0x0005, 1}, // 'B' 1-9, bit-packed
    {0x0007, 4}, // 'D', 'E', 'F', 'G', bit-packed
    {0x0600, 9}, // the block
}};

// Which items stand behind registers start ... start + count - 1, in words ("i 1-3").
std::string probe_describe_range(uint32_t start, uint32_t count);

// A register address or value: decimal or 0x hex, 0 to 65535.
bool probe_parse_word(const char* text, uint32_t& value);

// "R" or "R:N" with R decimal or 0x hex below 65536 and N 1 to MODBUS_MAX_READ reaching no
// further than 65536.
bool probe_parse_register(const char* text, ProbeRange& range);

// ---- output ----

std::string probe_hex(const uint8_t* bytes, size_t n);

// One counter of the gateway's "counters: ..." line.
struct ProbeCounter {
    const char* name; // as the gateway's table of counters names it
    uint64_t value;
};
// The counters of `line` (the text after "counters: "), in the order of the gateway's table;
// a name the line does not carry is left out.
std::vector<ProbeCounter> probe_parse_counters(const std::string& line);
