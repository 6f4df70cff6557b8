// SPDX-License-Identifier: Apache-2.0
// The simulated field device: request parsing, the item store, reply plans with injected faults,
// a serving thread and pseudo-terminal set-up.
#include "devsim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t DATA_FOLLOWS = 0x21;
constexpr uint8_t CLASS_SHORT = 0x40;
constexpr uint8_t CLASS_LONG = 0x41;
constexpr uint8_t TYPE_I = 'i';
constexpr uint8_t TYPE_A = 'a';
constexpr unsigned SPLIT_GAP_MS = 20;

uint32_t sim_rand(DevSim& sim) {
    uint32_t x = sim.seed != 0 ? sim.seed : 0x9E3779B9u; // xorshift32 never leaves 0
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    sim.seed = x;
    return x;
}

SimFault pick_fault(DevSim& sim) {
    if (!sim.next_faults.empty()) {
        SimFault f = sim.next_faults.front();
        sim.next_faults.pop_front();
        return f;
    }
    if (sim.fault_percent > 0 && sim_rand(sim) % 100 < sim.fault_percent) {
        return static_cast<SimFault>(1 +
                                     sim_rand(sim) % static_cast<uint32_t>(SimFault::wrong_count));
    }
    return SimFault::none;
}

void trace_bytes(FILE* trace, const char* what, const uint8_t* p, size_t n) {
    std::fprintf(trace, "%s", what);
    for (size_t i = 0; i < n; ++i) {
        std::fprintf(trace, " %02X", p[i]);
    }
    std::fprintf(trace, "\n");
}

// Length of the well-formed request frame at `p` (n bytes available from there), 0 when the
// frame is not complete yet, -1 when it cannot be a request.
long request_frame_at(const uint8_t* p, size_t n) {
    if (n < 3) {
        return 0;
    }
    size_t len = p[1];
    if (len < 3 || p[2] != CLASS_LONG) {
        return -1;
    }
    size_t total = len + 5;
    if (n < total) {
        return 0;
    }
    uint16_t sum = 0;
    for (size_t i = 2; i < len + 2; ++i) {
        sum = static_cast<uint16_t>(sum + p[i]);
    }
    if (p[len + 2] != ETX || p[len + 3] != (sum & 0xFF) || p[len + 4] != (sum >> 8)) {
        return -1;
    }
    return static_cast<long>(total);
}

// The data reply to a read: the 0x21 short frame followed by the long frame.
void data_reply(uint8_t station, uint8_t command, const uint8_t* data, size_t n,
                std::vector<uint8_t>& out) {
    sim_frame_short(station, DATA_FOLLOWS, out);
    sim_frame_long(station, command, data, n, out);
}

bool is_data_reply(const std::vector<uint8_t>& reply) {
    return reply.size() > 10 && reply[4] == DATA_FOLLOWS;
}

// Executes one request against the store (only when `apply`) and builds the correct reply.
// Returns false when the request is refused (NAK), whatever `apply` says.
bool execute(DevSim& sim, const SimRequest& req, bool apply, std::vector<uint8_t>& reply) {
    const std::vector<uint8_t>& d = req.data;
    const size_t n = d.size();
    switch (req.command) {
    case 0x00: { // read items: count, then type, number, 0 per item
        if (n < 1 || n != 1 + 3 * size_t{d[0]}) {
            break;
        }
        uint8_t values[256];
        size_t k = 0;
        values[k++] = d[0];
        for (size_t i = 1; i < n; i += 3) {
            uint16_t v = sim.items[d[i]][d[i + 1]];
            values[k++] = static_cast<uint8_t>(v & 0xFF);
            if (d[i] == TYPE_I || d[i] == TYPE_A) {
                values[k++] = static_cast<uint8_t>(v >> 8);
            }
        }
        data_reply(req.station, req.command, values, k, reply);
        return true;
    }
    case 0x01: { // write items: count, then type, number, 0, low byte (and high byte for 'i')
        if (n < 1) {
            break;
        }
        size_t pos = 1;
        size_t count = 0;
        while (pos < n) {
            pos += d[pos] == TYPE_I ? 5 : 4;
            ++count;
        }
        if (pos != n || count != d[0]) {
            break;
        }
        for (size_t p = 1; apply && p < n; p += d[p] == TYPE_I ? 5 : 4) {
            uint16_t v = d[p + 3];
            if (d[p] == TYPE_I) {
                v = static_cast<uint16_t>(v | (d[p + 4] << 8));
            }
            sim.items[d[p]][d[p + 1]] = v;
        }
        sim_frame_short(req.station, ACK, reply);
        return true;
    }
    case 0x10: // write flag
        if (n != 1) {
            break;
        }
        if (apply) {
            sim.flag = d[0];
        }
        sim_frame_short(req.station, ACK, reply);
        return true;
    case 0x20: // read block
        if (n != 0) {
            break;
        }
        data_reply(req.station, req.command, sim.block.data(), sim.block.size(), reply);
        return true;
    case 0x21: // write block: word, byte[1..5], byte[8]; byte[6] and byte[7] stay
        if (n != 8) {
            break;
        }
        if (apply) {
            std::copy(d.begin(), d.begin() + 7, sim.block.begin());
            sim.block[9] = d[7];
        }
        sim_frame_short(req.station, ACK, reply);
        return true;
    default:
        break;
    }
    sim_frame_short(req.station, NAK, reply);
    return false;
}

