// Serial side of the I/O library: lock files in a temporary folder, lines on real ptys.
#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "sys/com.h"
#include "sys/log.h"

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string pid_text(long pid) {
    char text[32];
    snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

// Points the lock files at a fresh folder while it lives.
struct LockDir {
    TempDir dir;
    LockDir() { com_set_lock_dir(dir.path().c_str()); }
    ~LockDir() { com_set_lock_dir("/var/lock"); }
    std::string lock(const std::string& name) const { return dir.file("LCK.." + name); }
};

// A pty whose slave is opened with com_open, as the service opens its line.
struct Line {
    int master = -1, slave = -1, fd = -1;
    explicit Line(uint32_t baud = 9600, int databits = 8, const char* parity = "N", int stop = 1) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0)
            fd = com_open(ttyname(slave), baud, databits, parity, stop);
    }
    ~Line() {
        for (int d : {fd, slave, master})
            if (d >= 0)
                close(d);
    }
};

// Everything readable on fd until it stays quiet for `quiet_ms`.
std::string drain(int fd, int quiet_ms) {
    std::string got;
    char buf[4096];
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval wait{0, quiet_ms * 1000};
        ssize_t n = 0;
        if (select(fd + 1, &set, nullptr, nullptr, &wait) <= 0 ||
            (n = read(fd, buf, sizeof buf)) <= 0)
            return got;
        got.append(buf, static_cast<size_t>(n));
    }
}

std::string pattern(size_t n) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('A' + i % 26);
    return s;
}

// The device's side: after each delay (ms), the next `count` bytes of the pattern in one write.
struct Burst {
    int delay_ms;
    size_t count;
};
std::thread play(int master, std::vector<Burst> bursts) {
    return std::thread([master, bursts] {
        size_t sent = 0;
        for (const Burst& b : bursts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(b.delay_ms));
            const std::string all = pattern(sent + b.count);
            for (ssize_t n = 0; sent < all.size(); sent += static_cast<size_t>(n))
                if ((n = write(master, all.data() + sent, all.size() - sent)) <= 0)
                    return;
        }
    });
}

} // namespace

