// SPDX-License-Identifier: Apache-2.0
#include "sys/com.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "sys/deadline.h"
#include "sys/log.h"

namespace {

// Lock files follow the ASCII convention for serial devices: "LCK..<name>" holding the owner's
// process id.
char g_lock_dir[COM_LOCK_PATH_MAX + 1] = "/var/lock";

// The text after the last '/', empty when the path ends in '/'.
const char* final_component(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// Returned by read_lock_pid for a lock file that is not a regular file.
constexpr int NOT_REGULAR = -1;

// The first decimal integer of the lock file, leading white space skipped; 0 when there is none
// or the file cannot be read; NOT_REGULAR when it is a symbolic link, a FIFO, a folder or
// anything else but a regular file. Anyone who may write to the lock folder can put such a thing
// there: it is opened without following a link and without blocking (a FIFO would otherwise hold
// the caller until someone writes to it), and judged by what was opened. A value beyond int is
// clamped, a negative one is 0 (no process has such an id).
int read_lock_pid(const char* lock_path) {
    struct stat st {};
    if (lstat(lock_path, &st) != 0)
        return 0;
    if (!S_ISREG(st.st_mode))
        return NOT_REGULAR;
    const int fd = open(lock_path, O_RDONLY | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP || errno == ENXIO ? NOT_REGULAR : 0; // replaced since lstat
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return NOT_REGULAR;
    }
    char text[64];
    const ssize_t n = read(fd, text, sizeof text);
    close(fd);
    if (n <= 0)
        return 0;

    ssize_t i = 0;
    while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            value = INT_MAX;
    }
    return negative ? 0 : static_cast<int>(value); // no process has a negative id
}

// Speed codes of the line, as the Linux c_cflag carries them, row for row with COM_SPEEDS.
struct SpeedRow {
    uint32_t baudrate;
    tcflag_t code;
};
constexpr SpeedRow kSpeeds[] = {
    {300, B300},     {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},   {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};
constexpr bool speeds_match() {
    if (std::size(kSpeeds) != COM_SPEEDS.size())
        return false;
    for (size_t i = 0; i < COM_SPEEDS.size(); ++i)
        if (kSpeeds[i].baudrate != COM_SPEEDS[i])
            return false;
    return true;
}
static_assert(speeds_match(), "a speed code for every supported speed");

const SpeedRow& speed_row(uint32_t baudrate) {
    const auto* row =
        std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                     [baudrate](const SpeedRow& r) { return r.baudrate == baudrate; });
    if (row != std::end(kSpeeds))
        return *row;
    return speed_row(COM_DEFAULT_SPEED);
}

int set_modem_lines(int fd, int on, int bits, const char* name) {
    const int result = ioctl(fd, on != 0 ? TIOCMBIS : TIOCMBIC, &bits);
    if (result != 0)
        log_msg(LOG_ERR, "%s - TIOCMBIx error: %s", name, strerror(errno));
    return result;
}

// Waits until fd is readable; false on time-out or failure.
bool wait_readable(int fd, int64_t wait_us) {
    return wait_fd(fd, WaitFor::read, wait_clock_us() + wait_us) > 0;
}

constexpr size_t kAnswerSize = 8192;
constexpr size_t kMaxChatRead = 65536;
char g_answer[kAnswerSize];

} // namespace

uint32_t com_line_speed(uint32_t baudrate) {
    return speed_row(baudrate).baudrate;
}

size_t com_lock_path(const char* path, char (&out)[COM_LOCK_PATH_MAX + 1]) {
    char resolved[PATH_MAX];
    const char* name = final_component(path);
    if (*name != '\0' && realpath(path, resolved) != nullptr)
        name = final_component(resolved);
    const char* const parts[] = {g_lock_dir, "/LCK..", name};
    size_t length = 0;
    for (const char* part : parts)
        for (; *part != '\0'; ++part, ++length)
            if (length < COM_LOCK_PATH_MAX)
                out[length] = *part;
    out[length < COM_LOCK_PATH_MAX ? length : COM_LOCK_PATH_MAX] = '\0';
    return length;
}

ssize_t com_read(int fd, void* buffer, size_t size) {
    return retry_after_signal([&] { return read(fd, buffer, size); });
}

ssize_t com_write(int fd, const void* data, size_t size) {
    return retry_after_signal([&] { return write(fd, data, size); });
}

void com_set_lock_dir(const char* dir) {
    snprintf(g_lock_dir, sizeof g_lock_dir, "%s", dir == nullptr ? "/var/lock" : dir);
}

