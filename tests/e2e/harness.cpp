// SPDX-License-Identifier: Apache-2.0
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#if !defined(KOVEX4_BINARY) || !defined(KOVEX4_NAMESPACE_SH)
#error "KOVEX4_BINARY must name the daemon under test, KOVEX4_NAMESPACE_SH scripts/namespace.sh"
#endif

unsigned free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const unsigned port = bound_port(fd);
    close(fd);
    return port;
}

int connect_local(unsigned port, const char* host) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
    inet_pton(AF_INET, host, &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> read_frame(int fd, int timeout_ms) {
    std::vector<uint8_t> frame;
    size_t want = 6;
    const int64_t t0 = now_ns();
    while (frame.size() < want) {
        const int left = timeout_ms - static_cast<int>(seconds_since(t0) * 1000);
        if (left <= 0 || !wait_readable(fd, left))
            return {};
        uint8_t byte;
        if (recv(fd, &byte, 1, 0) != 1)
            return {};
        frame.push_back(byte);
        if (frame.size() == 6)
            want = 6 + (frame[4] << 8 | frame[5]);
    }
    return frame;
}

std::vector<uint8_t> request_reply(int fd, const std::vector<uint8_t>& request, int timeout_ms) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        return {};
    return read_frame(fd, timeout_ms);
}

