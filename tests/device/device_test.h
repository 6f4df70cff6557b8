#pragma once
// Helpers for the field-device tests: hex byte lists, a pty line and a scripted device.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <sstream>
#include <thread>
#include <vector>

#include "devsim.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline Bytes hex(const std::string& text) {
    std::istringstream in(text);
    Bytes out;
    unsigned v;
    while (in >> std::hex >> v) {
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline bool wait_readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// A raw pty pair: the gateway uses fd(), the device side is peer().
struct PtyLine {
    SimPty pty;
    PtyLine() { EXPECT_TRUE(sim_open_pty(pty)); }
    ~PtyLine() { sim_close_pty(pty); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;
    int fd() const { return pty.slave; }
    int peer() const { return pty.master; }
};

// Runs `call` while a scripted device on `peer` reads one request frame and answers with
// `writes`, pausing `gap_ms` between writes. Returns the request bytes as received.
template <class F>
Bytes scripted(int peer, const std::vector<Bytes>& writes, F&& call, int gap_ms = 20) {
    Bytes request;
    std::thread device([&] {
        uint8_t buf[512];
        while (wait_readable(peer, 2000)) {
            ssize_t n = read(peer, buf, sizeof buf);
            if (n > 0) {
                request.insert(request.end(), buf, buf + n);
            }
            if (request.size() >= 5 && (request[2] != 0x41 || request.size() >= request[1] + 5u)) {
                break;
            }
        }
        for (size_t i = 0; i < writes.size(); ++i) {
            if (i > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
            }
            EXPECT_EQ(write(peer, writes[i].data(), writes[i].size()),
                      static_cast<ssize_t>(writes[i].size()));
        }
    });
    call();
    device.join();
    return request;
}
