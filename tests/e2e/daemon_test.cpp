// SPDX-License-Identifier: Apache-2.0
// The real daemon against the simulated field device, with raw sockets and third-party clients.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

std::string peer(unsigned port, const std::string& args) {
    return run_command("/usr/bin/python3 " KOVEX4_PEER " client " + std::to_string(port) + " " +
                       args + " 2>&1");
}

class DaemonTest : public DaemonFixture {
protected:
    void start_serving(const std::string& settings, const std::string& extra_link = "") {
        ASSERT_TRUE(d.start(settings, extra_link));
        ASSERT_TRUE(d.wait_listening()) << "daemon exit status " << d.wait_exit(0);
    }
};

TEST_F(DaemonTest, ServesReadsAndWritesToThirdPartyClients) {
    d.sim().with([](DevSim& s) {
        s.items['a'][1] = 300;
        s.items['a'][2] = 5;
        s.items['i'][1] = 0xBEEF;
        s.items['H'][3] = 200;
    });
    start_serving(d.settings());
    // The lock file names the daemon's process id, right-aligned in ten characters.
    EXPECT_EQ(read_file(d.lock_file()), pid_text(d.pid()));

    EXPECT_EQ(peer(d.port(), "read 16 2"), "values 300 5\n");
    EXPECT_EQ(peer(d.port(), "read 1024 1"), "values 48879\n");
    EXPECT_EQ(peer(d.port(), "read 514 1"), "values 200\n");
    EXPECT_EQ(peer(d.port(), "write 1025 4660 22136"), "ok\n");
    // mbpoll, PDU addressing: reads what pymodbus wrote, and writes.
    const std::string mbpoll = "mbpoll -m tcp -0 -1 -t 4 -p " + std::to_string(d.port());
    const std::string out = run_command(mbpoll + " -r 1025 -c 2 127.0.0.1 2>&1");
    EXPECT_NE(out.find("[1025]: \t4660"), std::string::npos) << out;
    EXPECT_NE(out.find("[1026]: \t22136"), std::string::npos) << out;
    const std::string wrote = run_command(mbpoll + " -r 1027 127.0.0.1 7 8 2>&1");
    EXPECT_NE(wrote.find("Written 2 references"), std::string::npos) << wrote;
    d.sim().with([](DevSim& s) {
        EXPECT_EQ(s.items['i'][2], 0x1234);
        EXPECT_EQ(s.items['i'][3], 0x5678);
        EXPECT_EQ(s.items['i'][4], 7);
        EXPECT_EQ(s.items['i'][5], 8);
    });
}

TEST_F(DaemonTest, SilentDeviceGivesExceptionFourAndALogLine) {
    start_serving(d.settings());
    d.sim().with([](DevSim& s) { s.next_faults.push_back(SimFault::silent); });
    const int fd = connect_local(d.port());
    EXPECT_EQ(request_reply(fd, read_request(7, 0x0400, 2)), hex("00 07 00 00 00 03 01 83 04"));
    EXPECT_TRUE(d.wait_log("read failed (RN 1025, WC 2)"));
    close(fd);
}

