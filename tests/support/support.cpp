// SPDX-License-Identifier: Apache-2.0
#include "support.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <cstdlib>

#include "sys/log.h"

namespace {
std::mutex g_mutex;
std::vector<std::pair<int, std::string>> g_lines;
std::atomic<unsigned> g_signals{0};

void capture(int priority, const char* message) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(priority, message);
}

void count_signal(int) {
    ++g_signals;
}

void put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}
} // namespace

Bytes hex(const std::string& text) {
    std::istringstream in(text);
    Bytes out;
    for (unsigned v; in >> std::hex >> v;)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

Bytes mbap_wire(uint16_t tid, uint16_t pid, uint16_t length, const Bytes& body) {
    Bytes out;
    for (uint16_t field : {tid, pid, length})
        put16(out, field);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes read_request(uint16_t tid, uint16_t start, uint16_t quantity) {
    Bytes body = {1, 3};
    put16(body, start);
    put16(body, quantity);
    return mbap_wire(tid, 0, static_cast<uint16_t>(body.size()), body);
}

Bytes write_request(uint16_t tid, uint16_t start, const std::vector<uint16_t>& values) {
    Bytes body = {1, 16};
    put16(body, start);
    put16(body, static_cast<uint16_t>(values.size()));
    body.push_back(static_cast<uint8_t>(2 * values.size()));
    for (uint16_t v : values)
        put16(body, v);
    return mbap_wire(tid, 0, static_cast<uint16_t>(body.size()), body);
}

Bytes read_requests(uint16_t count, uint16_t start, uint16_t quantity, uint16_t step) {
    Bytes out;
    for (uint16_t k = 0; k < count; ++k) {
        const Bytes one = read_request(k, static_cast<uint16_t>(start + k * step), quantity);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double seconds_since(int64_t start_ns) {
    return static_cast<double>(now_ns() - start_ns) / 1e9;
}

bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

ssize_t drain(int fd, int timeout_ms) {
    uint8_t buffer[512];
    ssize_t n = 1;
    while (n > 0 && wait_readable(fd, timeout_ms))
        n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n;
}

uint16_t bound_port(int fd) {
    sockaddr_in address{};
    socklen_t len = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    return ntohs(address.sin_port);
}

Pty::Pty() {
    if (!sim_open_pty(*this))
        throw std::runtime_error("cannot open a pseudo-terminal");
}

Pty::~Pty() {
    sim_close_pty(*this);
}

SignalStorm::SignalStorm(int period_ms) : target_(pthread_self()) {
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(SIGUSR1, &action, nullptr);
    sender_ = std::thread([this, period_ms] {
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(period_ms));
            pthread_kill(target_, SIGUSR1);
        }
    });
}

// The handler stays: a signal still on its way must not meet the default action.
SignalStorm::~SignalStorm() {
    stop_ = true;
    sender_.join();
}

unsigned SignalStorm::handled() {
    return g_signals;
}

LogCapture::LogCapture() {
    clear();
    log_set_sink(capture);
}

LogCapture::~LogCapture() {
    log_set_sink(nullptr);
}

std::vector<std::pair<int, std::string>> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

int LogCapture::count(int priority, const std::string& text) const {
    int n = 0;
    for (const auto& [p, line] : lines())
        n += p == priority && line == text;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

TempDir::TempDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    pattern += "/kovex4-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed in " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string pid_text(long pid) {
    char text[32];
    snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

NotifyListener::NotifyListener(const std::string& address)
    : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, address.data(), std::min(address.size(), sizeof a.sun_path - 1));
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    if (address[0] == '@')
        a.sun_path[0] = '\0';
    else
        ++len;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0)
        throw std::runtime_error("bind " + address + ": " + std::strerror(errno));
}

NotifyListener::~NotifyListener() {
    close(fd_);
}

const std::vector<std::string>& NotifyListener::messages() {
    char buffer[256];
    for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        messages_.emplace_back(buffer, static_cast<size_t>(n));
    return messages_;
}

int NotifyListener::count(const std::string& text) {
    const auto& m = messages();
    return static_cast<int>(std::count(m.begin(), m.end(), text));
}

std::vector<std::string> NotifyListener::take() {
    const auto& m = messages();
    std::vector<std::string> out(m.begin() + static_cast<std::ptrdiff_t>(taken_), m.end());
    taken_ = m.size();
    return out;
}