// The reply that `fault` makes of the correct one; false when the request must not be applied.
bool plan_fault(DevSim& sim, const SimRequest& req, SimFault fault, SimReply& plan) {
    std::vector<uint8_t> reply;
    const bool applied = fault == SimFault::none || fault == SimFault::garbage ||
                         fault == SimFault::split || fault == SimFault::late;
    execute(sim, req, applied, reply);
    switch (fault) {
    case SimFault::none:
        break;
    case SimFault::silent:
        return false;
    case SimFault::nak:
        reply.clear();
        sim_frame_short(req.station, NAK, reply);
        break;
    case SimFault::bad_checksum:
        if (is_data_reply(reply)) {
            reply[reply.size() - 2] ^= 0xFF; // low checksum byte of the long frame
        } else {
            reply[1] = static_cast<uint8_t>(reply[1] + 1); // a short frame has none: spoil it
        }
        break;
    case SimFault::garbage: {
        std::vector<uint8_t> junk(1 + sim_rand(sim) % 8);
        for (uint8_t& b : junk) {
            do {
                b = static_cast<uint8_t>(sim_rand(sim));
            } while (b == STX);
        }
        reply.insert(reply.begin(), junk.begin(), junk.end());
        break;
    }
    case SimFault::split:
        break;
    case SimFault::late:
        plan.delay_ms = sim.late_ms;
        break;
    case SimFault::wrong_count: {
        // A data reply whose count does not fit: one byte short for the block, count + 1 else.
        std::vector<uint8_t> data;
        if (is_data_reply(reply)) {
            data.assign(reply.begin() + 10, reply.end() - 3);
        }
        if (req.command == 0x20 && !data.empty()) {
            data.pop_back();
        } else if (!data.empty()) {
            data[0] = static_cast<uint8_t>(data[0] + 1);
        } else {
            data.push_back(1);
        }
        reply.clear();
        data_reply(req.station, req.command, data.data(), data.size(), reply);
        break;
    }
    }
    if (fault == SimFault::split && reply.size() > 1) {
        size_t pieces = 2 + sim_rand(sim) % 3;
        size_t start = 0;
        for (size_t i = 1; i <= pieces && start < reply.size(); ++i) {
            size_t end =
                i == pieces ? reply.size() : std::max(start + 1, reply.size() * i / pieces);
            plan.writes.emplace_back(reply.begin() + static_cast<long>(start),
                                     reply.begin() + static_cast<long>(end));
            start = end;
        }
        plan.gap_ms = SPLIT_GAP_MS;
    } else {
        plan.writes.push_back(std::move(reply));
    }
    return true;
}

void handle_request(DevSim& sim, const uint8_t* frame, size_t total, std::vector<SimReply>& out) {
    SimRequest req{frame[3], frame[4], std::vector<uint8_t>(frame + 5, frame + total - 3)};
    if (sim.station >= 0 && req.station != sim.station) {
        // A request to another station on the line: heard, not answered.
        if (sim.trace != nullptr) {
            trace_bytes(sim.trace, "request:", frame, total);
            std::fprintf(sim.trace, "not station %d: no reply\n", sim.station);
            std::fflush(sim.trace);
        }
        if (sim.keep_requests) {
            sim.requests.push_back(std::move(req));
        }
        return;
    }
    SimFault fault = pick_fault(sim);
    if (fault != SimFault::none) {
        ++sim.faults_injected;
    }
    SimReply plan;
    bool answered = plan_fault(sim, req, fault, plan);
    if (sim.trace != nullptr) {
        trace_bytes(sim.trace, "request:", frame, total);
        if (fault != SimFault::none) {
            std::fprintf(sim.trace, "fault: %s\n", sim_fault_name(fault));
        }
        for (const auto& w : plan.writes) {
            trace_bytes(sim.trace, "reply:  ", w.data(), w.size());
        }
        std::fflush(sim.trace);
    }
    if (sim.keep_requests) {
        sim.requests.push_back(std::move(req));
    }
    if (answered) {
        out.push_back(std::move(plan));
    }
}

