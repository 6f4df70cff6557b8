// SPDX-License-Identifier: Apache-2.0
// Serial side of the I/O library: lock files in a temporary folder, lines on real ptys.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
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

// Points the lock files at a fresh folder while it lives.
struct LockDir {
    TempDir dir;
    LockDir() { com_set_lock_dir(dir.path().c_str()); }
    ~LockDir() { com_set_lock_dir("/var/lock"); }
    std::string lock(const std::string& name) const { return dir.file("LCK.." + name); }
};

// A pty whose slave is opened with com_open, as the service opens its line.
struct Line : Pty {
    int fd;
    explicit Line(uint32_t baud = 9600, const char* parity = "N", int stop = 1)
        : fd(com_open(slave_path.c_str(), baud, 8, parity, stop)) {}
    ~Line() { close(fd); }
};

} // namespace

// The lock is named after the device a path resolves to: through symbolic links (a by-id name)
// the kernel's name; a path that resolves to nothing keeps its own last part.
TEST(ComLock, CreatesLockOfResolvedNameHoldingPaddedPid) {
    LockDir d;
    const std::string long_name(60, 'x');
    write_file(d.dir.file("ttyREAL"), "");
    mkdir(d.dir.file("by-id").c_str(), 0755);
    ASSERT_EQ(symlink("../ttyREAL", d.dir.file("by-id/usb-x-port0").c_str()), 0);
    const std::pair<std::string, std::string> rows[] = {
        {"/dev/ttyKOVEX4NONE", d.lock("ttyKOVEX4NONE")},
        {"ttyUSB0", d.lock("ttyUSB0")},
        {"/dev/", d.lock("")},
        {"/dev/" + long_name, d.lock(long_name).substr(0, 63)},
        {d.dir.file("by-id/usb-x-port0"), d.lock("ttyREAL")},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto& [device, lock] : rows) {
        SCOPED_TRACE(device);
        EXPECT_EQ(com_lock(device.c_str(), 1), 1);
        EXPECT_EQ(read_file(lock), pid_text(getpid()));
        EXPECT_EQ(com_lock_owner(lock.substr(lock.rfind("LCK..") + 5).c_str()), getpid());
        struct stat st {};
        EXPECT_EQ(stat(lock.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
    }
}

// A lock of a vanished process is taken over in the same call, and one holding this process's
// own id is already ours (a line being reopened; waiting would time out and fail);
// com_lock_owner names only live owners. com_unlock removes any lock, and fails without one.
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
        EXPECT_EQ(com_lock("/dev/ttyS1", 0), 1); // taken over at once, even with no time to wait
        EXPECT_EQ(read_file(d.lock("ttyS1")), pid_text(getpid()));
    }
    EXPECT_EQ(com_lock("/dev/ttyS1", 1), 1);
    EXPECT_EQ(com_lock_owner("/dev/ttyS1"), getpid());
    write_file(d.lock("ttyS1"), pid_text(1));
    EXPECT_EQ(com_lock_owner("/dev/ttyS1"), 1);
    EXPECT_EQ(com_unlock("/dev/ttyS1"), 0);
    EXPECT_NE(access(d.lock("ttyS1").c_str(), F_OK), 0);
    EXPECT_EQ(com_unlock("/dev/ttyS1"), -1);
    EXPECT_TRUE(log.lines().empty());
}

// A live owner, a lock without a process id and a missing lock directory are all waited out for
// the whole time-out of 1 s, and so is a live owner while the thread gets a signal every 50 ms.
TEST(ComLock, BusyUnreadableOrNoDirectoryWaitsTheWholeTimeout) {
    const std::pair<const char*, std::string> rows[] = {
        {"ttyLive", pid_text(getppid())},
        {"ttyEmpty", ""},
        {"ttyText", "owner\n"},
        {"ttyNegative", "        -1\n"},
        {"ttySignals", pid_text(getppid())},
        {"ttyNoDir", ""},
    };
    std::vector<std::pair<int, double>> outcomes(std::size(rows));
    auto attempt = [&](size_t i) {
        std::optional<SignalStorm> storm;
        if (rows[i].first == std::string("ttySignals"))
            storm.emplace();
        const int64_t start = now_ns();
        outcomes[i] = {com_lock(rows[i].first, 1), seconds_since(start)};
    };
    LockDir d;
    std::vector<std::thread> threads; // the rows in the lock folder wait side by side
    for (size_t i = 0; i + 1 < std::size(rows); ++i) {
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
        EXPECT_LT(outcomes[i].second, 3.0);
    }
    EXPECT_GT(SignalStorm::handled(), 0u);
}

// Whoever may write to the lock folder can put something else than a regular file under a
// device's lock name: a FIFO (which a plain open would wait on for ever), a symbolic link (to a
// file holding this process's id, or to nothing) or a folder. None is a lock that can be taken,
// none is waited out, and each is left as it was.
TEST(ComLock, AnythingButARegularFileIsRefusedAtOnce) {
    LockDir d;
    write_file(d.dir.file("ours"), pid_text(getpid()));
    ASSERT_EQ(mkfifo(d.lock("ttyFifo").c_str(), 0666), 0);
    ASSERT_EQ(symlink(d.dir.file("ours").c_str(), d.lock("ttyLink").c_str()), 0);
    ASSERT_EQ(symlink(d.dir.file("none").c_str(), d.lock("ttyDangling").c_str()), 0);
    ASSERT_EQ(mkdir(d.lock("ttyFolder").c_str(), 0755), 0);
    for (const char* device : {"ttyFifo", "ttyLink", "ttyDangling", "ttyFolder"}) {
        SCOPED_TRACE(device);
        ComLockRefusal why = ComLockRefusal::none;
        EXPECT_EQ(com_lock(device, 5, &why), 0);
        EXPECT_EQ(why, ComLockRefusal::not_regular); // at once, not after the time-out
        EXPECT_EQ(com_lock_owner(device), 0);
        struct stat st {};
        EXPECT_EQ(lstat(d.lock(device).c_str(), &st), 0);
        EXPECT_FALSE(S_ISREG(st.st_mode));
    }
    EXPECT_EQ(read_file(d.dir.file("ours")), pid_text(getpid()));
}