pid_t spawn_to_file(const std::vector<std::string>& argv, const std::string& out_file) {
    std::vector<char*> args;
    for (const std::string& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out_file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void end_process(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    if (!eventually([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 1000)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool wait_file_contains(const std::string& path, const std::string& text, int timeout_ms) {
    return eventually([&] { return read_file(path).find(text) != std::string::npos; }, timeout_ms);
}

std::string run_command(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[512];
    for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    if (pipe != nullptr)
        pclose(pipe);
    return out;
}

std::vector<std::string> Daemon::default_wrapper() {
    std::vector<std::string> words;
#ifdef KOVEX4_DAEMON_WRAPPER
    std::istringstream in(KOVEX4_DAEMON_WRAPPER);
    for (std::string word; in >> word;)
        words.push_back(word);
#endif
    return words;
}

Daemon::Daemon(std::vector<std::string> wrapper) : wrapper_(std::move(wrapper)) {
    for (std::string& word : wrapper_) {
        const size_t at = word.find("{log}");
        if (at != std::string::npos)
            word.replace(at, 5, wrapper_log());
    }
    for (const char* folder : {"etc", "lock", "dev"})
        std::filesystem::create_directory(dir_.file(folder));
    log_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir_.file("log.sock");
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (bind(log_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind the log socket");
    chmod(path.c_str(), 0666);
    port_ = free_port();
    log_reader_ = std::thread([this] { read_log(); });
}

Daemon::~Daemon() {
    stop();
#ifdef KOVEX4_WRAPPER_LOG_DIR
    // The temp folder goes with the test: keep the wrapper's log where its caller looks.
    if (!wrapper_.empty() && std::filesystem::exists(wrapper_log())) {
        std::error_code ec;
        std::filesystem::create_directories(KOVEX4_WRAPPER_LOG_DIR, ec);
        std::filesystem::copy_file(wrapper_log(),
                                   std::string(KOVEX4_WRAPPER_LOG_DIR) + "/" +
                                       std::filesystem::path(dir_.path()).filename().string() +
                                       ".log",
                                   ec);
    }
#endif
    closing_ = true;
    log_reader_.join();
    close(log_fd_);
}

void Daemon::read_log() {
    char buffer[2048];
    while (!closing_) {
        pollfd ready{log_fd_, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(log_fd_, buffer, sizeof buffer - 1, MSG_DONTWAIT);
        if (n <= 0)
            continue;
        buffer[n] = '\0';
        // "<PRI>Mmm dd hh:mm:ss kovex4[pid]: text"
        const int pri = buffer[0] == '<' ? atoi(buffer + 1) : -1;
        const char* text = strstr(buffer, "]: ");
        const std::lock_guard<std::mutex> hold(lines_mutex_);
        lines_.push_back({pri & 7, text ? text + 3 : buffer});
    }
}

std::string Daemon::settings(const std::string& extra) const {
    return "MOD_KOVEX4_ENABLED=1\nMOD_KOVEX4_DEVICE=" + std::string(device) +
           "\nMOD_KOVEX4_BAUDRATE=115200\nMOD_KOVEX4_PORT=" + std::to_string(port_) +
           "\nMOD_KOVEX4_STATION=1\n" + extra;
}

bool Daemon::start(const std::string& settings_text, const std::string& extra_link,
                   const std::vector<std::string>& args) {
    write_file(dir_.file("etc/settings"), settings_text);
    // The private namespace of scripts/namespace.sh, as for the demo and the package test; the
    // daemon runs without environment and with standard input from /dev/null.
    const std::string script =
        ". \"$1\"; ns_mount_settings \"$2/etc\"; ns_mount_lock \"$2/lock\"; ns_private_dev "
        "\"$2/dev\" \"$2/log.sock\" \"$3\" ${4:+\"$4\"}; shift 4; exec env -i \"$@\" </dev/null" +
        (args.empty() ? "" : " 2>'" + stderr_file() + "'");
    const std::string tty = device + ("=" + pty_.slave_path);
    const std::string extra = extra_link.empty() ? "" : extra_link + "=" + pty_.slave_path;
    std::vector<std::string> words = {
        "unshare", "-m",        "--propagation",     "private",   "/bin/bash", "-e", "-c",
        script,    "kovex4-ns", KOVEX4_NAMESPACE_SH, dir_.path(), tty,         extra};
    words.insert(words.end(), env_.begin(), env_.end());
    words.insert(words.end(), wrapper_.begin(), wrapper_.end());
    words.push_back(KOVEX4_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        execv("/usr/bin/unshare", argv.data());
        _exit(127);
    }
    status_ = -1;
    return pid_ > 0;
}

void Daemon::close_device() {
    sim_.reset();
    sim_close_pty(pty_);
}

std::string Daemon::inside(const std::string& path) const {
    return "/proc/" + std::to_string(pid_) + "/root" + path;
}

bool Daemon::wait_listening(int timeout_ms) {
    int fd = -1;
    if (!eventually([&] { return (fd = connect_local(port_)) >= 0; }, timeout_ms))
        return false;
    close(fd);
    // The probe is a connection of its own: let the daemon log it and its end, so that tests
    // count connection events from a quiet state.
    // (Builds before the closed line named the address, which benchmarks compare, said "TCP
    // connection closed".)
    return wait_log("TCP connection from 127.0.0.1 established", timeout_ms) &&
           eventually(
               [&] {
                   return count_log("TCP connection from 127.0.0.1 closed") +
                              count_log("TCP connection closed") >
                          0;
               },
               timeout_ms);
}

int Daemon::wait_exit(int timeout_ms) {
    int status = 0;
    if (pid_ >= 0 &&
        eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms)) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return pid_ < 0 ? status_ : -1;
}

void Daemon::stop() {
    if (pid_ < 0)
        return;
    kill(pid_, SIGTERM);
    // A wrapper may have work to do at the end (a memory checker's leak search).
    if (wait_exit(wrapper_.empty() ? 3000 : 15000) < 0) {
        kill(pid_, SIGKILL);
        wait_exit(3000);
    }
}

std::vector<LogLine> Daemon::logs() {
    const std::lock_guard<std::mutex> hold(lines_mutex_);
    return lines_;
}

int Daemon::count_log(const std::string& text, bool prefix) {
    const std::vector<LogLine> lines = logs();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
        return prefix ? line.text.rfind(text, 0) == 0 : line.text == text;
    }));
}

bool Daemon::wait_log_count(const std::string& text, int count, int timeout_ms) {
    return eventually([&] { return count_log(text) >= count; }, timeout_ms);
}

bool Daemon::wait_log(const std::string& text, int timeout_ms) {
    return wait_log_count(text, 1, timeout_ms);
}
