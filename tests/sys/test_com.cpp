// Serial side of the I/O library: lock files in a temporary folder, lines on real ptys.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
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
            close(d);
    }
};

// Everything readable on fd until it stays quiet for `quiet_ms`.
std::string drain(int fd, int quiet_ms) {
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, quiet_ms) == 1 && (n = read(fd, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>('A' + i % 26);
    return s;
}

// The device's side: after each delay (ms), the next `count` bytes of the pattern in one write.
using Bursts = std::vector<std::pair<int, size_t>>;
std::thread play(int master, Bursts bursts) {
    return std::thread([master, bursts] {
        size_t sent = 0;
        for (const auto& [delay_ms, count] : bursts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            const std::string all = pattern(sent + count);
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

// A lock of a vanished process is taken over in the same call, and one holding this process's
// own id is already ours (a line being reopened); com_lock_owner names only live owners.
// com_unlock removes any lock, and fails quietly without one.
TEST(ComLock, StaleLockTakenOverAndAnyLockRemoved) {
    LockDir d;
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    LogCapture log;
    for (const std::string& content : {pid_text(gone), " \n\t" + std::to_string(gone) + " x"}) {
        SCOPED_TRACE(content);
        write_file(d.lock("ttyS1"), content);
        EXPECT_EQ(com_lock_owner("/dev/ttyS1"), 0);
        EXPECT_EQ(com_lock("/dev/ttyS1", 1), 1);
        EXPECT_EQ(read_file(d.lock("ttyS1")), pid_text(getpid()));
    }
    const auto t0 = Clock::now();
    EXPECT_EQ(com_lock("/dev/ttyS1", 1), 1);
    EXPECT_LT(since(t0), 0.5);
    EXPECT_EQ(com_lock_owner("/dev/ttyS1"), getpid());
    write_file(d.lock("ttyS1"), pid_text(1));
    EXPECT_EQ(com_lock_owner("/dev/ttyS1"), 1);
    EXPECT_EQ(com_unlock("/dev/ttyS1"), 0);
    EXPECT_NE(access(d.lock("ttyS1").c_str(), F_OK), 0);
    EXPECT_EQ(com_unlock("/dev/ttyS1"), -1);
    EXPECT_TRUE(log.lines().empty());
}

// A live owner, a lock without a process id, an unreadable one (a folder, "/", in its place)
// and a missing lock directory are all waited out: more than 1 and at most 2 s for a time-out
// of 1.
TEST(ComLock, BusyUnreadableOrNoDirectoryTimesOut) {
    const std::pair<const char*, std::string> rows[] = {
        {"ttyLive", pid_text(getppid())}, {"ttyEmpty", ""},   {"ttyText", "owner\n"},
        {"ttyNegative", "        -5\n"}, {"ttyFolder", "/"}, {"ttyNoDir", ""},
    };
    std::vector<std::pair<int, double>> outcomes(std::size(rows));
    auto attempt = [&](size_t i) {
        const auto start = Clock::now();
        outcomes[i] = {com_lock(rows[i].first, 1), since(start)};
    };
    LockDir d;
    std::vector<std::thread> threads; // the rows in the lock folder wait side by side
    for (size_t i = 0; i + 1 < std::size(rows); ++i) {
        if (rows[i].second == "/")
            mkdir(d.lock(rows[i].first).c_str(), 0755);
        else
            write_file(d.lock(rows[i].first), rows[i].second);
        threads.emplace_back(attempt, i);
    }
    for (std::thread& t : threads)
        t.join();
    com_set_lock_dir(d.dir.file("missing").c_str());
    attempt(std::size(rows) - 1);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].first);
        EXPECT_EQ(outcomes[i].first, 0);
        EXPECT_GT(outcomes[i].second, 1.0);
        EXPECT_LE(outcomes[i].second, 2.3);
    }
}

// c_cflag for each setting: CS8 | CREAD | HUPCL | CLOCAL is 0xCB0, plus the speed code; iflag
// IGNBRK | IGNPAR, oflag and lflag 0.
TEST(ComLineFlags, SpeedSizeStopBitsAndParity) {
    const std::tuple<uint32_t, int, const char*, int, tcflag_t> rows[] = {
        {300, 8, "N", 1, 0xCB7},     {600, 8, "N", 1, 0xCB8},     {1200, 8, "N", 1, 0xCB9},
        {2400, 8, "N", 1, 0xCBB},    {4800, 8, "N", 1, 0xCBC},    {9600, 8, "N", 1, 0xCBD},
        {19200, 8, "N", 1, 0xCBE},   {38400, 8, "N", 1, 0xCBF},   {57600, 8, "N", 1, 0x1CB1},
        {115200, 8, "N", 1, 0x1CB2}, {230400, 8, "N", 1, 0x1CB3}, {12345, 8, "N", 1, 0xCBD},
        {1800, 8, "N", 1, 0xCBD},    {460800, 8, "N", 1, 0xCBD},  {0, 0, "", 0, 0xCBD},
        {19200, 7, "E", 1, 0xDAE},   {115200, 8, "O", 2, 0x1FF2}, {9600, 7, "N", 1, 0xCAD},
        {9600, 8, "N", 2, 0xCFD},    {9600, 8, "Even", 1, 0xDBD}, {9600, 8, "Odd", 1, 0xFBD},
        {9600, 8, "e", 1, 0xCBD},    {9600, 8, "o", 1, 0xCBD},    {9600, 8, nullptr, 1, 0xCBD},
        {9600, 5, "N", 1, 0xCBD},    {9600, 6, "N", 1, 0xCBD},    {9600, 8, "N", 3, 0xCBD},
    };
    for (const auto& [baud, databits, parity, stopbits, cflag] : rows) {
        SCOPED_TRACE(testing::Message() << baud << " " << databits << " "
                                        << (parity ? parity : "null") << " " << stopbits);
        const ComLineFlags f = com_line_flags(baud, databits, parity, stopbits);
        EXPECT_EQ(f.cflag, cflag);
        EXPECT_EQ(f.iflag, 0x5u);
        EXPECT_EQ(f.oflag | f.lflag, 0u);
    }
}

// A pty keeps speed, stop bits, odd parity and the raw flags but forces 8 data bits and clears
// parity enable, so only what it keeps is read back; the rest is checked on com_line_flags.
TEST(ComOpen, PtyRunsAtTableSpeedBothWaysInRawMode) {
    const std::tuple<uint32_t, int, const char*, int, speed_t, tcflag_t> rows[] = {
        {115200, 8, "O", 2, B115200, CSTOPB | PARODD},
        {300, 7, "E", 1, B300, 0},
        {1800, 8, "N", 2, B9600, CSTOPB},
    };
    for (const auto& [baud, databits, parity, stopbits, speed, kept] : rows) {
        SCOPED_TRACE(baud);
        Line line(baud, databits, parity, stopbits);
        ASSERT_GE(line.fd, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(line.fd, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), speed);
        EXPECT_EQ(cfgetispeed(&t), speed);
        EXPECT_EQ(t.c_cflag & CIBAUD, 0u); // input follows the output speed
        EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CREAD | HUPCL | CLOCAL),
                  kept | CREAD | HUPCL | CLOCAL);
        EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
        EXPECT_EQ(t.c_oflag | t.c_lflag, 0u);
        EXPECT_EQ(t.c_cc[VINTR], 3); // control characters stay as the line had them
        EXPECT_EQ(fcntl(line.fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_DSYNC),
                  O_RDWR | O_NONBLOCK | O_DSYNC);
    }
}

