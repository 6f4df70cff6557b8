// SPDX-License-Identifier: Apache-2.0
// kovex4-probe status: makes the running gateway log its counters (SIGUSR1) and shows that line.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

std::string read_from(const std::string& path, std::streamoff offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    if (in.tellg() < offset)
        offset = 0; // the log was rotated meanwhile
    in.seekg(offset);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string journal() {
    std::string out;
    if (std::FILE* pipe = popen("journalctl -t kovex4 -n 50 --no-pager 2>/dev/null", "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

} // namespace

int run_status(const Options& opt) {
    Settings s;
    if (!load_settings(opt, s))
        return 2;
    const std::string path = service_device_path(s);
    std::string lock;
    if (!use_lock_dir(opt, path, lock))
        return 2;
    const int pid = com_lock_owner(path.c_str());
    if (pid <= 0) {
        std::fprintf(stderr,
                     "kovex4-probe: no gateway runs: the lock file %s names no running "
                     "process\n",
                     lock.c_str());
        return 2;
    }
    // SIGUSR1 ends a process that does not expect it: only the gateway gets it.
    if (process_name(pid) != "kovex4") {
        std::fprintf(stderr, "kovex4-probe: %s is held by process %d (%s), not by kovex4\n",
                     path.c_str(), pid, process_name(pid).c_str());
        return 2;
    }
    std::string log = opt.log;
    for (const char* candidate : {"/var/log/syslog", "/var/log/daemon.log", "/var/log/messages"})
        if (log.empty() && access(candidate, R_OK) == 0)
            log = candidate;
    const bool use_journal = log.empty() && access("/usr/bin/journalctl", X_OK) == 0;
    std::streamoff offset = 0;
    std::string before;
    if (!log.empty())
        offset = std::max<std::streamoff>(
            0, std::ifstream(log, std::ios::binary | std::ios::ate).tellg());
    else if (use_journal)
        before = probe_last_counters(journal(), pid);
    if (kill(pid, SIGUSR1) != 0) {
        std::fprintf(stderr, "kovex4-probe: cannot signal process %d: %s\n", pid,
                     std::strerror(errno));
        return 2;
    }
    // The gateway logs the line from its main loop within a second.
    std::string counters;
    for (int tries = 0; tries < 30 && counters.empty() && (!log.empty() || use_journal); ++tries) {
        wait_until(wait_clock_us() + 100000);
        if (!log.empty())
            counters = probe_last_counters(read_from(log, offset), pid);
        else if (const std::string now = probe_last_counters(journal(), pid); now != before)
            counters = now;
    }
    const std::string source = !log.empty() ? log : use_journal ? "journalctl -t kovex4" : "";
    const std::vector<ProbeCounter> values = probe_parse_counters(counters);
    if (opt.json) {
        Json json;
        json.object().key("pid").value(pid).key("log");
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
    std::printf("Sent SIGUSR1 to kovex4, process %d.\n", pid);
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
