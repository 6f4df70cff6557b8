// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared test helpers, used by the unit, end-to-end and soak tests and by the benchmarks: bytes
// in hex, Modbus TCP frames, the clock, a pseudo-terminal, signals during a call, captured log
// lines, temporary folders and small file helpers.
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devsim.h"

using Bytes = std::vector<uint8_t>;

// The bytes written in hex, separated by white space: "02 0A FF".
Bytes hex(const std::string& text);

// A Modbus TCP frame: the header (transaction id, protocol id, `length`) and `body` (unit id,
// function code, data). `length` is body.size() unless a test wants a frame that lies about it.
Bytes mbap_wire(uint16_t tid, uint16_t pid, uint16_t length, const Bytes& body);
// Function 3 and function 16 requests of unit 1, protocol id 0.
Bytes read_request(uint16_t tid, uint16_t start, uint16_t quantity);
Bytes write_request(uint16_t tid, uint16_t start, const std::vector<uint16_t>& values);
// `count` function 3 requests in a row: the k-th (from 0) with transaction id k, from register
// start + k * step, `quantity` registers each.
Bytes read_requests(uint16_t count, uint16_t start, uint16_t quantity, uint16_t step = 0);

// The monotonic clock in nanoseconds, and the seconds passed since such a reading.
int64_t now_ns();
double seconds_since(int64_t start_ns);

// Checks `condition` every 10 ms until it holds (true) or `timeout_ms` have passed (false).
template <class F> bool eventually(F&& condition, int timeout_ms) {
    const int64_t start = now_ns();
    while (!condition()) {
        if (seconds_since(start) * 1000 >= timeout_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// True when `fd` becomes readable within `timeout_ms`.
bool wait_readable(int fd, int timeout_ms);
// The local port of a bound socket.
uint16_t bound_port(int fd);
// Reads and drops what `fd` receives until nothing more comes within `timeout_ms`. The last
// result of recv: 0 once the peer has closed the connection, -1 after a reset, positive (or 1
// when nothing came) while it is still open.
ssize_t drain(int fd, int timeout_ms);

// A pseudo-terminal pair in raw mode, closed at destruction; throws when none can be opened.
struct Pty : SimPty {
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// While it lives, the thread that made it gets SIGUSR1 every `period_ms`, handled by a handler
// installed without SA_RESTART: every blocking call of that thread may fail with EINTR.
class SignalStorm {
public:
    explicit SignalStorm(int period_ms = 50);
    ~SignalStorm();
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;
    // Signals handled so far, in any storm.
    static unsigned handled();

private:
    pthread_t target_;
    std::atomic<bool> stop_{false};
    std::thread sender_;
};

// Captures everything logged through log_msg while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::pair<int, std::string>> lines() const;
    // Number of lines with this priority and exactly this text.
    int count(int priority, const std::string& text) const;
    void clear();
};

// A bound datagram socket at `address` (a path, or "@name" for the abstract namespace) that
// stands in for the service manager of NOTIFY_SOCKET; keeps every message received.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& address);
    ~NotifyListener();
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;
    // Every message received so far, and how many of them are `text`.
    const std::vector<std::string>& messages();
    int count(const std::string& text);
    // The messages received since the last take().
    std::vector<std::string> take();

private:
    int fd_;
    std::vector<std::string> messages_;
    size_t taken_ = 0;
};

// A fresh folder under $TMPDIR (or /tmp), removed with its content at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
// A process id as lock files hold it: right-aligned in ten characters, then a newline.
std::string pid_text(long pid);
void write_file(const std::string& path, const std::string& content);