// Failures name the path, or the operation for the modem lines.
TEST(ComOpen, FailuresAreLogged) {
    TempDir dir;
    const std::string file = dir.file("not-a-tty"), missing = dir.file("ttyNone");
    write_file(file, "");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string no_tty = strerror(ENOTTY);
    const std::tuple<std::function<int()>, bool, std::string> rows[] = {
        {[&] { return com_open(file.c_str(), 9600, 8, "N", 1); }, true,
         "tcsetattr(" + file + ") error: " + no_tty},
        {[&] { return com_open(missing.c_str(), 9600, 8, "N", 1); }, false,
         "open(" + missing + ") error: " + strerror(ENOENT)},
        {[&] { return com_set_dtr(pair[0], 1); }, false, "com_set_dtr - TIOCMBIx error: " + no_tty},
        {[&] { return com_set_dtr(pair[0], 0); }, false, "com_set_dtr - TIOCMBIx error: " + no_tty},
        {[&] { return com_set_rts(pair[0], 1); }, false, "com_set_rts - TIOCMBIx error: " + no_tty},
        {[&] { return com_set_rts(pair[0], 0); }, false, "com_set_rts - TIOCMBIx error: " + no_tty},
    };
    for (const auto& [call, opened, message] : rows) {
        LogCapture log;
        const int result = call();
        EXPECT_EQ(result >= 0, opened) << message;
        EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{{LOG_ERR, message}}));
        if (result >= 0)
            close(result);
    }
    close(pair[0]);
    close(pair[1]);
}

