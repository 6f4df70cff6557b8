// SPDX-License-Identifier: Apache-2.0
// kovex4-probe status: makes the running gateway log its counters (SIGUSR1) and shows that line.
// Also what status and trace share: the gateway that holds the line, and its log lines.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "json.h"
#include "service/service.h"
#include "sys/com.h"
#include "sys/deadline.h"

extern char** environ;

std::string Gateway::source() const {
    return !log_file.empty() ? log_file : journal ? "journalctl -t kovex4" : "";
}

bool find_gateway(const Options& opt, Gateway& gateway) {
    Settings s;
    if (!load_settings(opt, s))
        return false;
    const std::string path = service_device_path(s);
    std::string lock;
    if (!use_lock_dir(opt, path, lock))
        return false;
    gateway.pid = com_lock_owner(path.c_str());
    struct stat st {};
    if (gateway.pid <= 0) {
        const bool there = lstat(lock.c_str(), &st) == 0;
        std::fprintf(stderr, "kovex4-probe: no gateway runs: %s\n",
                     (!there ? "there is no lock file " + lock
                      : !S_ISREG(st.st_mode)
                          ? "the lock file " + lock + " is not a regular file"
                          : "the lock file " + lock + " names no running process")
                         .c_str());
        return false;
    }
    // SIGUSR1 and SIGUSR2 end a process that does not expect them: only the gateway gets them.
    if (process_name(gateway.pid) != "kovex4") {
        std::fprintf(stderr, "kovex4-probe: %s is held by process %d (%s), not by kovex4\n",
                     path.c_str(), gateway.pid, process_name(gateway.pid).c_str());
        return false;
    }
    if (!opt.log.empty() && access(opt.log.c_str(), R_OK) != 0) {
        cannot_read(opt, opt.log, errno);
        return false;
    }
    gateway.log_file = opt.log;
    for (const char* candidate : {"/var/log/syslog", "/var/log/daemon.log", "/var/log/messages"})
        if (gateway.log_file.empty() && access(candidate, R_OK) == 0)
            gateway.log_file = candidate;
    gateway.journal = gateway.log_file.empty() && access("/usr/bin/journalctl", X_OK) == 0;
    return true;
}

GatewayLog::GatewayLog(const Gateway& gateway) : gateway_(gateway) {
    if (!gateway.log_file.empty()) {
        std::ifstream in(gateway.log_file, std::ios::binary | std::ios::ate);
        offset_ = std::max<std::streamoff>(0, in.tellg());
    } else if (gateway.journal) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        // Its complaints ("No journal files were found.") are not the gateway's lines.
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        char* const argv[] = {const_cast<char*>("journalctl"), const_cast<char*>("-t"),
                              const_cast<char*>("kovex4"),     const_cast<char*>("-f"),
                              const_cast<char*>("-n"),         const_cast<char*>("0"),
                              const_cast<char*>("--no-pager"), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, "/usr/bin/journalctl", &actions, nullptr, argv, environ) == 0)
            journal_pid_ = pid;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        pipe_fd_ = fds[0];
        fcntl(pipe_fd_, F_SETFL, O_NONBLOCK);
        // journalctl follows from the moment it has opened the journal.
        wait_until(wait_clock_us() + 300000);
    }
}

GatewayLog::~GatewayLog() {
    if (journal_pid_ > 0) {
        kill(journal_pid_, SIGTERM);
        waitpid(journal_pid_, nullptr, 0);
    }
    if (pipe_fd_ >= 0)
        close(pipe_fd_);
}

std::vector<std::string> GatewayLog::next(int wait_ms) {
    std::vector<std::string> messages;
    const std::string mark = "kovex4[" + std::to_string(gateway_.pid) + "]: ";
    const int64_t deadline = wait_clock_us() + int64_t{wait_ms} * 1000;
    for (;;) {
        if (!gateway_.log_file.empty()) {
            std::ifstream in(gateway_.log_file, std::ios::binary | std::ios::ate);
            const std::streamoff size = in.tellg();
            if (size < offset_)
                offset_ = 0; // the log was rotated meanwhile
            if (size > offset_) {
                in.seekg(offset_);
                std::stringstream text;
                text << in.rdbuf();
                partial_ += text.str();
                offset_ = size;
            }
        } else if (pipe_fd_ >= 0) {
            char buffer[4096];
            for (ssize_t n; (n = com_read(pipe_fd_, buffer, sizeof buffer)) > 0;)
                partial_.append(buffer, static_cast<size_t>(n));
        }
        for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            const std::string line = partial_.substr(0, end);
            partial_.erase(0, end + 1);
            if (const size_t at = line.find(mark); at != std::string::npos)
                messages.push_back(line.substr(at + mark.size()));
        }
        if (!messages.empty() || wait_clock_us() >= deadline || g_stop != 0)
            return messages;
        wait_until(std::min(deadline, wait_clock_us() + 100000));
    }
}

int run_status(const Options& opt) {
    Gateway gateway;
    if (!find_gateway(opt, gateway))
        return 2;
    GatewayLog log(gateway);
    if (kill(gateway.pid, SIGUSR1) != 0) {
        std::fprintf(stderr, "kovex4-probe: cannot signal process %d: %s\n", gateway.pid,
                     std::strerror(errno));
        return 2;
    }
    // The gateway logs the line from its main loop within a second.
    std::string counters;
    const std::string source = gateway.source();
    const int64_t deadline = wait_clock_us() + 3000000;
    while (counters.empty() && !source.empty() && wait_clock_us() < deadline)
        for (const std::string& message : log.next(100))
            if (message.rfind("counters: ", 0) == 0)
                counters = message.substr(std::strlen("counters: "));
    const std::vector<ProbeCounter> values = probe_parse_counters(counters);
    if (opt.json) {
        Json json;
        json.object().key("pid").value(gateway.pid).key("log");
        if (source.empty())
            json.null();
        else
            json.value(source);
        json.key("counters");
        if (counters.empty()) {
            json.null();
        } else {
            json.object();
            for (const ProbeCounter& c : values)
                json.key(c.name).value(c.value);
            json.end();
        }
        std::printf("%s\n", json.end().text().c_str());
        return counters.empty() ? 1 : 0;
    }
    std::printf("Sent SIGUSR1 to kovex4, process %d.\n", gateway.pid);
    if (counters.empty()) {
        std::printf("%s\nThe gateway logs the line \"counters: ...\" at notice level with the "
                    "tag kovex4: look for it in the system log (journalctl -t kovex4, or "
                    "/var/log/syslog, daemon.log or messages).\n",
                    source.empty() ? "No readable system log here."
                                   : ("No counters line in " + source + " within 3 s.").c_str());
        return 1;
    }
    std::printf("Counters since the gateway started (from %s):\n", source.c_str());
    for (const ProbeCounter& c : values)
        std::printf("  %-20s %llu\n", c.name, static_cast<unsigned long long>(c.value));
    return 0;
}
