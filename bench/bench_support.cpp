// SPDX-License-Identifier: Apache-2.0
#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

bool read_exact(int fd, uint8_t* out, size_t n, int timeout_ms) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, out + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
            !wait_readable(fd, timeout_ms))
            return false;
    }
    return true;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        pollfd q{fd, POLLOUT, 0};
        if (poll(&q, 1, 5000) <= 0)
            return false;
    }
    return true;
}

bool exchange(int fd, const Bytes& request, Bytes& reply) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        return false;
    // Reads block on the socket's own readiness: one poll before the first read, then as needed.
    return wait_readable(fd, 5000) && read_exact(fd, reply.data(), reply.size());
}

Summary summarise(std::vector<int64_t> samples) {
    Summary s;
    s.n = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        const size_t i = std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()));
        return static_cast<double>(samples[i]) / 1000.0;
    };
    s.median_us = at(0.5);
    s.p99_us = at(0.99);
    return s;
}

long clock_ticks_per_second() {
    return sysconf(_SC_CLK_TCK);
}

bool proc_figures(pid_t pid, ProcFigures& out) {
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream stat(base + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    // The command name is in parentheses and may hold spaces: count fields after its end.
    const size_t close = line.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    uint64_t utime = 0;
    uint64_t stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    out.cpu_ticks = utime + stime;
    std::ifstream schedstat(base + "/schedstat");
    out.run_ns = 0;
    schedstat >> out.run_ns;
    std::ifstream status(base + "/status");
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            out.rss_kb = std::stol(line.substr(6));
        else if (line.rfind("VmHWM:", 0) == 0)
            out.hwm_kb = std::stol(line.substr(6));
    }
    return true;
}

TcpFloor::TcpFloor(size_t request_size, Bytes reply) : reply_(std::move(reply)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), len) != 0 ||
        listen(listen_fd_, 1) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &len) != 0)
        return;
    client_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client_fd_, reinterpret_cast<sockaddr*>(&address), len) != 0) {
        close(client_fd_);
        client_fd_ = -1;
        return;
    }
    thread_ = std::thread([this, request_size] { run(request_size, reply_); });
}

TcpFloor::~TcpFloor() {
    finish();
    close(listen_fd_);
}

double TcpFloor::finish() {
    if (client_fd_ >= 0)
        close(client_fd_); // the server sees the end of the stream and returns
    client_fd_ = -1;
    if (thread_.joinable())
        thread_.join();
    return answers_ > 0 ? static_cast<double>(cpu_ns_) / static_cast<double>(answers_) : 0;
}

uint64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000 + static_cast<uint64_t>(ts.tv_nsec);
}

void TcpFloor::run(size_t request_size, const Bytes& reply) {
    const int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0)
        return;
    Bytes request(request_size);
    const uint64_t cpu0 = thread_cpu_ns();
    for (;;) {
        if (!wait_readable(fd, -1) || !read_exact(fd, request.data(), request.size()))
            break;
        if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(reply.size()))
            break;
        ++answers_;
    }
    cpu_ns_ = thread_cpu_ns() - cpu0;
    close(fd);
}

PtyFloor::PtyFloor(std::vector<SerialExchange> cycle, const DevSim* device)
    : cycle_(std::move(cycle)) {
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return;
    if (device != nullptr) {
        device_ = std::make_unique<DevSimServer>(pty_.master);
        device_->with([device](DevSim& s) {
            s.items = device->items;
            s.block = device->block;
            s.keep_requests = false;
        });
        return;
    }
    thread_ = std::thread([this] { serve(); });
}

PtyFloor::~PtyFloor() {
    if (stop_pipe_[1] >= 0 && write(stop_pipe_[1], "x", 1) < 0) {
    }
    if (thread_.joinable())
        thread_.join();
    device_.reset();
    for (const int fd : stop_pipe_)
        if (fd >= 0)
            close(fd);
}

void PtyFloor::serve() {
    Bytes input(512);
    size_t got = 0;
    size_t turn = 0;
    for (;;) {
        pollfd ps[2] = {{pty_.master, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(ps, 2, -1) < 0 || ps[1].revents != 0)
            return;
        const ssize_t n = read(pty_.master, input.data(), input.size());
        if (n <= 0)
            continue;
        got += static_cast<size_t>(n);
        while (got >= cycle_[turn].request.size()) {
            got -= cycle_[turn].request.size();
            if (!write_all(pty_.master, cycle_[turn].reply.data(), cycle_[turn].reply.size()))
                return;
            turn = (turn + 1) % cycle_.size();
        }
    }
}

bool PtyFloor::run_cycle(Bytes& scratch) {
    for (const SerialExchange& e : cycle_) {
        scratch.resize(e.reply.size());
        if (!write_all(pty_.slave, e.request.data(), e.request.size()))
            return false;
        if (!wait_readable(pty_.slave, 5000) ||
            !read_exact(pty_.slave, scratch.data(), scratch.size()))
            return false;
    }
    return true;
}

PacedLine::PacedLine(unsigned baud, std::unique_ptr<DevSim> device)
    : baud_(baud), device_(std::move(device)) {
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return;
    thread_ = std::thread([this] { serve(); });
}

PacedLine::~PacedLine() {
    stop_ = true;
    if (stop_pipe_[1] >= 0 && write(stop_pipe_[1], "x", 1) < 0) {
    }
    if (thread_.joinable())
        thread_.join();
    for (const int fd : stop_pipe_)
        if (fd >= 0)
            close(fd);
}

int64_t PacedLine::byte_ns(size_t bytes) const {
    return static_cast<int64_t>(bytes) * 10 * 1000000000 / baud_;
}

bool PacedLine::sleep_until(int64_t deadline_ns) {
    const timespec ts{static_cast<time_t>(deadline_ns / 1000000000),
                      static_cast<long>(deadline_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    return !stop_;
}

void PacedLine::serve() {
    // Wake-ups as close to the byte times as the kernel allows.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    uint8_t input[512];
    std::vector<SimReply> plans;
    size_t request_bytes = 0; // bytes of the request now arriving
    int64_t first_byte_at = 0;
    for (;;) {
        pollfd ps[2] = {{pty_.master, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(ps, 2, -1) < 0 || ps[1].revents != 0)
            return;
        const ssize_t n = read(pty_.master, input, sizeof input);
        if (n <= 0) {
            // EIO while nobody holds the slave: wait for the daemon to open it.
            if (!sleep_until(now_ns() + 1000000))
                return;
            continue;
        }
        // The daemon writes a request in one call: it starts on the wire now.
        if (request_bytes == 0)
            first_byte_at = now_ns();
        request_bytes += static_cast<size_t>(n);
        plans.clear();
        devsim_feed(*device_, input, static_cast<size_t>(n), plans);
        for (const SimReply& plan : plans) {
            Bytes reply;
            for (const Bytes& part : plan.writes)
                reply.insert(reply.end(), part.begin(), part.end());
            const int64_t answer_at = first_byte_at + byte_ns(request_bytes);
            size_t sent = 0;
            while (sent < reply.size()) {
                if (!sleep_until(answer_at + byte_ns(sent + 1)))
                    return;
                // Everything whose last bit is on the wire by now goes out in one write.
                size_t due = sent + 1;
                const int64_t now = now_ns();
                while (due < reply.size() && answer_at + byte_ns(due + 1) <= now)
                    ++due;
                if (!write_all(pty_.master, reply.data() + sent, due - sent))
                    return;
                sent = due;
            }
            request_bytes = 0;
        }
    }
}