// --- serving ---

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Sleeps until `deadline` unless the stop pipe becomes readable first; false when stopped.
bool wait_until(int stop_fd, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - now_ns();
        if (left <= 0) {
            return true;
        }
        timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        pollfd p{stop_fd, POLLIN, 0};
        int r = ppoll(&p, 1, &ts, nullptr);
        if (r > 0) {
            return false;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
    }
}

struct Line {
    int fd;
    int stop_fd;
};

struct SpeedRow {
    unsigned baud;
    speed_t code;
};
constexpr SpeedRow SPEEDS[] = {{300, B300},       {600, B600},      {1200, B1200},
                               {2400, B2400},     {4800, B4800},    {9600, B9600},
                               {19200, B19200},   {38400, B38400},  {57600, B57600},
                               {115200, B115200}, {230400, B230400}};

// The line speed in bit/s that the far end of `fd` has set: 0 for one not in the table, -1 when
// it cannot be read (not a tty).
long line_speed(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return -1;
    }
    for (const SpeedRow& row : SPEEDS) {
        if (row.code == cfgetispeed(&tio)) {
            return row.baud;
        }
    }
    return 0;
}

// Writes everything; false when stopped or when the line fails.
bool write_all(const Line& line, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(line.fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        pollfd ps[2] = {{line.fd, POLLOUT, 0}, {line.stop_fd, POLLIN, 0}};
        if (poll(ps, 2, 1000) < 0 && errno != EINTR) {
            return false;
        }
        if (ps[1].revents != 0) {
            return false;
        }
    }
    return true;
}

// Writes at the pace of `baud` (10 bits per byte) in chunks of about 2 ms on the wire.
bool write_paced(const Line& line, const std::vector<uint8_t>& bytes, unsigned baud) {
    if (baud == 0) {
        return write_all(line, bytes.data(), bytes.size());
    }
    const int64_t byte_ns = 10LL * 1000000000 / baud;
    const size_t chunk = std::max<int64_t>(1, 2000000 / std::max<int64_t>(byte_ns, 1));
    const int64_t start = now_ns();
    size_t sent = 0;
    while (sent < bytes.size()) {
        size_t k = std::min(chunk, bytes.size() - sent);
        if (!write_all(line, bytes.data() + sent, k)) {
            return false;
        }
        sent += k;
        if (!wait_until(line.stop_fd, start + static_cast<int64_t>(sent) * byte_ns)) {
            return false;
        }
    }
    return true;
}

// False when the server was asked to stop.
bool send_plan(const Line& line, const SimReply& plan, unsigned baud) {
    if (plan.delay_ms > 0 &&
        !wait_until(line.stop_fd, now_ns() + int64_t{plan.delay_ms} * 1000000)) {
        return false;
    }
    for (size_t i = 0; i < plan.writes.size(); ++i) {
        if (i > 0 && plan.gap_ms > 0 &&
            !wait_until(line.stop_fd, now_ns() + int64_t{plan.gap_ms} * 1000000)) {
            return false;
        }
        if (!write_paced(line, plan.writes[i], baud)) {
            // A failed line drops the rest of this reply; only a stop request ends the server.
            pollfd p{line.stop_fd, POLLIN, 0};
            return poll(&p, 1, 0) == 0;
        }
    }
    return true;
}

} // namespace

const char* sim_fault_name(SimFault fault) {
    switch (fault) {
    case SimFault::none:
        return "none";
    case SimFault::silent:
        return "silent";
    case SimFault::nak:
        return "nak";
    case SimFault::bad_checksum:
        return "bad_checksum";
    case SimFault::garbage:
        return "garbage";
    case SimFault::split:
        return "split";
    case SimFault::late:
        return "late";
    case SimFault::wrong_count:
        return "wrong_count";
    }
    return "?";
}

void sim_frame_short(uint8_t station, uint8_t code, std::vector<uint8_t>& out) {
    const uint8_t len = code == NAK ? 4 : 3;
    out.insert(out.end(), {STX, len, CLASS_SHORT, station, code});
    if (code == NAK) {
        out.push_back(0x00);
    }
}

