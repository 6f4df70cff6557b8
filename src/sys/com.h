// SPDX-License-Identifier: Apache-2.0
#pragma once
// Serial line: lock file, line set-up, modem lines and a write-and-collect exchange.
#include <sys/types.h>
#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>

// The line speeds com_open sets, in bit/s; any other MOD_KOVEX4_BAUDRATE value means 9600.
inline constexpr std::array<uint32_t, 11> COM_SPEEDS = {300,   600,   1200,  2400,   4800,  9600,
                                                        19200, 38400, 57600, 115200, 230400};
inline constexpr uint32_t COM_DEFAULT_SPEED = 9600;
// The speed com_open sets for `baudrate`.
uint32_t com_line_speed(uint32_t baudrate);

// Directory that holds the "LCK..<name>" lock files; "/var/lock" unless a test changes it.
void com_set_lock_dir(const char* dir);

// The lock file of the serial device `path`: "<lock dir>/LCK..<name>", cut to the 63 characters
// the lock functions keep. The name is the last part of the path the device resolves to, so that
// a device reached through a symbolic link (/dev/serial/by-id/...) has the one lock file of its
// kernel name, as other serial programs lock it; a path that cannot be resolved (a device not
// there) or ends in '/' gives the text after its own last '/'. The uncut length is returned, so a
// caller can tell that a folder is too long for it.
inline constexpr size_t COM_LOCK_PATH_MAX = 63;
size_t com_lock_path(const char* path, char (&out)[COM_LOCK_PATH_MAX + 1]);

// Why com_lock did not take a lock.
enum class ComLockRefusal : uint8_t {
    none,
    busy,        // a running process holds it, or it cannot be created or read: waited out
    not_regular, // the lock file is a symbolic link, a FIFO, a folder ...: refused at once
};
// 1 when the lock file was created (or already holds this process's id), 0 when `timeout`
// seconds passed first or the lock file is not a regular file (`why`, when given, says which).
// Lock files are read without following links and without blocking.
int com_lock(const char* path, int timeout, ComLockRefusal* why = nullptr);
// The process id in the lock file of `path` when that process runs, otherwise 0.
int com_lock_owner(const char* path);
// Removes the lock file of `path` whoever owns it: 0, or -1 when it cannot be removed.
int com_unlock(const char* path);
// Removes the lock file `lock_path` (as com_lock_path gives it) when it holds this process's id:
// 0, or -1 when it is not ours or cannot be removed.
int com_release(const char* lock_path);

// The four attribute words com_open applies for these settings.
struct ComLineFlags {
    tcflag_t cflag;
    tcflag_t iflag;
    tcflag_t oflag;
    tcflag_t lflag;
};
ComLineFlags com_line_flags(uint32_t baudrate, int databits, const char* parity, int stopbits);

// Non-blocking serial descriptor, or -1. A line whose settings cannot be applied is logged
// ("tcsetattr(%s) error: %s") and still returned; `setup_error`, when given, is then set to why
// (an errno value), and to 0 when they were applied.
int com_open(const char* path, uint32_t baudrate, int databits, const char* parity, int stopbits,
             int* setup_error = nullptr);
// The same without the "open(%s) error: %s" line (errno says why), for retries that would
// otherwise repeat it every few seconds.
int com_open_quiet(const char* path, uint32_t baudrate, int databits, const char* parity,
                   int stopbits, int* setup_error = nullptr);

// read() and write() on the line, resumed after signals.
ssize_t com_read(int fd, void* buffer, size_t size);
ssize_t com_write(int fd, const void* data, size_t size);

int com_set_dtr(int fd, int on);
int com_set_rts(int fd, int on);

// Writes `text`, collects the answer into a shared 8192-byte buffer and returns it.
const char* com_chat(int fd, const char* text, int timeout);