// The speed code, CS7 (CS8 otherwise), CSTOPB for 2 stop bits, parity from the first letter
// ("O", "E", upper case only); an unknown rate runs at 9600. Input is raw.
TEST(ComLineFlags, SpeedSizeStopBitsAndParity) {
    const tcflag_t base = CREAD | HUPCL | CLOCAL;
    const std::tuple<uint32_t, int, const char*, int, tcflag_t> rows[] = {
        {115200, 7, "Odd", 2, B115200 | CS7 | CSTOPB | PARENB | PARODD},
        {300, 8, "Even", 1, B300 | CS8 | PARENB},
        {230400, 8, "N", 1, B230400 | CS8},
        {9600, 8, "e", 3, B9600 | CS8},
        {12345, 5, nullptr, 1, B9600 | CS8},
        {0, 0, "", 0, B9600 | CS8},
    };
    for (const auto& [baud, databits, parity, stopbits, cflag] : rows) {
        const ComLineFlags f = com_line_flags(baud, databits, parity, stopbits);
        EXPECT_EQ(f.cflag, cflag | base) << baud;
        EXPECT_EQ(f.iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
        EXPECT_EQ(f.oflag | f.lflag, 0u);
    }
}

// A pty keeps speed, stop bits, odd parity and the raw flags but forces 8 data bits and clears
// parity enable, so only what it keeps is read back.
TEST(ComOpen, PtyRunsAtTheSpeedBothWaysInRawMode) {
    Line line(115200, "O", 2);
    ASSERT_GE(line.fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(line.fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u); // input follows the output speed
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CREAD | HUPCL | CLOCAL),
              static_cast<tcflag_t>(CSTOPB | PARODD | CREAD | HUPCL | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag | t.c_lflag, 0u);
    EXPECT_EQ(fcntl(line.fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_DSYNC),
              O_RDWR | O_NONBLOCK | O_DSYNC);
}

// Failures name the path, or the operation for the modem lines; com_open_quiet says nothing.
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
        {[&] { return com_open_quiet(missing.c_str(), 9600, 8, "N", 1); }, false, ""},
        {[&] { return com_set_dtr(pair[0], 1); }, false, "com_set_dtr - TIOCMBIx error: " + no_tty},
        {[&] { return com_set_rts(pair[0], 0); }, false, "com_set_rts - TIOCMBIx error: " + no_tty},
    };
    for (const auto& [call, opened, message] : rows) {
        LogCapture log;
        const int result = call();
        EXPECT_EQ(result >= 0, opened) << message;
        std::vector<std::pair<int, std::string>> expected;
        if (!message.empty())
            expected.emplace_back(LOG_ERR, message);
        EXPECT_EQ(log.lines(), expected);
        if (result >= 0)
            close(result);
    }
    close(pair[0]);
    close(pair[1]);
}

// A read of more than 2 bytes ends the answer after a quiet spell of 200 ms; a shorter one may
// be the start of a slow answer and waits the whole time-out again. Signals every 50 ms change
// nothing. Rows: the device's writes after their delays (ms), the time-out, the least time the
// answer takes, and whether it comes seconds before the time-out.
TEST(ComChat, AnswerEndsAfterQuietSpellOrFullTimeout) {
    using Writes = std::vector<std::pair<int, std::string>>;
    const std::tuple<Writes, int, double, bool> rows[] = {
        {{{100, "OK, 20 bytes of text"}}, 5, 0.28, true},
        {{}, 1, 1.0, false},
        {{{100, "20 bytes"}, {100, "ab"}}, 1, 1.15, false},
        {{{100, "20 bytes"}, {100, "abc"}}, 5, 0.38, true},
        {{{500, "a"}, {500, "b"}, {500, "c"}, {500, "d"}}, 2, 3.95, false},
    };
    for (bool signals : {false, true}) {
        for (const auto& [writes, timeout, least_s, fast] : rows) {
            std::string expected;
            for (const auto& write : writes)
                expected += write.second;
            SCOPED_TRACE(expected + (signals ? " with signals" : ""));
            Line line;
            std::thread device([&line, &writes = writes] {
                for (const auto& [delay_ms, text] : writes) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
                    EXPECT_EQ(write(line.master, text.data(), text.size()), ssize_t(text.size()));
                }
            });
            std::optional<SignalStorm> storm;
            if (signals)
                storm.emplace();
            const int64_t start = now_ns();
            const std::string answer = com_chat(line.fd, "AT\r", timeout);
            const double elapsed = seconds_since(start);
            storm.reset();
            device.join();
            EXPECT_EQ(answer, expected);
            EXPECT_GE(elapsed, least_s);
            EXPECT_TRUE(!fast || elapsed < timeout - 2.0) << elapsed;
            char sent[8] = {};
            EXPECT_EQ(read(line.master, sent, sizeof sent), 3);
            EXPECT_STREQ(sent, "AT\r");
        }
    }
    LogCapture log;
    EXPECT_STREQ(com_chat(-1, "ATZ", 1), "");
    EXPECT_EQ(log.count(LOG_ERR, std::string("write (\"ATZ\") error: ") + strerror(EBADF)), 1);
}