// What ends the start with status 1, saying so: a lock held by a live process (this one); a FIFO
// or a symbolic link (to a file holding this process's id) under the lock's name, which whoever
// may write to the lock folder can put there, at once, instead of waiting on the FIFO for ever or
// taking the link's target for a lock; a device that cannot be opened.
TEST_F(DaemonTest, LockedOrUnopenableDeviceEndsStartWithStatusOne) {
    const std::string held = d.dir().file("held");
    write_file(held, pid_text(getpid()));
    for (const std::string lock_is : {"held", "a FIFO", "a link"}) {
        SCOPED_TRACE(lock_is);
        Daemon daemon;
        const std::string lock = daemon.lock_file();
        if (lock_is == "held")
            write_file(lock, pid_text(getpid()));
        else
            ASSERT_EQ(lock_is == "a FIFO" ? mkfifo(lock.c_str(), 0666)
                                          : symlink(held.c_str(), lock.c_str()),
                      0);
        ASSERT_TRUE(daemon.start(daemon.settings()));
        EXPECT_EQ(daemon.wait_exit(5000), 1);
        const std::string why =
            lock_is == "held"
                ? "is locked"
                : "cannot be locked: /var/lock/" + daemon.lock_name() + " is not a regular file";
        EXPECT_TRUE(daemon.wait_log("device /dev/ttyGW0 " + why));
        EXPECT_EQ(daemon.count_log("device /dev/ttyGW0 is locked"), lock_is == "held" ? 1 : 0);
    }
    Daemon other; // a run of its own, with its own log for a wrapper
    ASSERT_TRUE(
        other.start("MOD_KOVEX4_DEVICE=ttyNONE\nMOD_KOVEX4_PORT=" + std::to_string(other.port())));
    EXPECT_EQ(other.wait_exit(5000), 1);
    EXPECT_TRUE(other.wait_log("open(/dev/ttyNONE) error: No such file or directory"));
}

// A device path in subfolders is opened whole and locked by the name of the device it resolves
// to. The settings
// file has CR LF line ends, keys in any case, quoted values and repeated keys (the first one
// counts); the device is addressed by the station it names.
TEST_F(DaemonTest, SettingsReachTheDeviceAsWritten) {
    const std::string name = "serial/by-id/usb-field-device-if00-port0";
    d.sim().with([](DevSim& s) { s.items['a'][1] = 4242; });
    start_serving("mod_kovex4_device=\"" + name +
                      "\"\r\nMOD_KOVEX4_PORT=" + std::to_string(d.port()) +
                      "\r\nMOD_KOVEX4_PORT=1\r\nMod_Kovex4_Station=7\r\nMOD_KOVEX4_STATION=9\r\n",
                  name);
    EXPECT_EQ(peer(d.port(), "read 16 1"), "values 4242\n");
    EXPECT_EQ(read_file(d.lock_file()), pid_text(d.pid()));
    d.sim().with([](DevSim& s) {
        ASSERT_FALSE(s.requests.empty());
        EXPECT_EQ(s.requests.back().station, 7);
    });
    // A second program that names the device by its kernel name finds the line taken.
    const std::string probe =
        run_command(std::string(KOVEX4_PROBE) + " line --device pts/" + d.lock_name().substr(5) +
                    " --lock-dir " + d.lock_dir() + " --register 0x400 2>&1; echo status=$?");
    EXPECT_NE(
        probe.find("its lock file " + d.lock_file() + " names process " + std::to_string(d.pid())),
        std::string::npos)
        << probe;
    EXPECT_NE(probe.find("status=2"), std::string::npos) << probe;
}

// Any argument is refused before syslog, the lock, the line or the port are opened: one usage
// line on standard error, exit status 2, an empty lock folder and no log line.
TEST_F(DaemonTest, ArgumentsAreRefusedWithNothingTouched) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-f", "x"}, {""}}) {
        Daemon daemon;
        ASSERT_TRUE(daemon.start(daemon.settings(), "", args));
        EXPECT_EQ(daemon.wait_exit(5000), 2) << args[0];
        EXPECT_EQ(read_file(daemon.stderr_file()),
                  "usage: kovex4 (no arguments; the settings are read from "
                  "/opt/kovex4/etc/settings)\n");
        EXPECT_TRUE(std::filesystem::is_empty(daemon.lock_dir())) << args[0];
        // A line of our own through the daemon's log socket: once it has been read, anything
        // the daemon had sent would have been read before it.
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s",
                 daemon.dir().file("log.sock").c_str());
        const char marker[] = "<29>test[1]: marker";
        EXPECT_EQ(sendto(fd, marker, sizeof marker - 1, 0, reinterpret_cast<sockaddr*>(&address),
                         sizeof address),
                  ssize_t(sizeof marker - 1));
        close(fd);
        ASSERT_TRUE(daemon.wait_log("marker"));
        EXPECT_EQ(daemon.logs().size(), 1u) << daemon.logs()[0].text;
    }
}

} // namespace
