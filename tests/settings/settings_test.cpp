// SPDX-License-Identifier: Apache-2.0
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "support.h"

using namespace std::string_literals;

namespace {

// All fields in one text, for comparisons with readable failures.
std::string dump(const Settings& s) {
    std::ostringstream out;
    out << s.enabled << '|' << s.device << '|' << s.baudrate << '|' << s.databits << '|' << s.parity
        << '|' << s.stopbits << '|' << s.ipaddr << '|' << s.port << '|' << s.station << '|'
        << s.data_period << '|' << s.alarm_period;
    for (int n = 0; n < SETTINGS_SLOTS; ++n)
        out << "|S" << s.start[n] << " C" << s.count[n] << " A" << s.alarm[n];
    out << '|' << s.clients << '|' << s.write_single << '|' << s.listen << '|' << s.tls_cert << '|'
        << s.tls_key << '|' << s.tls_ca << '|' << s.tls_writers;
    return out.str();
}

Settings load_text(const TempDir& dir, const std::string& content) {
    write_file(dir.file("settings"), content);
    Settings s;
    settings_load(s, dir.file("settings").c_str());
    return s;
}

// A temporary stream holding `content`, kept open for lookups.
struct Stream {
    FILE* file = std::tmpfile();
    explicit Stream(const std::string& text) { std::fwrite(text.data(), 1, text.size(), file); }
    ~Stream() { std::fclose(file); }
};

} // namespace

TEST(SettingsReader, TextLookupsLineByLine) {
    const std::pair<std::string, std::string> rows[] = {
        {"KEY=\"a b\"\n", "a b"},
        {"KEY=\"ab\n", ""}, // the only quote is the last one
        {"KEY=a\"b\n", "a"},
        {"KEY=\"a\"b\"\n", "a\"b"},
        {"KEY=x=y\n", "x=y"},
        {"KEY= a \n", " a "},
        {"kEy=E\n", "E"},
        {"KEY=ttyS0\r\n", "ttyS0"},
        {"KEY=a\rb\n", "a"},
        {"KEY=\"a b\rc\"\n", ""}, // cut at CR first, so the opening quote is the last one
        {"KE=a\nKEYX=b\nKEY =c\nKEY\n", ""},
        {"no equals\nKEY=c\nKEY=d\n", "c"},
        {"OTHER=O\nKEY=tail", "tail"},
        // A UTF-8 byte-order mark is skipped at the very start of the file only, and whole only.
        {"\xEF\xBB\xBFKEY=b\n", "b"},
        {"OTHER=O\n\xEF\xBB\xBFKEY=b\n", ""},
        {"\xEF\xBBKEY=b\n", ""},
        {"KEY=ab\0cd\nOTHER=O\n"s, "ab"}, // stdio stops at NUL
        // A read takes at most 16383 characters; the rest of a line is a line of its own.
        {std::string(16383, 'x') + "KEY=tail\n", "tail"},
    };
    for (const auto& [file, expected] : rows) {
        Stream in(file);
        EXPECT_EQ(settings_get_string(in.file, "KEY"), expected) << file.substr(0, 20);
    }
}

// Each value read as a number and as a dotted address, as a 32-bit C library does on any host.
TEST(SettingsReader, NumbersAndDottedAddresses) {
    const struct {
        const char* text;
        uint32_t number, address;
    } rows[] = {
        {"4294967295", 4294967295u, 0},
        {"4294967296", 4294967295u, 0},
        {"-4294967295", 1, 0},
        {"-4294967296", 4294967295u, 0},
        {"-1", 4294967295u, 0},
        {"+7", 7, 0},
        {"\t\v\f 8", 8, 0},
        {"12abc", 12, 0},
        {"\"502\"", 502, 0},
        {"+-1", 0, 0},
        {"- 1", 0, 0},
        {"0x1F", 0, 0},
        {"10.0.0", 10, 0},
        {"1.2.3.300", 1, 0x0102042Cu},
        {"1.2.3.4junk", 1, 0x01020304u},
        {" 1. 2.3.4", 1, 0x01020304u},
        {"1 .2.3.4", 1, 0},
        {"1..2.3.4", 1, 0},
        {"1 2 3 4", 1, 0},
        {"-1.0.0.0", 4294967295u, 0xFF000000u},
        {"1.2.3.4294967296", 1, 0x010202FFu},
        {"\"10.0.0.1\"", 10, 0x0A000001u},
    };
    for (const auto& r : rows) {
        Stream in("K=" + std::string(r.text) + "\n");
        EXPECT_EQ(settings_get_uint(in.file, "k"), r.number) << r.text;
        EXPECT_EQ(settings_get_ipaddr(in.file, "K"), r.address) << r.text;
    }
    EXPECT_EQ(settings_get_ipaddr(nullptr, "K"), 0u);
}

