// SPDX-License-Identifier: Apache-2.0
// Fuzz target for the settings file library.
//
// 1. The input bytes, read from memory as a settings file, go through settings_read (the code
//    the daemon's settings_load runs on the file it opens): it must not crash and every loaded
//    text must be one the reader can produce (no CR, LF or NUL, shorter than the line buffer).
// 2. A record derived from the same bytes goes through settings_write (settings_save's) into
//    memory and settings_read back, and must come back as the file format allows: enabled as
//    0/1, texts written cut to 16000 characters, read back cut at the first CR or LF and at their
//    last double quote, one opening quote skipped.
// Streams in memory spare every run the file system's work; what is left is the reader's own
// (each key is looked up from the top of the file).
#include "settings/settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The record read from `size` bytes at `data`; no bytes read like a missing file.
Settings read_from_memory(const void* data, size_t size) {
    Settings settings;
    FILE* file = size > 0 ? fmemopen(const_cast<void*>(data), size, "r") : nullptr;
    if (size > 0 && file == nullptr)
        std::abort();
    settings_read(settings, file);
    if (file != nullptr)
        std::fclose(file);
    return settings;
}

void fail(const char* what, const std::string& got, const std::string& expected) {
    std::fprintf(stderr, "%s: got \"%.200s\" (%zu), expected \"%.200s\" (%zu)\n", what, got.c_str(),
                 got.size(), expected.c_str(), expected.size());
    std::abort();
}

void check_loaded_text(const char* what, const std::string& text) {
    if (text.size() > 16382 || text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        fail(what, text, "(a text the reader can produce)");
}

// Hands out the input's bytes in order; zeros once they run out.
struct Bytes {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    uint8_t next() { return pos < size ? data[pos++] : 0; }
    uint32_t number() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | next();
        return value;
    }
    // A length byte, a repeat byte and that many bytes. Every eighth repeat byte repeats the
    // piece 70 times so that texts beyond the 16000-character cut occur.
    std::string text() {
        const size_t length = next();
        const int repeat = next() % 8 == 7 ? 70 : 1;
        std::string piece;
        for (size_t i = 0; i < length && pos < size; ++i) {
            const char c = static_cast<char>(next());
            // A record's texts hold no NUL.
            if (c != '\0')
                piece += c;
        }
        std::string text;
        for (int i = 0; i < repeat; ++i)
            text += piece;
        // After an LF the text is written as lines of its own; such a line with "=" would stand
        // for some other key, which the format cannot tell apart, so the tail holds no "=".
        const size_t lf = text.find('\n');
        if (lf != std::string::npos)
            text.erase(std::remove(text.begin() + static_cast<std::ptrdiff_t>(lf), text.end(), '='),
                       text.end());
        return text;
    }
};

// What the reader gives back for a text written by settings_put_string.
std::string read_back(const std::string& text) {
    std::string line = text.substr(0, 16000);
    if (text.find(' ') != std::string::npos)
        line = "\"" + line + "\"";
    line = line.substr(0, line.find_first_of("\r\n"));
    const size_t quote = line.rfind('"');
    if (quote != std::string::npos)
        line.resize(quote);
    if (!line.empty() && line[0] == '"')
        line.erase(0, 1);
    return line;
}

// Every field in one text, so that one comparison shows what differs.
std::string describe(const Settings& s) {
    std::string out = std::to_string(s.enabled) + "|" + s.device + "|" + s.parity + "|" + s.ipaddr +
                      "|" + s.listen;
    for (uint32_t v : {s.baudrate, s.databits, s.stopbits, s.port, s.station, s.data_period,
                       s.alarm_period, s.clients, s.write_single})
        out += "|" + std::to_string(v);
    for (int n = 0; n < SETTINGS_SLOTS; ++n)
        for (uint32_t v : {s.start[n], s.count[n], s.alarm[n]})
            out += "|" + std::to_string(v);
    return out;
}

void round_trip(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    Settings saved;
    saved.enabled = in.number();
    saved.device = in.text();
    saved.baudrate = in.number();
    saved.databits = in.number();
    saved.parity = in.text();
    saved.stopbits = in.number();
    saved.ipaddr = in.text();
    for (uint32_t* v : {&saved.port, &saved.station, &saved.data_period, &saved.alarm_period})
        *v = in.number();
    for (int n = 0; n < SETTINGS_SLOTS; ++n)
        for (uint32_t* v : {&saved.start[n], &saved.count[n], &saved.alarm[n]})
            *v = in.number();
    saved.clients = in.number();
    saved.write_single = in.number();
    saved.listen = in.text();
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    if (out == nullptr)
        std::abort();
    settings_write(saved, out);
    std::fclose(out);
    const Settings loaded = read_from_memory(text, length);
    std::free(text);

    Settings expected = saved;
    expected.enabled = saved.enabled != 0 ? 1 : 0;
    for (std::string* text :
         {&expected.device, &expected.parity, &expected.ipaddr, &expected.listen})
        *text = read_back(*text);
    if (describe(loaded) != describe(expected))
        fail("round trip", describe(loaded), describe(expected));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Settings settings = read_from_memory(data, size);
    check_loaded_text("device", settings.device);
    check_loaded_text("parity", settings.parity);
    check_loaded_text("ipaddr", settings.ipaddr);

    round_trip(data, size);
    return 0;
}