TEST(ComLock, CreatesLockOfFinalComponentHoldingPaddedPid) {
    LockDir d;
    const std::string long_name(60, 'x');
    const std::pair<std::string, std::string> rows[] = {
        {"/dev/ttyS1", d.lock("ttyS1")},
        {"ttyUSB0", d.lock("ttyUSB0")},
        {"/dev/", d.lock("")},
        {"/dev/" + long_name, d.lock(long_name).substr(0, 63)},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto& [device, lock] : rows) {
        SCOPED_TRACE(device);
        EXPECT_EQ(com_lock(device.c_str(), 1), 1);
        EXPECT_EQ(read_file(lock), pid_text(getpid()));
        struct stat st {};
        EXPECT_EQ(stat(lock.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
    }
}

TEST(ComLock, LockOfVanishedProcessIsTakenOver) {
    LockDir d;
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    for (const std::string& content : {pid_text(gone), " \n\t" + std::to_string(gone) + " x"}) {
        SCOPED_TRACE(content);
        write_file(d.lock("ttyS1"), content);
        EXPECT_EQ(com_lock("/dev/ttyS1", 1), 1);
        EXPECT_EQ(read_file(d.lock("ttyS1")), pid_text(getpid()));
        unlink(d.lock("ttyS1").c_str());
    }
}

TEST(ComLock, BusyOrUnreadableLockTimesOutAfterOneToTwoSeconds) {
    LockDir d;
    // A folder in place of the lock file stands for one that cannot be read.
    const std::pair<const char*, std::string> rows[] = {
        {"ttyLive", pid_text(getpid())}, {"ttyEmpty", ""},          {"ttyText", "owner\n"},
        {"ttyNegative", "        -5\n"}, {"ttyFolder", "(folder)"},
    };
    std::vector<std::pair<int, double>> outcomes(std::size(rows));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(rows); ++i) {
        if (rows[i].second == "(folder)")
            mkdir(d.lock(rows[i].first).c_str(), 0755);
        else
            write_file(d.lock(rows[i].first), rows[i].second);
        // Independent rows, so they wait side by side.
        threads.emplace_back([&, i] {
            const auto start = Clock::now();
            outcomes[i].first = com_lock(rows[i].first, 1);
            outcomes[i].second = since(start);
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].first);
        EXPECT_EQ(outcomes[i].first, 0);
        EXPECT_GT(outcomes[i].second, 1.0);
        EXPECT_LE(outcomes[i].second, 2.3);
        if (rows[i].second != "(folder)") {
            EXPECT_EQ(read_file(d.lock(rows[i].first)), rows[i].second);
        }
    }
}

TEST(ComLock, MissingLockDirectoryTimesOut) {
    TempDir dir;
    com_set_lock_dir(dir.file("missing").c_str());
    const auto start = Clock::now();
    EXPECT_EQ(com_lock("/dev/ttyS1", 1), 0);
    const double elapsed = since(start);
    com_set_lock_dir("/var/lock");
    EXPECT_GT(elapsed, 1.0);
    EXPECT_LE(elapsed, 2.3);
}

TEST(ComUnlock, RemovesAnyOwnersLockAndFailsQuietlyWithoutOne) {
    LockDir d;
    LogCapture log;
    write_file(d.lock("ttyS1"), pid_text(1));
    EXPECT_EQ(com_unlock("/dev/ttyS1"), 0);
    EXPECT_NE(access(d.lock("ttyS1").c_str(), F_OK), 0);
    EXPECT_EQ(com_unlock("/dev/ttyS1"), -1);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ComLineFlags, SpeedSizeStopBitsAndParity) {
    struct Row {
        uint32_t baud;
        int databits;
        const char* parity;
        int stopbits;
        tcflag_t cflag;
    };
    std::vector<Row> rows = {
        {9600, 8, "N", 1, 0xCBD},   {19200, 7, "E", 1, 0xDAE},   {115200, 8, "O", 2, 0x1FF2},
        {0, 0, "", 0, 0xCBD},       {9600, 7, "N", 1, 0xCAD},    {9600, 8, "N", 2, 0xCFD},
        {9600, 8, "E", 1, 0xDBD},   {9600, 8, "Even", 1, 0xDBD}, {9600, 8, "O", 1, 0xFBD},
        {9600, 8, "Odd", 1, 0xFBD},
    };
    // CS8 | CREAD | HUPCL | CLOCAL with each speed code.
    const std::pair<uint32_t, tcflag_t> speeds[] = {
        {300, 0x7},   {600, 0x8},   {1200, 0x9},     {2400, 0xB},      {4800, 0xC},
        {19200, 0xE}, {38400, 0xF}, {57600, 0x1001}, {115200, 0x1002}, {230400, 0x1003},
        {12345, 0xD}, {1800, 0xD},  {460800, 0xD},
    };
    for (const auto& [baud, code] : speeds)
        rows.push_back({baud, 8, "N", 1, 0xCB0 | code});
    for (const char* none : {"e", "o", "N", "", static_cast<const char*>(nullptr)})
        rows.push_back({9600, 8, none, 1, 0xCBD});
    for (int other : {5, 6, 0})
        rows.push_back({9600, other, "N", 1, 0xCBD});
    for (int one : {0, 3})
        rows.push_back({9600, 8, "N", one, 0xCBD});
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.baud << " " << r.databits << " "
                                        << (r.parity ? r.parity : "null") << " " << r.stopbits);
        const ComLineFlags f = com_line_flags(r.baud, r.databits, r.parity, r.stopbits);
        EXPECT_EQ(f.cflag, r.cflag);
        EXPECT_EQ(f.iflag, 0x5u);
        EXPECT_EQ(f.oflag | f.lflag, 0u);
    }
}

// A pty keeps speed, stop bits, odd parity and the raw flags but forces 8 data bits and clears
// parity enable, so only what it keeps is read back; the rest is checked on com_line_flags.
TEST(ComOpen, PtyRunsAtTableSpeedBothWaysInRawMode) {
    struct Row {
        uint32_t baud;
        int databits;
        const char* parity;
        int stopbits;
        speed_t speed;
        tcflag_t kept;
    } rows[] = {
        {115200, 8, "O", 2, B115200, CSTOPB | PARODD},
        {300, 7, "E", 1, B300, 0},
        {1800, 8, "N", 2, B9600, CSTOPB},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.baud);
        Line line(r.baud, r.databits, r.parity, r.stopbits);
        ASSERT_GE(line.fd, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(line.fd, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), r.speed);
        EXPECT_EQ(cfgetispeed(&t), r.speed);
        EXPECT_EQ(t.c_cflag & CIBAUD, 0u); // input follows the output speed
        EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CREAD | HUPCL | CLOCAL),
                  r.kept | CREAD | HUPCL | CLOCAL);
        EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
        EXPECT_EQ(t.c_oflag | t.c_lflag, 0u);
        EXPECT_EQ(t.c_cc[VINTR], 3); // control characters stay as the line had them
        EXPECT_EQ(fcntl(line.fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_DSYNC),
                  O_RDWR | O_NONBLOCK | O_DSYNC);
    }
}

