// SPDX-License-Identifier: Apache-2.0
#pragma once
// Measuring helpers of the benchmark: a Modbus TCP client exchange, sample statistics, process
// figures from /proc, the two floor peers (raw TCP and raw pseudo-terminal) and a serial line
// paced like a real one in both directions.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "support.h"

// Reads exactly `n` bytes (poll + read), false on end of stream, error or time-out.
bool read_exact(int fd, uint8_t* out, size_t n, int timeout_ms = 5000);
// Writes all `n` bytes, waiting while the descriptor is full; false on error.
bool write_all(int fd, const uint8_t* p, size_t n);
// One request/answer: sends `request`, reads reply.size() bytes into `reply`.
bool exchange(int fd, const Bytes& request, Bytes& reply);

struct Summary {
    double median_us = 0;
    double p99_us = 0;
    size_t n = 0;
};
Summary summarise(std::vector<int64_t> samples_ns);

// What /proc tells about a running process.
struct ProcFigures {
    uint64_t cpu_ticks = 0; // utime + stime, in clock ticks
    uint64_t run_ns = 0;    // time on a CPU (schedstat), nanoseconds
    long rss_kb = 0;        // VmRSS
    long hwm_kb = 0;        // VmHWM, the peak of VmRSS
};
bool proc_figures(pid_t pid, ProcFigures& out);
long clock_ticks_per_second();

// One field-device exchange as it appears on the line.
struct SerialExchange {
    Bytes request;
    Bytes reply;
};

// The raw TCP floor: a loopback server thread that answers every `request_size` bytes with
// `reply`, using the same poll/recv/send calls as the daemon.
class TcpFloor {
public:
    TcpFloor(size_t request_size, Bytes reply);
    ~TcpFloor();
    TcpFloor(const TcpFloor&) = delete;
    TcpFloor& operator=(const TcpFloor&) = delete;
    int client() const { return client_fd_; }
    // Ends the connection and returns the server thread's CPU time per answer, nanoseconds.
    double finish();

private:
    void run(size_t request_size, const Bytes& reply);
    int listen_fd_ = -1;
    int client_fd_ = -1;
    Bytes reply_;
    std::thread thread_;
    uint64_t answers_ = 0;
    uint64_t cpu_ns_ = 0;
};

// CPU time of the calling thread, nanoseconds.
uint64_t thread_cpu_ns();

// The raw pseudo-terminal floor: a thread on the master answers the exchanges of `cycle` in turn
// with their reply bytes; the caller plays the daemon on the slave with write, poll and read.
// With `device`, the simulator itself answers instead (the device's own share of the time).
class PtyFloor {
public:
    explicit PtyFloor(std::vector<SerialExchange> cycle, const DevSim* device = nullptr);
    ~PtyFloor();
    PtyFloor(const PtyFloor&) = delete;
    PtyFloor& operator=(const PtyFloor&) = delete;
    // All exchanges of the cycle, one after the other; false when one fails.
    bool run_cycle(Bytes& scratch);

private:
    void serve();
    std::vector<SerialExchange> cycle_;
    Pty pty_;
    std::unique_ptr<DevSimServer> device_;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

// A simulated field device behind a line of `baud` bit/s, 10 bits a byte, in both directions: a
// request counts as received when its last byte would have arrived, and each reply byte is
// handed to the line only when it would have been completely sent. The device's answers come
// from the simulator's own request handling (devsim_feed).
class PacedLine {
public:
    PacedLine(unsigned baud, std::unique_ptr<DevSim> device);
    ~PacedLine();
    PacedLine(const PacedLine&) = delete;
    PacedLine& operator=(const PacedLine&) = delete;
    // The slave's path, e.g. "/dev/pts/7".
    const std::string& path() const { return pty_.slave_path; }
    // The line's own end of the slave, for exchanges without the gateway.
    int slave() const { return pty_.slave; }
    int64_t byte_ns(size_t bytes) const;

private:
    void serve();
    bool sleep_until(int64_t deadline_ns);
    unsigned baud_;
    std::unique_ptr<DevSim> device_;
    Pty pty_;
    std::atomic<bool> stop_{false};
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};
