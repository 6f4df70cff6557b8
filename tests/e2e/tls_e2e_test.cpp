// SPDX-License-Identifier: Apache-2.0
// Modbus over TLS through the real daemon: Python's ssl module as the client, certificates made
// by openssl for each test (tls_peer.py).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fixture.h"

namespace {

const std::string PEER = std::string("/usr/bin/python3 ") + KOVEX4_TLS_PEER + " ";

class TlsServer : public TlsDaemon {
protected:
    // kovex4-pushrecv at `bind` on the gateway's port, presenting certificate `name`, trusting
    // authority `ca`.
    pid_t receiver(const std::string& name, const char* bind = "127.0.0.1",
                   const std::string& ca = "ca") {
        const pid_t pid =
            spawn_to_file({KOVEX4_PUSHRECV, "--bind", bind, "--port", std::to_string(d.port()),
                           "--tls-cert", certs + "/" + name + ".pem", "--tls-key",
                           certs + "/" + name + ".key", "--tls-ca", certs + "/" + ca + ".pem"},
                          pushed());
        EXPECT_TRUE(wait_file_contains(pushed(), "listening", 5000)) << read_file(pushed());
        return pid;
    }
    std::string pushed() const { return d.dir().file("pushrecv.out"); }
    // The gateway pushing registers 1025-1026 to `ipaddr`, with the alarm register 1029 (item 5)
    // set; the first push comes a minute after start-up.
    void start_pushing(const std::string& ipaddr) {
        d.sim().with([](DevSim& s) { s.items['i'][5] = 1; });
        ASSERT_TRUE(d.start(d.settings(tls_settings() + "MOD_KOVEX4_IPADDR=" + ipaddr +
                                       "\nMOD_KOVEX4_DATA_PERIOD=3600\nMOD_KOVEX4_ALARM_PERIOD=1\n"
                                       "MOD_KOVEX4_START1=1025\nMOD_KOVEX4_COUNT1=2\n"
                                       "MOD_KOVEX4_ALARM1=1029\n")));
    }
    void start_serving(const std::string& extra = "", int clients = 4) {
        ASSERT_TRUE(d.start(d.settings(
            tls_settings() + "MOD_KOVEX4_CLIENTS=" + std::to_string(clients) + "\n" + extra)));
        ASSERT_TRUE(d.wait_listening());
        // The connection that found the port open ended without a handshake.
        ASSERT_TRUE(d.wait_log(FAILED + "the connection was closed"));
    }
    std::string peer(const std::string& args) const { return run_command(PEER + args + " 2>&1"); }
    std::string client(const std::string& name, const std::string& version = "") const {
        return peer("client " + std::to_string(d.port()) + " " + certs + " " + name + " " +
                    version);
    }
};

// The tests that a client of each TLS version passes alike (the parameter: "1.2" or "1.3").
class TlsVersions : public TlsServer, public ::testing::WithParamInterface<const char*> {
protected:
    std::string version() const { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Tls, TlsVersions, ::testing::Values("1.2", "1.3"));

// Each client's certificate decides whether it is served and whether it may write (that no plain
// Modbus is served: ProbeGateway.ModbusClientOverTls).
TEST_P(TlsVersions, CertificatesAndRoles) {
    start_serving("MOD_KOVEX4_TLS_WRITERS=engineer, operator\n");
    const std::string read_only = "read 11 22 write exception 1\n", refused = "handshake failed\n";
    const std::string as = "TLS connection from 127.0.0.1 established (role ";
    const struct Row {
        const char* name;
        std::string output, log; // the log: the line the gateway logs about the client
        uint16_t written;
    } rows[] = {
        {"writer", "read 11 22 write ok\n", as + "operator)", 7},
        {"reader", read_only, as + "viewer)", 0},
        {"norole", read_only, as + "none)", 0},
        {"none", refused, FAILED + "peer did not return a certificate", 0},
        {"foreign", refused, FAILED + "unable to get local issuer certificate", 0},
        {"impostor", refused, FAILED + "unable to get local issuer certificate", 0},
        {"expired", refused, FAILED + "certificate has expired", 0},
        // A role extension twice (the writer's first), or with bytes after its text: no role.
        {"twice", read_only, as + "none)", 0},
        {"padded", read_only, as + "none)", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        d.sim().with([](DevSim& s) { s.items['i'][3] = 0; });
        const int before = d.count_log(row.log); // several rows log the same line
        EXPECT_EQ(client(row.name, version()), row.output);
        EXPECT_TRUE(d.wait_log_count(row.log, before + 1, 5000));
        EXPECT_EQ(item(3), row.written);
    }
    EXPECT_EQ(d.count_log(FAILED, true), 5);
}

// A client that comes back on its session shows no certificate, and keeps the role its
// certificate gave it: a reader still may not write.
TEST_P(TlsVersions, ResumedSessionKeepsItsRole) {
    start_serving("MOD_KOVEX4_TLS_WRITERS=operator\n");
    const std::string port = std::to_string(d.port());
    EXPECT_EQ(peer("resume " + port + " " + certs + " reader " + version()),
              "resumed read 11 22 write exception 1\n");
    EXPECT_EQ(item(3), 0);
    EXPECT_EQ(d.count_log("TLS connection from 127.0.0.1 established (role viewer)"), 2);
    EXPECT_EQ(peer("resume " + port + " " + certs + " writer " + version()),
              "resumed read 11 22 write ok\n");
    EXPECT_EQ(item(3), 7);
    EXPECT_EQ(d.count_log("TLS connection from 127.0.0.1 established (role operator)"), 2);
}

// Without MOD_KOVEX4_TLS_WRITERS no role writes.
TEST_F(TlsServer, NoWritersNobodyWrites) {
    start_serving();
    EXPECT_EQ(client("writer"), "read 11 22 write exception 1\n");
    EXPECT_EQ(item(3), 0);
}

// Files that cannot be used end the gateway at start with the reason, as an unopenable serial line
// does: it never reports itself ready to the service manager, nor serves plain Modbus meanwhile.
TEST_F(TlsServer, BrokenFilesEndTheGateway) {
    const std::pair<std::string, std::string> rows[] = {
        {tls_settings("gateway.pem", "writer.key"),
         certs + "/writer.key: the key does not match the certificate " + certs + "/gateway.pem"},
        {tls_settings("missing.pem"), certs + "/missing.pem: No such file or directory"},
        {tls_settings("gateway.key"), certs + "/gateway.key: no PEM certificate in it"},
        {tls_settings("gateway.pem", "gateway.pem"),
         certs + "/gateway.pem: no PEM private key in it"},
        // Nobody is there to give its password: the gateway does not wait for one.
        {tls_settings("gateway.pem", "encrypted.key"),
         certs + "/encrypted.key: the key is encrypted"},
        {"MOD_KOVEX4_TLS_CERT=" + certs + "/gateway.pem\n", "MOD_KOVEX4_TLS_KEY is not set"},
    };
    for (const auto& [settings, log] : rows) {
        SCOPED_TRACE(log);
        Daemon daemon;
        NotifyListener manager(daemon.dir().file("notify.sock"));
        daemon.add_env("NOTIFY_SOCKET=" + daemon.dir().file("notify.sock"));
        ASSERT_TRUE(daemon.start(daemon.settings(settings)));
        EXPECT_EQ(daemon.wait_exit(10000), 1);
        EXPECT_TRUE(daemon.wait_log("TLS setup error: " + log));
        EXPECT_LT(connect_local(daemon.port()), 0);
        EXPECT_TRUE(manager.messages().empty());
        EXPECT_NE(access(daemon.lock_file().c_str(), F_OK), 0) << "a lock left behind";
    }
}

// Clients that stop in their handshake (one silent, one after the first bytes of a ClientHello
// record: its header and a little of its body) hold nobody up, and are dropped when their time
// is up: the silent one sooner.
TEST_F(TlsServer, StalledHandshakes) {
    start_serving("MOD_KOVEX4_TLS_WRITERS=operator\n");
    const int silent = connect_local(d.port()), half = connect_local(d.port());
    const uint8_t hello[] = {0x16, 0x03, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFC, 0x03, 0x03};
    ASSERT_EQ(send(half, hello, sizeof hello, MSG_NOSIGNAL), ssize_t(sizeof hello));
    EXPECT_TRUE(d.wait_log_count("TCP connection from 127.0.0.1 established", 3, 20000));
    EXPECT_EQ(client("writer"), "read 11 22 write ok\n");
    EXPECT_TRUE(d.wait_log(FAILED + "nothing received within 3 seconds", 20000));
    EXPECT_TRUE(d.wait_log(FAILED + "not done within 10 seconds", 30000));
    for (int fd : {silent, half}) {
        EXPECT_LE(drain(fd, 20000), 0); // ended by the gateway
        close(fd);
    }
}

// Garbage and records cut short end their own connection only; the next client is served.
TEST_P(TlsVersions, GarbageAndTruncatedRecords) {
    start_serving("MOD_KOVEX4_TLS_WRITERS=operator\n");
    EXPECT_EQ(peer("garbage " + std::to_string(d.port()) + " " + certs + " " + version()),
              "closed\nclosed\nclosed\nclosed\nclosed\nclosed\n");
    EXPECT_EQ(d.count_log(FAILED, true), 5);
    EXPECT_TRUE(d.wait_log("recv error: decryption failed or bad record mac"));
    EXPECT_EQ(client("writer", version()), "read 11 22 write ok\n");
}

// Chains made to cost the gateway seconds of verification are refused from what they are, before
// any signature of them is checked (the refusal names what the gateway found, where the
// verification would have failed on a signature or an issuer); peers that send more than a
// handshake needs are ended. The next client is served.
TEST_P(TlsVersions, HostileChainsRefusedUnverified) {
    start_serving("MOD_KOVEX4_TLS_WRITERS=operator\n");
    const std::pair<const char*, const char*> rows[] = {
        {"heavy", "certificate 2 of the chain has an RSA key of 8192 bits (2048 to 4096 accepted)"},
        {"exponent",
         "certificate 2 of the chain has an RSA exponent of 4000 bits (at most 32 accepted)"},
        {"long", "the certificate chain holds more than 4 certificates"},
        {"repeated", "certificate 3 of the chain has the subject of an earlier one"},
        // Names that differ only in letter case are one name to the verification.
        {"cased", "certificate 3 of the chain has the subject of an earlier one"},
        {"curve", "certificate 1 of the chain has a key that is not EC P-256 or P-384 or RSA"},
        {"alerts", "too many warn alerts"},
        {"fragments", "more than 16384 bytes before the end of the handshake"},
    };
    for (const auto& [kind, reason] : rows) {
        SCOPED_TRACE(kind);
        // Counted: two rows give the same reason.
        const int before = d.count_log(FAILED + reason);
        EXPECT_EQ(peer("hostile " + std::to_string(d.port()) + " " + certs + " " + kind + " " +
                       version()),
                  "refused\n");
        EXPECT_TRUE(d.wait_log_count(FAILED + reason, before + 1, 5000));
    }
    EXPECT_EQ(client("writer", version()), "read 11 22 write ok\n");
}

// Only ephemeral ECDHE key exchange with AEAD ciphers, on x25519, P-256 or P-384, is agreed on,
// over TLS 1.2 and 1.3.
TEST_F(TlsServer, OnlyEphemeralAeadSuitesAndGroups) {
    start_serving();
    const std::string port = std::to_string(d.port());
    // What openssl agrees on when it offers only `offer`: the line of `what` ("Cipher is" or
    // "Temp Key:") with what follows it.
    auto agreed = [&](const std::string& offer, const std::string& what) {
        return run_command("openssl s_client -connect 127.0.0.1:" + port + " " + offer + " -cert " +
                           certs + "/writer.pem -key " + certs + "/writer.key -CAfile " + certs +
                           "/ca.pem </dev/null 2>&1 | grep -o '" + what + " .*'");
    };
    const std::string none = "Cipher is (NONE)\n";
    const struct {
        std::string offer, what, answer;
    } rows[] = {
        {"-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256", "Cipher is",
         "Cipher is ECDHE-ECDSA-AES128-GCM-SHA256\n"},
        {"-tls1_2 -cipher ECDHE-ECDSA-AES256-GCM-SHA384", "Cipher is",
         "Cipher is ECDHE-ECDSA-AES256-GCM-SHA384\n"},
        {"-tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305", "Cipher is",
         "Cipher is ECDHE-ECDSA-CHACHA20-POLY1305\n"},
        {"-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA", "Cipher is", none},
        {"-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA256", "Cipher is", none},
        {"-tls1_2 -cipher ECDHE-ECDSA-AES128-CCM8", "Cipher is", none},
        {"-tls1_2 -cipher ECDHE-ECDSA-CAMELLIA128-SHA256", "Cipher is", none},
        {"-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256", "Cipher is",
         "Cipher is TLS_AES_128_GCM_SHA256\n"},
        {"-tls1_3 -ciphersuites TLS_AES_256_GCM_SHA384", "Cipher is",
         "Cipher is TLS_AES_256_GCM_SHA384\n"},
        {"-tls1_3 -ciphersuites TLS_CHACHA20_POLY1305_SHA256", "Cipher is",
         "Cipher is TLS_CHACHA20_POLY1305_SHA256\n"},
        {"-tls1_3 -ciphersuites TLS_AES_128_CCM_SHA256", "Cipher is", none},
        {"-tls1_3 -ciphersuites TLS_AES_128_CCM_8_SHA256", "Cipher is", none},
        {"-tls1_3 -groups X25519", "Temp Key:", "Temp Key: X25519, 253 bits\n"},
        {"-tls1_3 -groups P-256", "Temp Key:", "Temp Key: ECDH, prime256v1, 256 bits\n"},
        {"-tls1_3 -groups P-384", "Temp Key:", "Temp Key: ECDH, secp384r1, 384 bits\n"},
        {"-tls1_3 -groups P-521", "Cipher is", none},
        {"-tls1_3 -groups X448", "Cipher is", none},
        {"-tls1_3 -groups ffdhe2048", "Cipher is", none},
    };
    for (const auto& row : rows)
        EXPECT_EQ(agreed(row.offer, row.what), row.answer) << row.offer;
    // Static ECDH, which openssl no longer offers, in a ClientHello of the test's own:
    // ECDH-ECDSA with AES-128-GCM and with AES-128-CBC-SHA. Alert 40 is handshake_failure.
    EXPECT_EQ(peer("hello " + port + " C02D C004"), "alert 40\n");
    EXPECT_EQ(peer("hello " + port + " C02B"), "hello\n");
}

// A key that other users may read is used, with one warning at start (the probe's warning:
// tests/probe).
TEST_F(TlsServer, KeyReadableByOthers) {
    const struct {
        const char* mode;
        gid_t group; // the daemon's own group is 0 here
        bool warned;
    } rows[] = {{"0600", 0, false}, {"0640", 0, false}, {"0644", 0, true}, {"0640", 4321, true}};
    for (const auto& row : rows) {
        const std::string name = std::string("key") + row.mode + "-" + std::to_string(row.group);
        const std::string key = certs + "/" + name;
        SCOPED_TRACE(name);
        ASSERT_EQ(run_command("cp " + certs + "/gateway.key " + key + " && chmod " + row.mode +
                              " " + key + " && chgrp " + std::to_string(row.group) + " " + key +
                              " && echo ok"),
                  "ok\n");
        Daemon daemon;
        ASSERT_TRUE(daemon.start(daemon.settings(tls_settings("gateway.pem", name))));
        ASSERT_TRUE(daemon.wait_listening());
        EXPECT_EQ(daemon.count_log("TLS key " + key + " can be read by other users (mode 0" +
                                   std::string(row.mode + 1) + ")"),
                  row.warned ? 1 : 0);
    }
}

// With one client allowed, a connection replaces the established client only once its own
// handshake has succeeded: an operator polling twice a second is served throughout while others
// connect 60 times a second and send nothing or garbage (whose failures are logged within the
// limit); then a client with a certificate takes its place.
TEST_F(TlsServer, OnlyAFinishedHandshakeReplacesTheClient) {
    start_serving("", 1);
    const std::string out = d.dir().file("operator.out"), port = std::to_string(d.port());
    const pid_t op = spawn_to_file(
        {"/usr/bin/python3", KOVEX4_TLS_PEER, "operator", port, certs, "4", "0.5"}, out);
    ASSERT_TRUE(wait_file_contains(out, "connected", 20000)) << read_file(out);
    std::vector<int> others;
    while (read_file(out).find("reads") == std::string::npos && others.size() < 600) {
        const int fd = connect_local(d.port());
        if (fd >= 0 && others.size() % 2 == 1)
            send(fd, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
        others.push_back(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / 60));
    }
    ASSERT_TRUE(wait_file_contains(out, "reads", 10000));
    const std::string figures = read_file(out);
    std::printf("operator polling every 0.5 s, %zu other connections meanwhile: %s", others.size(),
                figures.substr(figures.find("reads")).c_str());
    EXPECT_NE(figures.find(" failed 0 "), std::string::npos) << figures;
    EXPECT_EQ(client("reader"), "read 11 22 write exception 1\n");
    EXPECT_TRUE(wait_file_contains(out, "closed", 10000)) << read_file(out);
    // Far fewer failures were logged than there were connections: the rest were left out.
    EXPECT_LT(d.count_log(FAILED, true), int(others.size()) / 2);
    for (int fd : others)
        close(fd);
    end_process(op);
}

// When the four handshake places are full, the oldest handshake gives way to the newest; the
// other handshakes go on.
TEST_F(TlsServer, OldestHandshakeGivesWay) {
    start_serving("", 1);
    const std::string accepted = "TCP connection from 127.0.0.1 established";
    const int before = d.count_log(accepted);
    std::vector<int> silent;
    for (int i = 1; i <= 5; ++i) {
        silent.push_back(connect_local(d.port()));
        ASSERT_TRUE(d.wait_log_count(accepted, before + i, 5000));
    }
    EXPECT_TRUE(d.wait_log(FAILED + "replaced by a newer connection"));
    EXPECT_EQ(drain(silent[0], 20000), 0);
    uint8_t byte;
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(recv(silent[i], &byte, 1, MSG_DONTWAIT), -1) << i;
        EXPECT_EQ(errno, EAGAIN) << i;
    }
    for (int fd : silent)
        close(fd);
}

// The push over TLS to kovex4-pushrecv: the gateway presents its certificate and checks the
// receiver's, by name as the setting is one. A receiver whose certificate another authority
// signed gets nothing, and neither does one that refuses the gateway's certificate (over TLS 1.3
// after the gateway's handshake has ended); the alarm stays set.
TEST_F(TlsServer, PushToReceiver) {
    pid_t pid = receiver("gateway");
    start_pushing("localhost");
    EXPECT_TRUE(
        wait_file_contains(pushed(), "slot unit=1 tid=0 start=1024 count=2 values=11,22", 75000))
        << read_file(pushed());
    EXPECT_TRUE(d.wait_log("TLS connection to localhost established"));
    EXPECT_TRUE(eventually([&] { return item(5) == 0; }, 5000));

    end_process(pid);
    pid = receiver("foreign");
    d.sim().with([](DevSim& s) { s.items['i'][5] = 2; });
    EXPECT_TRUE(d.wait_log("TLS handshake with localhost failed: unable to get local issuer "
                           "certificate",
                           15000));
    EXPECT_TRUE(wait_file_contains(pushed(), "tls handshake failed", 5000)) << read_file(pushed());
    EXPECT_EQ(item(5), 2);
    end_process(pid);

    pid = receiver("gateway", "127.0.0.1", "otherca");
    EXPECT_TRUE(d.wait_log("TLS handshake with localhost failed: alert unknown ca", 15000));
    EXPECT_TRUE(wait_file_contains(pushed(),
                                   "tls handshake failed: unable to get local issuer "
                                   "certificate",
                                   5000))
        << read_file(pushed());
    EXPECT_EQ(item(5), 2);
    end_process(pid);
}

// With MOD_KOVEX4_IPADDR an address, the receiver's certificate must carry it: a certificate of
// the same authority for another address gets nothing, and the alarm stays set.
TEST_F(TlsServer, PushReceiverByAddress) {
    pid_t pid = receiver("gateway", "127.0.0.3"); // for 127.0.0.1 and localhost
    start_pushing("127.0.0.3");
    EXPECT_TRUE(d.wait_log("TLS handshake with 127.0.0.3 failed: the certificate has no subject "
                           "alternative name IP:127.0.0.3",
                           75000));
    EXPECT_EQ(read_file(pushed()).find("slot"), std::string::npos) << read_file(pushed());
    EXPECT_EQ(item(5), 1);

    end_process(pid);
    pid = receiver("receiver", "127.0.0.3"); // IP:127.0.0.3
    EXPECT_TRUE(
        wait_file_contains(pushed(), "slot unit=1 tid=0 start=1024 count=2 values=11,22", 15000))
        << read_file(pushed());
    EXPECT_TRUE(d.wait_log("TLS connection to 127.0.0.3 established"));
    EXPECT_TRUE(eventually([&] { return item(5) == 0; }, 5000));
    end_process(pid);
}

} // namespace