TEST(ComChat, AnswerEndsAfterQuietSpellOrFullTimeout) {
    // The device's bursts (delay in ms, bytes), the answer's length and the time it takes (s).
    const std::tuple<const char*, int, Bursts, size_t, double, double> rows[] = {
        {"20 bytes end 200 ms after them", 3, {{100, 20}}, 20, 0.28, 1.5},
        {"silent line", 1, {}, 0, 1.0, 1.6},
        {"last read of 2 bytes waits the time-out", 1, {{100, 20}, {100, 2}}, 22, 1.15, 1.9},
        {"last read of 3 bytes waits 200 ms", 3, {{100, 20}, {100, 3}}, 23, 0.38, 1.5},
        {"a byte every 0.5 s", 2, {{500, 1}, {500, 1}, {500, 1}, {500, 1}}, 4, 3.95, 5.0},
    };
    for (const auto& [what, timeout, bursts, length, min_s, max_s] : rows) {
        SCOPED_TRACE(what);
        Line line;
        ASSERT_GE(line.fd, 0);
        const auto start = Clock::now();
        std::thread device = play(line.master, bursts);
        const std::string answer = com_chat(line.fd, "AT\r", timeout);
        const double elapsed = since(start);
        device.join();
        EXPECT_EQ(answer, pattern(length));
        EXPECT_GE(elapsed, min_s);
        EXPECT_LE(elapsed, max_s);
        EXPECT_EQ(drain(line.master, 500), "AT\r");
    }
    LogCapture log;
    EXPECT_STREQ(com_chat(-1, "ATZ", 1), "");
    EXPECT_EQ(log.count(LOG_ERR, std::string("write (\"ATZ\") error: ") + strerror(EBADF)), 1);
}

TEST(ComChat, LongAnswerKeepsFirst8191AndReadsAtMost65536) {
    // Reading stops once 65536 bytes are counted; the last, dropped read holds up to 128.
    const std::tuple<size_t, size_t, size_t> rows[] = {{10000, 0, 0},
                                                       {70000, 70000 - 65536 - 127, 70000 - 65536}};
    for (const auto& [sent, left_min, left_max] : rows) {
        SCOPED_TRACE(sent);
        Line line;
        ASSERT_GE(line.fd, 0);
        std::thread device = play(line.master, {{0, sent}});
        EXPECT_EQ(com_chat(line.fd, "AT\r", 1), pattern(8191));
        // Drain before joining: the player may still be blocked on a full line.
        const size_t left = drain(line.fd, 300).size();
        device.join();
        EXPECT_GE(left, left_min);
        EXPECT_LE(left, left_max);
    }
}