TEST(SettingsWriter, LineFormats) {
    const std::string long_text(16001, 'x');
    Stream out("");
    for (FILE* file : {out.file, static_cast<FILE*>(nullptr)}) { // no file: nothing happens
        settings_put_bool(file, "B", 5);
        settings_put_bool(file, "B", 0);
        settings_put_uint(file, "U", 0, true);
        settings_put_uint(file, "U", 0, false);
        settings_put_uint(file, "U", 4294967295u, false);
        settings_put_string(file, "S", "a b");
        settings_put_string(file, "S", "a\tb");
        settings_put_string(file, "S", long_text.c_str());
        settings_put_ipaddr(file, "I", 0xFFFE0100u);
        settings_put_ipaddr(file, "I", 0);
    }
    std::string text(static_cast<size_t>(std::ftell(out.file)), '\0');
    std::rewind(out.file);
    text.resize(std::fread(text.data(), 1, text.size(), out.file));
    EXPECT_EQ(text, "B=1\nB=0\nU=0\nU=\nU=4294967295\nS=\"a b\"\nS=a\tb\nS=" +
                        long_text.substr(0, 16000) + "\nI=255.254.1.0\nI=\n");
}

// Zeros for the writers with and without keep_zero, a non-zero flag, a text with a blank. Read
// back with the lines in reverse order (every lookup starts from the top of the file), with LF
// and with CR LF line ends.
TEST(SettingsFile, EveryFieldSavesToAndLoadsFromItsKey) {
    Settings s{.enabled = 5,
               .device = "a b",
               .databits = 7,
               .parity = "O",
               .stopbits = 2,
               .ipaddr = "10.0.0.1",
               .alarm_period = 11};
    for (int n = 0; n < SETTINGS_SLOTS; ++n)
        std::tie(s.start[n], s.count[n], s.alarm[n]) =
            std::tuple(n + 1, n == 2 ? 0 : n + 11, n + 21);
    TempDir dir;
    const std::string path = dir.file("settings");
    ASSERT_EQ(settings_save(s, path.c_str()), 1);
    const std::string saved = read_file(path);
    EXPECT_EQ(saved, "MOD_KOVEX4_ENABLED=1\nMOD_KOVEX4_DEVICE=\"a b\"\nMOD_KOVEX4_BAUDRATE=0\n"
                     "MOD_KOVEX4_DATABITS=7\nMOD_KOVEX4_PARITY=O\nMOD_KOVEX4_STOPBITS=2\n"
                     "MOD_KOVEX4_IPADDR=10.0.0.1\nMOD_KOVEX4_PORT=\nMOD_KOVEX4_STATION=0\n"
                     "MOD_KOVEX4_DATA_PERIOD=\nMOD_KOVEX4_ALARM_PERIOD=11\n"
                     "MOD_KOVEX4_START1=1\nMOD_KOVEX4_COUNT1=11\nMOD_KOVEX4_ALARM1=21\n"
                     "MOD_KOVEX4_START2=2\nMOD_KOVEX4_COUNT2=12\nMOD_KOVEX4_ALARM2=22\n"
                     "MOD_KOVEX4_START3=3\nMOD_KOVEX4_COUNT3=\nMOD_KOVEX4_ALARM3=23\n"
                     "MOD_KOVEX4_START4=4\nMOD_KOVEX4_COUNT4=14\nMOD_KOVEX4_ALARM4=24\n"
                     "MOD_KOVEX4_START5=5\nMOD_KOVEX4_COUNT5=15\nMOD_KOVEX4_ALARM5=25\n");
    s.enabled = 1;
    std::string reversed, crlf;
    for (size_t end = saved.size(), begin; end > 0; end = begin) {
        begin = saved.rfind('\n', end - 2) + 1; // npos + 1 == 0
        reversed += saved.substr(begin, end - begin);
        crlf += saved.substr(begin, end - begin - 1) + "\r\n";
    }
    EXPECT_EQ(dump(load_text(dir, reversed)), dump(s));
    EXPECT_EQ(dump(load_text(dir, crlf)), dump(s));
    EXPECT_EQ(settings_save(s, dir.file("missing/settings").c_str()), 0);

    // The server options are written only when set: a file without them keeps its 26 lines.
    std::tie(s.clients, s.write_single, s.listen) = std::tuple(4, 1, "10.0.0.2");
    std::tie(s.tls_cert, s.tls_ca, s.tls_writers) = std::tuple("/c.pem", "/ca.pem", "op, eng");
    ASSERT_EQ(settings_save(s, path.c_str()), 1);
    EXPECT_EQ(read_file(path),
              saved + "MOD_KOVEX4_CLIENTS=4\nMOD_KOVEX4_WRITE_SINGLE=1\n"
                      "MOD_KOVEX4_LISTEN=10.0.0.2\nMOD_KOVEX4_TLS_CERT=/c.pem\n"
                      "MOD_KOVEX4_TLS_CA=/ca.pem\nMOD_KOVEX4_TLS_WRITERS=\"op, eng\"\n");
    EXPECT_EQ(dump(load_text(dir, read_file(path))), dump(s));

    // A missing file clears every field, silently.
    LogCapture log;
    settings_load(s, dir.file("none").c_str());
    EXPECT_EQ(dump(s), dump(Settings{}));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(settings_get_string(nullptr, "K"), std::optional<std::string>(""));
}