int com_lock(const char* path, int timeout, ComLockRefusal* why) {
    char lock_path[COM_LOCK_PATH_MAX + 1];
    com_lock_path(path, lock_path);
    const int64_t deadline = wait_clock_us() + int64_t{timeout} * 1000000;
    if (why != nullptr)
        *why = ComLockRefusal::none;
    for (;;) {
        const int fd = open(lock_path, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            char pid[16];
            const int len = snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
            const ssize_t written = com_write(fd, pid, static_cast<size_t>(len));
            (void)written;
            close(fd);
            return 1;
        }
        // Whatever stopped the create, a lock whose owner is gone is removed and retried at
        // once; anything else (a live owner, an unreadable file, no directory) is waited out.
        // A lock holding this process's own id is already ours (a line being reopened).
        // Something that is not a regular file does not go away by waiting.
        const int owner = read_lock_pid(lock_path);
        if (owner == static_cast<int>(getpid()))
            return 1;
        if (owner == NOT_REGULAR) {
            if (why != nullptr)
                *why = ComLockRefusal::not_regular;
            return 0;
        }
        if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH && unlink(lock_path) == 0)
            continue;
        wait_until(wait_clock_us() + 100000);
        if (wait_clock_us() > deadline) {
            if (why != nullptr)
                *why = ComLockRefusal::busy;
            return 0;
        }
    }
}

int com_lock_owner(const char* path) {
    char lock_path[COM_LOCK_PATH_MAX + 1];
    com_lock_path(path, lock_path);
    const int owner = read_lock_pid(lock_path);
    return owner > 0 && (kill(owner, 0) == 0 || errno != ESRCH) ? owner : 0;
}

int com_unlock(const char* path) {
    char lock_path[COM_LOCK_PATH_MAX + 1];
    com_lock_path(path, lock_path);
    return unlink(lock_path);
}

int com_release(const char* lock_path) {
    return read_lock_pid(lock_path) == static_cast<int>(getpid()) ? unlink(lock_path) : -1;
}

ComLineFlags com_line_flags(uint32_t baudrate, int databits, const char* parity, int stopbits) {
    tcflag_t cflag = speed_row(baudrate).code | CREAD | HUPCL | CLOCAL;
    cflag |= databits == 7 ? CS7 : CS8;
    if (stopbits == 2)
        cflag |= CSTOPB;
    const char first = parity == nullptr ? '\0' : parity[0];
    if (first == 'O')
        cflag |= PARENB | PARODD;
    else if (first == 'E')
        cflag |= PARENB;
    return ComLineFlags{cflag, IGNBRK | IGNPAR, 0, 0};
}

int com_open_quiet(const char* path, uint32_t baudrate, int databits, const char* parity,
                   int stopbits, int* setup_error) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_DSYNC);
    if (fd < 0)
        return -1;
    termios attributes{};
    (void)tcgetattr(fd, &attributes);
    const ComLineFlags flags = com_line_flags(baudrate, databits, parity, stopbits);
    attributes.c_cflag = flags.cflag;
    attributes.c_iflag = flags.iflag;
    attributes.c_oflag = flags.oflag;
    attributes.c_lflag = flags.lflag;
    // The speed is already in c_cflag; setting it through both speed functions as well keeps the
    // C library's own speed fields in step, so input and output run at the same rate.
    const speed_t speed = flags.cflag & CBAUD;
    cfsetospeed(&attributes, speed);
    cfsetispeed(&attributes, speed);
    const int failed = tcsetattr(fd, TCSANOW, &attributes) != 0 ? errno : 0;
    if (failed != 0)
        log_msg(LOG_ERR, "tcsetattr(%s) error: %s", path, strerror(failed));
    if (setup_error != nullptr)
        *setup_error = failed;
    return fd;
}

int com_open(const char* path, uint32_t baudrate, int databits, const char* parity, int stopbits,
             int* setup_error) {
    const int fd = com_open_quiet(path, baudrate, databits, parity, stopbits, setup_error);
    if (fd < 0)
        log_msg(LOG_ERR, "open(%s) error: %s", path, strerror(errno));
    return fd;
}

int com_set_dtr(int fd, int on) {
    return set_modem_lines(fd, on, TIOCM_DTR, "com_set_dtr");
}

int com_set_rts(int fd, int on) {
    return set_modem_lines(fd, on, TIOCM_RTS, "com_set_rts");
}

const char* com_chat(int fd, const char* text, int timeout) {
    const size_t length = strlen(text);
    if (com_write(fd, text, length) != static_cast<ssize_t>(length))
        log_msg(LOG_ERR, "write (\"%s\") error: %s", text, strerror(errno));

    memset(g_answer, 0, sizeof g_answer);
    size_t received = 0;
    const int64_t timeout_us = int64_t{timeout} * 1000000;
    bool readable = wait_readable(fd, timeout_us);
    while (readable) {
        ssize_t got;
        if (received < kAnswerSize - 1) {
            got = com_read(fd, g_answer + received, kAnswerSize - 1 - received);
        } else {
            char scratch[128];
            got = com_read(fd, scratch, sizeof scratch);
        }
        if (got <= 0)
            break;
        received += static_cast<size_t>(got);
        if (received >= kMaxChatRead)
            break;
        // A read of a few bytes may be the start of a slow answer, so the full time-out applies
        // again; after a larger chunk a quiet spell of 200 ms ends the answer.
        readable = wait_readable(fd, got > 2 ? 200000 : timeout_us);
    }
    return g_answer;
}
