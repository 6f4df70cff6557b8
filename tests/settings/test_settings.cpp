#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>

#include "support.h"

using namespace std::string_literals;

// Allocations of at least this many bytes fail while it is below SIZE_MAX, so that the
// out-of-memory path of the reader can be driven. The replacements stay out of line so that the
// compiler does not pair an inlined free() with a new expression.
static std::size_t g_fail_new_from = SIZE_MAX;

__attribute__((noinline)) void* operator new(std::size_t size) {
    if (size >= g_fail_new_from)
        throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// All 26 fields in one text, for comparisons with readable failures.
std::string dump(const Settings& s) {
    std::ostringstream out;
    out << s.enabled << '|' << s.device << '|' << s.baudrate << '|' << s.databits << '|' << s.parity
        << '|' << s.stopbits << '|' << s.ipaddr << '|' << s.port << '|' << s.station << '|'
        << s.data_period << '|' << s.alarm_period;
    for (int n = 0; n < SETTINGS_SLOTS; ++n)
        out << "|S" << s.start[n] << " C" << s.count[n] << " A" << s.alarm[n];
    return out.str();
}

Settings load_text(const TempDir& dir, const std::string& content) {
    write_file(dir.file("settings"), content);
    Settings s;
    settings_load(s, dir.file("settings").c_str());
    return s;
}

// Writes `content` to a temporary stream and keeps it open for lookups.
struct Stream {
    FILE* file;
    explicit Stream(const std::string& content) : file(std::tmpfile()) {
        std::fwrite(content.data(), 1, content.size(), file);
    }
    ~Stream() { std::fclose(file); }
    std::string written() {
        std::string text(static_cast<size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        text.resize(std::fread(text.data(), 1, text.size(), file));
        return text;
    }
};

// Non-zero and zero values for every writer, a quoted text and a slot count of 0.
Settings sample() {
    return Settings{.enabled = 5,
                    .device = "a b",
                    .baudrate = 0,
                    .databits = 7,
                    .parity = "E",
                    .stopbits = 2,
                    .ipaddr = "push.example",
                    .port = 0,
                    .station = 0,
                    .data_period = 60,
                    .alarm_period = 4294967295u,
                    .start = {100, 200, 300, 400, 500},
                    .count = {10, 11, 0, 13, 14},
                    .alarm = {1000, 1001, 1002, 1003, 1004}};
}

} // namespace

TEST(SettingsLoad, TextLookupsLineByLine) {
    struct Row {
        std::string file;
        std::string Settings::*field;
        std::string expected;
    } rows[] = {
        {"MOD_KOVEX4_DEVICE=\"a b\"\n", &Settings::device, "a b"},
        {"MOD_KOVEX4_DEVICE=\"ab\n", &Settings::device, ""},
        {"MOD_KOVEX4_DEVICE=a\"b\n", &Settings::device, "a"},
        {"MOD_KOVEX4_DEVICE=\"a\"b\"\n", &Settings::device, "a\"b"},
        {"MOD_KOVEX4_DEV\"ICE=x\n", &Settings::device, ""},
        {"MOD_KOVEX4_IPADDR=x=y\n", &Settings::ipaddr, "x=y"},
        {"MOD_KOVEX4_DEVICE= a \n", &Settings::device, " a "},
        {"mod_kovex4_Parity=E\n", &Settings::parity, "E"},
        {"MOD_KOVEX4_DEVICE=ttyS0\r\n", &Settings::device, "ttyS0"},
        {"MOD_KOVEX4_DEVICE=a\rb\n", &Settings::device, "a"},
        {"MOD_KOVEX4_DEVICE=ab\0cd\nMOD_KOVEX4_PARITY=O\n"s, &Settings::device, "ab"},
        {"MOD_KOVEX4_DEVIC=a\nMOD_KOVEX4_DEVICEX=b\nMOD_KOVEX4_DEVICE\n", &Settings::device, ""},
        {"no equals\nMOD_KOVEX4_DEVICE=c\nMOD_KOVEX4_DEVICE=d\n", &Settings::device, "c"},
        {"MOD_KOVEX4_PARITY=O\nMOD_KOVEX4_DEVICE=tail", &Settings::device, "tail"},
    };
    TempDir dir;
    for (const Row& row : rows) {
        const Settings s = load_text(dir, row.file);
        EXPECT_EQ(s.*row.field, row.expected) << row.file;
    }
}

TEST(SettingsLoad, NumberLookupsLineByLine) {
    struct Row {
        const char* file;
        uint32_t Settings::*field;
        uint32_t expected;
    } rows[] = {
        {"mod_kovex4_station=7\n", &Settings::station, 7},
        {"MOD_KOVEX4_STATION = 7\n", &Settings::station, 0},
        {"MOD_KOVEX4_STATION=7\nMOD_KOVEX4_STATION=9\n", &Settings::station, 7},
        {"#MOD_KOVEX4_ENABLED=1\n", &Settings::enabled, 0},
        {"MOD_KOVEX4_PORT=\n", &Settings::port, 0},
        {"MOD_KOVEX4_PORT=-1\n", &Settings::port, 4294967295u},
        {"MOD_KOVEX4_PORT=99999999999\n", &Settings::port, 4294967295u},
        {"MOD_KOVEX4_PORT= 12\n", &Settings::port, 12},
        {"MOD_KOVEX4_PORT=12abc\n", &Settings::port, 12},
        {"MOD_KOVEX4_PORT=\"502\"\n", &Settings::port, 502},
        {"MOD_KOVEX4_ALARM_PERIOD=5\nMOD_KOVEX4_DATA_PERIOD=6\n", &Settings::data_period, 6},
    };
    TempDir dir;
    for (const Row& row : rows) {
        const Settings s = load_text(dir, row.file);
        EXPECT_EQ(s.*row.field, row.expected) << row.file;
    }
}

// Conversions follow a 32-bit C library on any host.
TEST(SettingsReader, NumbersAreThirtyTwoBit) {
    struct Row {
        const char* value;
        uint32_t expected;
    } rows[] = {{"4294967295", 4294967295u},
                {"4294967296", 4294967295u},
                {"99999999999999999999", 4294967295u},
                {"-4294967295", 1},
                {"-4294967296", 4294967295u},
                {"-99999999999", 4294967295u},
                {"-5", 4294967291u},
                {"-0", 0},
                {"+7", 7},
                {"\t\v\f 8", 8},
                {"+-1", 0},
                {"- 1", 0},
                {"0x1F", 0},
                {"007", 7},
                {"abc", 0}};
    for (const Row& row : rows) {
        Stream in("K=" + std::string(row.value) + "\n");
        EXPECT_EQ(settings_get_uint(in.file, "k"), row.expected) << row.value;
    }
}

TEST(SettingsReader, DottedAddresses) {
    struct Row {
        const char* value;
        uint32_t expected;
    } rows[] = {{"10.0.0.1", 0x0A000001u},
                {"10.0.0", 0},
                {"1.2.3.300", 0x0102042Cu},
                {"1.2.3.4junk", 0x01020304u},
                {" 1. 2.3.4", 0x01020304u},
                {"1 .2.3.4", 0},
                {"1..2.3.4", 0},
                {"-1.0.0.0", 0xFF000000u},
                {"1.2.3.4294967296", 0x010202FFu},
                {"\"10.0.0.1\"", 0x0A000001u},
                {"", 0}};
    for (const Row& row : rows) {
        Stream in("K=" + std::string(row.value) + "\n");
        EXPECT_EQ(settings_get_ipaddr(in.file, "K"), row.expected) << row.value;
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
        settings_put_string(file, "S", "");
        settings_put_string(file, "S", long_text.c_str());
        settings_put_ipaddr(file, "I", 0x0A000001u);
        settings_put_ipaddr(file, "I", 0xFFFE0100u);
        settings_put_ipaddr(file, "I", 0);
    }
    EXPECT_EQ(out.written(), "B=1\nB=0\nU=0\nU=\nU=4294967295\nS=\"a b\"\nS=a\tb\nS=\nS=" +
                                 long_text.substr(0, 16000) + "\nI=10.0.0.1\nI=255.254.1.0\nI=\n");
}

TEST(SettingsSave, WritesTwentySixLinesInOrder) {
    TempDir dir;
    write_file(dir.file("settings"), "OLD_KEY=1\n");
    ASSERT_EQ(settings_save(sample(), dir.file("settings").c_str()), 1);
    EXPECT_EQ(read_file(dir.file("settings")),
              "MOD_KOVEX4_ENABLED=1\nMOD_KOVEX4_DEVICE=\"a b\"\nMOD_KOVEX4_BAUDRATE=0\n"
              "MOD_KOVEX4_DATABITS=7\nMOD_KOVEX4_PARITY=E\nMOD_KOVEX4_STOPBITS=2\n"
              "MOD_KOVEX4_IPADDR=push.example\nMOD_KOVEX4_PORT=\nMOD_KOVEX4_STATION=0\n"
              "MOD_KOVEX4_DATA_PERIOD=60\nMOD_KOVEX4_ALARM_PERIOD=4294967295\n"
              "MOD_KOVEX4_START1=100\nMOD_KOVEX4_COUNT1=10\nMOD_KOVEX4_ALARM1=1000\n"
              "MOD_KOVEX4_START2=200\nMOD_KOVEX4_COUNT2=11\nMOD_KOVEX4_ALARM2=1001\n"
              "MOD_KOVEX4_START3=300\nMOD_KOVEX4_COUNT3=\nMOD_KOVEX4_ALARM3=1002\n"
              "MOD_KOVEX4_START4=400\nMOD_KOVEX4_COUNT4=13\nMOD_KOVEX4_ALARM4=1003\n"
              "MOD_KOVEX4_START5=500\nMOD_KOVEX4_COUNT5=14\nMOD_KOVEX4_ALARM5=1004\n");
    EXPECT_EQ(settings_save(sample(), dir.file("missing/settings").c_str()), 0);
}

TEST(SettingsSave, RoundTrip) {
    Settings expected = sample();
    expected.enabled = 1;
    TempDir dir;
    const std::string path = dir.file("settings");
    ASSERT_EQ(settings_save(sample(), path.c_str()), 1);
    Settings loaded;
    settings_load(loaded, path.c_str());
    EXPECT_EQ(dump(loaded), dump(expected));

    // Texts come back as the format allows.
    struct Row {
        std::string text;
        std::string expected;
    } rows[] = {
        {"a b", "a b"},
        {"a\"b", "a"},
        {"say \"hi\" now", "say \"hi\" now"},
        {"\"q\"", "q"},
        {"x\ry", "x"},
        {"x\ny", "x"},
        {"x y\rz", ""}, // the cut leaves only the opening quote, which is then the last one
        {std::string(20000, 'd'), std::string(16000, 'd')},
    };
    for (const Row& row : rows) {
        Settings s;
        s.device = row.text;
        s.parity = "N";
        ASSERT_EQ(settings_save(s, path.c_str()), 1);
        settings_load(loaded, path.c_str());
        EXPECT_EQ(loaded.device, row.expected) << row.text.substr(0, 20);
        EXPECT_EQ(loaded.parity, "N");
    }
}

TEST(SettingsLoad, CrLfReadsLikeLf) {
    std::string lf;
    // Keys in reverse order: every lookup must start from the top of the file.
    for (int n = SETTINGS_SLOTS; n >= 1; --n)
        lf += "MOD_KOVEX4_ALARM" + std::to_string(n) + "=" + std::to_string(n + 20) +
              "\nMOD_KOVEX4_COUNT" + std::to_string(n) + "=" + std::to_string(n + 10) +
              "\nMOD_KOVEX4_START" + std::to_string(n) + "=" + std::to_string(n) + "\n";
    lf += "MOD_KOVEX4_ALARM_PERIOD=11\nMOD_KOVEX4_DATA_PERIOD=10\nMOD_KOVEX4_STATION=9\n"
          "MOD_KOVEX4_PORT=502\nMOD_KOVEX4_IPADDR=\"10.0.0.1\"\nMOD_KOVEX4_STOPBITS=2\n"
          "MOD_KOVEX4_PARITY=O\nMOD_KOVEX4_DATABITS=7\nMOD_KOVEX4_BAUDRATE=19200\n"
          "MOD_KOVEX4_DEVICE=ttyS1\nMOD_KOVEX4_ENABLED=1\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? "\r\n" : std::string(1, c);

    TempDir dir;
    const std::string from_lf = dump(load_text(dir, lf));
    EXPECT_EQ(from_lf, "1|ttyS1|19200|7|O|2|10.0.0.1|502|9|10|11|S1 C11 A21|S2 C12 A22|S3 C13 A23|"
                       "S4 C14 A24|S5 C15 A25");
    EXPECT_EQ(dump(load_text(dir, crlf)), from_lf);
}

// fgets hands over at most 16383 characters; the rest of a longer line is a line of its own.
TEST(SettingsLoad, LongLineIsReadInPieces) {
    const std::string head = "MOD_KOVEX4_DEVICE=";
    const std::string tail = "MOD_KOVEX4_PARITY=";
    const std::string line = head + std::string(16383 - head.size(), 'x') + tail +
                             std::string(20000 - 16383 - tail.size(), 'y');
    ASSERT_EQ(line.size(), 20000u);
    TempDir dir;
    const Settings s = load_text(dir, line + "\n");
    EXPECT_EQ(s.device, std::string(16383 - head.size(), 'x'));
    EXPECT_EQ(s.parity, std::string(20000 - 16383 - tail.size(), 'y'));
}

TEST(SettingsLoad, MissingFileClearsEveryField) {
    LogCapture log;
    TempDir dir;
    Settings s = sample();
    settings_load(s, dir.file("none").c_str());
    EXPECT_EQ(dump(s), dump(Settings{}));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(settings_get_string(nullptr, "K"), std::optional<std::string>(""));
    EXPECT_EQ(settings_get_uint(nullptr, "K"), 0u);
}

TEST(SettingsReader, OutOfMemoryGivesNoText) {
    const std::string digits = std::string(4000, '0') + "7";
    Stream in("K=" + digits + "\n");
    TempDir dir;
    write_file(dir.file("settings"), "MOD_KOVEX4_DEVICE=" + digits +
                                         "\nMOD_KOVEX4_PARITY=E\nMOD_KOVEX4_PORT=" + digits +
                                         "\nMOD_KOVEX4_STATION=3\n");
    Settings s = sample();
    s.port = 99;

    g_fail_new_from = 1000;
    const std::optional<std::string> text = settings_get_string(in.file, "K");
    const uint32_t number = settings_get_uint(in.file, "K");
    settings_load(s, dir.file("settings").c_str());
    g_fail_new_from = SIZE_MAX;

    EXPECT_FALSE(text.has_value());
    EXPECT_EQ(number, 0u);
    EXPECT_EQ(s.device, "");
    EXPECT_EQ(s.parity, "E");
    EXPECT_EQ(s.port, 0u);
    EXPECT_EQ(s.station, 3u);
    EXPECT_EQ(settings_get_uint(in.file, "K"), 7u);
}