// The table of keys is the one description of the file: every key reaches its own field of the
// record in its own kind, the reader finds it whatever its letter case, and the settings
// document names every key and no other (slot keys as "<KEY>1 ... <KEY>5").
TEST(SettingsKeys, OneRowPerFieldNamedInTheDocument) {
    Settings s;
    std::set<const void*> fields;
    std::set<std::string> names;
    for (const SettingsKey& key : SETTINGS_KEYS) {
        SCOPED_TRACE(key.name);
        names.insert(key.name);
        const void* field = key.kind == SettingsKind::number
                                ? static_cast<const void*>(settings_number(s, key))
                                : static_cast<const void*>(settings_text(s, key));
        EXPECT_NE(field, nullptr);
        fields.insert(field);
        EXPECT_EQ(&settings_key(key.field, key.slot), &key);
    }
    EXPECT_EQ(fields.size(), std::size(SETTINGS_KEYS));
    EXPECT_EQ(names.size(), std::size(SETTINGS_KEYS));

    const std::string doc = read_file(KOVEX4_SETTINGS_DOC);
    std::set<std::string> documented;
    const std::string prefix(SETTINGS_KEY_PREFIX);
    for (size_t at = doc.find(prefix); at != std::string::npos; at = doc.find(prefix, at + 1)) {
        size_t end = at + prefix.size();
        while (end < doc.size() &&
               (std::isupper(static_cast<unsigned char>(doc[end])) ||
                std::isdigit(static_cast<unsigned char>(doc[end])) || doc[end] == '_'))
            ++end;
        documented.insert(doc.substr(at, end - at));
    }
    for (const std::string& name : names) {
        const bool slot = std::isdigit(static_cast<unsigned char>(name.back())) != 0;
        const bool first_or_last = name.back() == '1' || name.back() == '5';
        EXPECT_TRUE(documented.count(name) == 1 || (slot && !first_or_last)) << name;
    }
    for (const std::string& name : documented)
        EXPECT_EQ(names.count(name), 1u) << name << " is documented but no key";
}
