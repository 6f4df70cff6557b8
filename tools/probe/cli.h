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
};

int run_settings(const Options& opt);
int run_line(const Options& opt);
int run_status(const Options& opt);

// What the gateway's code logged while the probe ran: shown by the probe, never sent to syslog.
extern std::vector<std::string> g_logged;
// Set by Ctrl-C during `line`: a scan ends after the exchange in progress.
extern volatile sig_atomic_t g_stop;

// printf into a string.
__attribute__((format(printf, 1, 2))) std::string text_of(const char* format, ...);
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
