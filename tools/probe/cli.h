// SPDX-License-Identifier: Apache-2.0
#pragma once
// kovex4-probe's program: the options, one run_ function per subcommand, and what they share.
// Each subcommand does its own I/O and asks the library (probe.h) and the gateway's modules for
// every judgement.
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "probe.h"
#include "settings/settings.h"

struct Options {
    std::string command;
    std::string settings = SETTINGS_PATH;
    bool json = false;
    std::optional<std::string> device, baud, station;
    std::vector<ProbeRange> ranges;
    bool scan_stations = false;
    bool scan_baud = false;
    int wait_ms = 300;
    std::string lock_dir;
    std::string log;
    int seconds = 0;         // trace: 0 until Ctrl-C
    std::string client_cert; // settings: a client certificate to check
    // modbus: the gateway to ask, the TLS files to ask it with, and the words after "modbus"
    // ("read ADDRESS COUNT" or "write ADDRESS VALUE...").
    std::string host, port;
    std::string cert, key, ca;
    std::string name; // the name the gateway's certificate must carry; empty: --host
    std::vector<std::string> words;
};

int run_settings(const Options& opt);
int run_line(const Options& opt);
int run_status(const Options& opt);
int run_trace(const Options& opt);
int run_modbus(const Options& opt);
int run_mqtt(const Options& opt);

// What the gateway's code logged while the probe ran: shown by the probe, never sent to syslog.
extern std::vector<std::string> g_logged;
// Set by Ctrl-C during `line` and `trace`: a scan ends after the exchange in progress, a trace
// is switched off.
extern volatile sig_atomic_t g_stop;

// printf into a string.
__attribute__((format(printf, 1, 2))) std::string text_of(const char* format, ...);
// "kovex4-probe: TEXT" and where to find the usage on standard error; returns the exit status 2.
int usage_error(const std::string& text);
// Appends `item` to a list, after `separator` unless the list is empty.
void join(std::string& list, const char* separator, const std::string& item);
// "kovex4-probe: cannot read FILE: REASON" on standard error, or as {"error": ...} with --json;
// returns the exit status 2.
int cannot_read(const Options& opt, const std::string& path, int error);
// The name of process `pid` ("?" when it cannot be read).
std::string process_name(int pid);
// Points the lock functions at --lock-dir, if given, and sets `lock` to the lock file of the
// device `path`; false (already reported) when that path is too long for the lock functions.
bool use_lock_dir(const Options& opt, const std::string& path, std::string& lock);
// The settings file as the gateway reads it; false (already reported) when it cannot be read.
bool load_settings(const Options& opt, Settings& settings);

// The running gateway that holds the line of the settings' device, and the system log it writes
// to: the file given with --log or the first readable of the usual ones, else the journal.
struct Gateway {
    int pid = 0;
    std::string log_file;
    bool journal = false;
    std::string source() const; // the log in words, empty when there is none
};
// False (reported, exit status 2) when no gateway holds the line.
bool find_gateway(const Options& opt, Gateway& gateway);

// What the gateway logs from now on, line by line: the system log file from its present end, or
// the journal followed by journalctl.
class GatewayLog {
public:
    explicit GatewayLog(const Gateway& gateway);
    ~GatewayLog();
    GatewayLog(const GatewayLog&) = delete;
    GatewayLog& operator=(const GatewayLog&) = delete;
    // The messages of the gateway's process logged since the last call (the text after
    // "kovex4[pid]: "), waiting up to `wait_ms` for the first.
    std::vector<std::string> next(int wait_ms);

private:
    const Gateway& gateway_;
    std::streamoff offset_ = 0;
    int pipe_fd_ = -1;
    int journal_pid_ = -1;
    std::string partial_;
};