TEST(ComOpen, FailuresAreLoggedWithThePath) {
    TempDir dir;
    const std::string file = dir.file("not-a-tty"), missing = dir.file("ttyNone");
    write_file(file, "");
    const struct {
        std::string path;
        bool opened;
        std::string message;
    } rows[] = {
        {file, true, "tcsetattr(" + file + ") error: " + strerror(ENOTTY)},
        {missing, false, "open(" + missing + ") error: " + strerror(ENOENT)},
    };
    for (const auto& r : rows) {
        LogCapture log;
        const int fd = com_open(r.path.c_str(), 9600, 8, "N", 1);
        EXPECT_EQ(fd >= 0, r.opened) << r.path;
        EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{{LOG_ERR, r.message}}));
        if (fd >= 0)
            close(fd);
    }
}

TEST(ComModemLines, NonSerialDescriptorLogsOperationName) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::pair<int (*)(int, int), std::string> rows[] = {{com_set_dtr, "com_set_dtr"},
                                                              {com_set_rts, "com_set_rts"}};
    for (const auto& [set, name] : rows) {
        for (int on : {1, 0}) {
            LogCapture log;
            EXPECT_EQ(set(pair[0], on), -1) << name;
            EXPECT_EQ(log.count(LOG_ERR, name + " - TIOCMBIx error: " + strerror(ENOTTY)), 1);
        }
    }
    close(pair[0]);
    close(pair[1]);
}

TEST(ComChat, AnswerEndsAfterQuietSpellOrFullTimeout) {
    const struct {
        const char* what;
        int timeout;
        std::vector<Burst> bursts;
        size_t answer;
        double min_s, max_s;
    } rows[] = {
        {"20 bytes end 200 ms after them", 3, {{100, 20}}, 20, 0.28, 1.5},
        {"silent line", 1, {}, 0, 1.0, 1.6},
        {"last read of 2 bytes waits the time-out", 1, {{100, 20}, {100, 2}}, 22, 1.15, 1.9},
        {"last read of 3 bytes waits 200 ms", 3, {{100, 20}, {100, 3}}, 23, 0.38, 1.5},
        {"a byte every 0.5 s renews the time-out",
         2,
         {{500, 1}, {500, 1}, {500, 1}, {500, 1}},
         4,
         3.95,
         5.0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Line line;
        ASSERT_GE(line.fd, 0);
        const auto start = Clock::now();
        std::thread device = play(line.master, r.bursts);
        const std::string answer = com_chat(line.fd, "AT\r", r.timeout);
        const double elapsed = since(start);
        device.join();
        EXPECT_EQ(answer, pattern(r.answer));
        EXPECT_GE(elapsed, r.min_s);
        EXPECT_LE(elapsed, r.max_s);
        EXPECT_EQ(drain(line.master, 500), "AT\r");
    }
}

TEST(ComChat, LongAnswerKeepsFirst8191AndReadsAtMost65536) {
    // Reading stops once 65536 bytes are counted; the last, dropped read holds up to 128.
    const struct {
        size_t sent, left_min, left_max;
    } rows[] = {{10000, 0, 0}, {70000, 70000 - 65536 - 127, 70000 - 65536}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.sent);
        Line line;
        ASSERT_GE(line.fd, 0);
        std::thread device = play(line.master, {{0, r.sent}});
        EXPECT_EQ(com_chat(line.fd, "AT\r", 1), pattern(8191));
        // Drain before joining: the player may still be blocked on a full line.
        const size_t left = drain(line.fd, 300).size();
        device.join();
        EXPECT_GE(left, r.left_min);
        EXPECT_LE(left, r.left_max);
    }
}

TEST(ComChat, FailedWriteIsLoggedAndAnswerIsEmpty) {
    LogCapture log;
    EXPECT_STREQ(com_chat(-1, "ATZ", 1), "");
    EXPECT_EQ(log.count(LOG_ERR, std::string("write (\"ATZ\") error: ") + strerror(EBADF)), 1);
}
