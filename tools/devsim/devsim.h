// SPDX-License-Identifier: Apache-2.0
#pragma once
// A simulated field device: an item store, a 10-byte block and a flag behind the device's
// serial protocol, with fault injection. Used by the kovex4-devsim program and by the tests.
#include <termios.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class SimFault : uint8_t {
    none,
    silent,       // no reply; the request is not applied
    nak,          // NAK reply; the request is not applied
    bad_checksum, // the reply's long frame carries a wrong checksum; not applied
    garbage,      // random non-STX bytes before the correct reply
    split,        // the correct reply in several writes with short pauses
    late,         // the correct reply after late_ms (past the 3 s budget); applied
    wrong_count,  // a data reply whose item count differs; not applied
};

const char* sim_fault_name(SimFault fault);

// One well-formed request as received (checksum and length valid).
struct SimRequest {
    uint8_t station;
    uint8_t command;
    std::vector<uint8_t> data;
};

struct DevSim {
    std::array<std::array<uint16_t, 256>, 256> items{}; // [type letter][item number]
    std::array<uint8_t, 10> block{};                    // as read by command 0x20
    uint8_t flag = 0;

    std::vector<SimRequest> requests; // every well-formed request, in order
    std::deque<SimFault> next_faults; // consumed one per request before fault_percent applies
    unsigned fault_percent = 0;       // share of requests that get a random fault
    uint32_t seed = 1;                // for random faults and garbage
    unsigned late_ms = 3500;
    unsigned baud = 0; // 0: answer at once; otherwise pace output at 10 bits per byte
    // With `baud` on a tty whose speed can be read (a pty master reads its slave's): requests
    // that come in while the line runs at another speed are not understood, as a real device
    // at `baud` hears only garbage then. A pseudo-terminal itself passes bytes at any speed.
    bool strict_baud = false;
    int16_t station = -1; // -1: answer every station; otherwise only requests to this one
    uint64_t faults_injected = 0;
    bool keep_requests = true; // false: `requests` stays empty (long-running program)
    FILE* trace = nullptr;     // when set, each request, fault and reply is printed in hex

    std::vector<uint8_t> pending; // request bytes not yet forming a whole frame
};

// What to write back for one request: the reply bytes, split into the writes to make, and the
// delay before the first write.
struct SimReply {
    std::vector<std::vector<uint8_t>> writes;
    unsigned delay_ms = 0;
    unsigned gap_ms = 0; // pause between two writes
};

// Consumes request bytes; applies each complete well-formed request to the store and appends
// its reply plan to `out`. Malformed frames are skipped.
void devsim_feed(DevSim& sim, const uint8_t* data, size_t n, std::vector<SimReply>& out);

// Reply plans for a known request, without a fault. Exposed for tests and tracing.
void sim_frame_short(uint8_t station, uint8_t code, std::vector<uint8_t>& out);
void sim_frame_long(uint8_t station, uint8_t command, const uint8_t* data, size_t n,
                    std::vector<uint8_t>& out);

// Serves `fd` from a background thread until destroyed. Does not close `fd`. Replies are
// written outside the lock, honouring delay, gaps and baud pacing; the thread ends early when
// `fd` reports end of input.
class DevSimServer {
public:
    explicit DevSimServer(int fd);
    ~DevSimServer();
    DevSimServer(const DevSimServer&) = delete;
    DevSimServer& operator=(const DevSimServer&) = delete;

    // Runs `f` on the simulator state under its lock.
    template <class F> auto with(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(sim_);
    }

private:
    void run();
    int fd_;
    int stop_pipe_[2];
    std::mutex mutex_;
    DevSim sim_;
    std::thread thread_;
};

// A pseudo-terminal pair in raw mode. `slave_path` is e.g. "/dev/pts/3".
struct SimPty {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};
bool sim_open_pty(SimPty& pty);
void sim_close_pty(SimPty& pty);
// The speed code of a standard line speed (300 ... 230400 bit/s), B0 for any other.
speed_t sim_speed_code(unsigned baud);