void sim_frame_long(uint8_t station, uint8_t command, const uint8_t* data, size_t n,
                    std::vector<uint8_t>& out) {
    uint16_t sum = static_cast<uint16_t>(CLASS_LONG + station + command);
    out.insert(out.end(), {STX, static_cast<uint8_t>(n + 3), CLASS_LONG, station, command});
    for (size_t i = 0; i < n; ++i) {
        out.push_back(data[i]);
        sum = static_cast<uint16_t>(sum + data[i]);
    }
    out.insert(out.end(), {ETX, static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)});
}

void devsim_feed(DevSim& sim, const uint8_t* data, size_t n, std::vector<SimReply>& out) {
    std::vector<uint8_t>& buf = sim.pending;
    buf.insert(buf.end(), data, data + n);
    size_t pos = 0;
    while (pos < buf.size()) {
        if (buf[pos] != STX) {
            ++pos;
            continue;
        }
        long len = request_frame_at(&buf[pos], buf.size() - pos);
        if (len > 0) {
            handle_request(sim, &buf[pos], static_cast<size_t>(len), out);
            pos += static_cast<size_t>(len);
        } else if (len < 0) {
            ++pos;
        } else {
            // Incomplete: wait for more unless a complete request starts further on, which
            // means this STX was noise that only looked like a frame header.
            size_t next = pos + 1;
            while (next < buf.size() &&
                   (buf[next] != STX || request_frame_at(&buf[next], buf.size() - next) <= 0)) {
                ++next;
            }
            if (next == buf.size()) {
                break;
            }
            pos = next;
        }
    }
    buf.erase(buf.begin(), buf.begin() + static_cast<long>(pos));
}

DevSimServer::DevSimServer(int fd) : fd_(fd), stop_pipe_{-1, -1} {
    if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        stop_pipe_[0] = stop_pipe_[1] = -1;
    }
    thread_ = std::thread(&DevSimServer::run, this);
}

DevSimServer::~DevSimServer() {
    if (stop_pipe_[1] >= 0 && write(stop_pipe_[1], "x", 1) < 0) {
    }
    thread_.join();
    for (int p : stop_pipe_) {
        if (p >= 0) {
            close(p);
        }
    }
}

void DevSimServer::run() {
    if (stop_pipe_[0] < 0) {
        return;
    }
    // A socket whose peer has gone must fail the write with EPIPE, not end the process.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    const Line line{fd_, stop_pipe_[0]};
    std::vector<SimReply> plans;
    uint8_t buf[512];
    for (;;) {
        pollfd ps[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(ps, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (ps[1].revents != 0 || (ps[0].revents & POLLNVAL) != 0) {
            return;
        }
        if (ps[0].revents == 0) {
            continue;
        }
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n == 0) {
            return; // end of input: the peer has gone
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            // A pty master reports EIO while no one holds the slave open: wait and retry.
            if (errno == EIO && wait_until(stop_pipe_[0], now_ns() + 100000000)) {
                continue;
            }
            return;
        }
        unsigned baud;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            plans.clear();
            baud = sim_.baud;
            const long speed = sim_.strict_baud && baud != 0 ? line_speed(fd_) : -1;
            if (speed < 0 || speed == static_cast<long>(baud)) {
                devsim_feed(sim_, buf, static_cast<size_t>(n), plans);
            } else {
                sim_.pending.clear();
                if (sim_.trace != nullptr) {
                    std::fprintf(sim_.trace,
                                 "line at %ld bit/s, device at %u: %zd bytes not understood\n",
                                 speed, baud, n);
                    std::fflush(sim_.trace);
                }
            }
        }
        for (const SimReply& plan : plans) {
            if (!send_plan(line, plan, baud)) {
                return;
            }
        }
    }
}

speed_t sim_speed_code(unsigned baud) {
    for (const SpeedRow& row : SPEEDS) {
        if (row.baud == baud) {
            return row.code;
        }
    }
    return B0;
}

bool sim_open_pty(SimPty& pty) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        return false;
    }
    char name[128];
    int slave = -1;
    if (grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0) {
        slave = open(name, O_RDWR | O_NOCTTY);
    }
    if (slave < 0) {
        close(master);
        return false;
    }
    for (int fd : {master, slave}) {
        termios tio{};
        if (tcgetattr(fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    pty.master = master;
    pty.slave = slave;
    pty.slave_path = name;
    return true;
}

void sim_close_pty(SimPty& pty) {
    for (int* fd : {&pty.master, &pty.slave}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    pty.slave_path.clear();
}
