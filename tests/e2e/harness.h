// SPDX-License-Identifier: Apache-2.0
#pragma once
// Runs the real kovex4 binary in a private mount namespace: its settings folder, lock folder and
// /dev are the test's own, /dev/log is a socket a thread of the test reads all the time (as a
// syslog daemon does: a full socket would hold the daemon up), and the serial device is a
// pseudo-terminal served by the in-process simulator.
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

struct LogLine {
    int priority;
    std::string text;
};

class Daemon {
public:
    // `wrapper`: words run in front of the daemon's command line, e.g. a memory checker; "{log}"
    // in a word stands for a log file in the test's temp folder (see wrapper_log()). The default
    // is KOVEX4_DAEMON_WRAPPER when the harness is compiled with it, otherwise no wrapper.
    explicit Daemon(std::vector<std::string> wrapper = default_wrapper());
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    DevSimServer& sim() { return *sim_; }
    // The private /dev holds the pty as "ttyGW0" and also under `extra_link` (relative to /dev,
    // subfolders created) when start() is given one.
    static constexpr const char* device = "ttyGW0";
    unsigned port() const { return port_; }
    pid_t pid() const { return pid_; }
    const TempDir& dir() const { return dir_; }
    std::string lock_dir() const { return dir_.file("lock"); }
    // The device's lock file: named after the pseudo-terminal that ttyGW0 (and any extra link)
    // resolves to, "LCK..<n>" for /dev/pts/<n>.
    std::string lock_name() const {
        return "LCK.." + pty_.slave_path.substr(pty_.slave_path.rfind('/') + 1);
    }
    std::string lock_file() const { return lock_dir() + "/" + lock_name(); }
    std::string wrapper_log() const { return dir_.file("wrapper.log"); }
    static std::vector<std::string> default_wrapper();

    // Adds "NAME=value" to the daemon's otherwise empty environment (before start()).
    void add_env(const std::string& assignment) { env_.push_back(assignment); }
    // A settings file for this daemon: device ttyGW0, its port, station 1, plus `extra` lines.
    std::string settings(const std::string& extra = "") const;
    // Writes the settings file and starts the binary; false if the process could not be started.
    // With `args`, they follow the binary on its command line and its standard error goes to
    // stderr_file().
    bool start(const std::string& settings_text, const std::string& extra_link = "",
               const std::vector<std::string>& args = {});
    std::string stderr_file() const { return dir_.file("stderr"); }
    // Unplugs the device: stops the simulator and closes the pseudo-terminal's far end.
    void close_device();
    // A path of the running daemon's file system (its private /dev, for example), seen from here.
    std::string inside(const std::string& path) const;
    // Waits until the daemon accepts TCP connections on its port.
    bool wait_listening(int timeout_ms = 5000);
    // Exit status once the process ended, or -1 if it still runs after timeout_ms.
    int wait_exit(int timeout_ms);
    void stop();

    // Every line received so far.
    std::vector<LogLine> logs();
    bool wait_log(const std::string& text, int timeout_ms = 5000);
    // How many lines are `text` (with `prefix`: begin with it).
    int count_log(const std::string& text, bool prefix = false);
    // Waits until `text` has been logged at least `count` times.
    bool wait_log_count(const std::string& text, int count, int timeout_ms);

private:
    TempDir dir_;
    std::vector<std::string> wrapper_;
    std::vector<std::string> env_;
    Pty pty_;
    std::unique_ptr<DevSimServer> sim_ = std::make_unique<DevSimServer>(pty_.master);
    void read_log();

    int log_fd_ = -1;
    unsigned port_ = 0;
    pid_t pid_ = -1;
    int status_ = -1;
    std::mutex lines_mutex_;
    std::vector<LogLine> lines_;
    std::atomic<bool> closing_{false};
    std::thread log_reader_;
};

// Connected TCP socket to address:port, or -1.
int connect_local(unsigned port, const char* address = "127.0.0.1");
// A free TCP port on 127.0.0.1 (bound, read back and released).
unsigned free_port();
// Sends `request` and reads one Modbus TCP frame back (header + length bytes); empty on time-out
// or end of stream.
std::vector<uint8_t> request_reply(int fd, const std::vector<uint8_t>& request,
                                   int timeout_ms = 8000);
std::vector<uint8_t> read_frame(int fd, int timeout_ms = 8000);
// Starts a program with its standard output (and error) going to `out_file`.
pid_t spawn_to_file(const std::vector<std::string>& argv, const std::string& out_file);
// SIGTERM, then SIGKILL after a second, and reaps it.
void end_process(pid_t pid);
// Waits until `path` contains `text`.
bool wait_file_contains(const std::string& path, const std::string& text, int timeout_ms);
// Runs a command and returns its standard output.
std::string run_command(const std::string& command);
