// SPDX-License-Identifier: Apache-2.0
// kovex4-probe against the real gateway: its Modbus client, plain and over TLS, and its judgement
// of the TLS files next to what the gateway's handshake does with them. Certificates are made by
// openssl for each test.
#include <gtest/gtest.h>

#include <string>

#include "fixture.h"
#include "run_probe.h"

namespace {

const std::string REFUSED = "the gateway refused the handshake; its log says why";

class ProbeGateway : public TlsDaemon {
protected:
    // kovex4-probe modbus to the daemon, as client `name` of the test's certificates ("" plain).
    Ran modbus(const std::string& name, const std::string& request,
               const std::string& host = "127.0.0.1", unsigned port = 0) const {
        std::string args =
            "modbus --host " + host + " --port " + std::to_string(port ? port : d.port());
        if (!name.empty())
            args += " --cert " + certs + "/" + name + ".pem --key " + certs + "/" + name +
                    ".key --ca " + certs + "/ca.pem";
        return probe(args + " " + request);
    }
};

// Plain Modbus: values, a write, an exception and a JSON answer, each with its exit status; a TLS
// client finds no TLS there.
TEST_F(ProbeGateway, ModbusClientPlain) {
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening());
    const Ran read = modbus("", "read 0x400 2");
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.out, "Connected to 127.0.0.1 port " + std::to_string(d.port()) +
                            " (plain Modbus TCP)\nRegisters 1025-1026 (address 0x0400) read:\n"
                            "   1025     11  0x000B\n   1026     22  0x0016\n");
    EXPECT_TRUE(
        said(modbus("", "write 1026 7 0x10"), 0, "Registers 1027-1028 (address 0x0402) written"));
    EXPECT_EQ(item(3), 7);
    EXPECT_EQ(item(4), 16);
    d.sim().with([](DevSim& s) { s.next_faults = {SimFault::nak}; });
    EXPECT_TRUE(said(modbus("", "read 1024 1"), 1,
                     "Register 1025 (address 0x0400): exception 4, Server Device Failure"));
    EXPECT_TRUE(said(modbus("", "--json read 1025 1"), 0,
                     "\"tls\":false,\"request\":\"read\",\"address\":1025,\"count\":1,"
                     "\"values\":[22]}"));
    EXPECT_TRUE(said(modbus("writer", "read 1024 1"), 2,
                     "kovex4-probe: TLS handshake failed: timed out (no TLS answer within 10 s: is "
                     "it a plain Modbus port?"));
}

// Over TLS: a writer reads and writes, a reader's write gets exception 1, a certificate of another
// authority and plain Modbus get no answer, said in words; the gateway is checked by its address
// or its name.
TEST_F(ProbeGateway, ModbusClientOverTls) {
    ASSERT_TRUE(d.start(
        d.settings(tls_settings() + "MOD_KOVEX4_TLS_WRITERS=operator\nMOD_KOVEX4_CLIENTS=4\n")));
    ASSERT_TRUE(d.wait_listening());
    EXPECT_TRUE(said(modbus("writer", "read 0x400 2"), 0,
                     " over TLS as " + certs +
                         "/writer.pem (role operator)\n"
                         "Registers 1025-1026 (address 0x0400) read:\n   1025     11"));
    // --name: the name to expect apart from the address connected to.
    EXPECT_EQ(modbus("writer", "--name localhost read 1024 1").status, 0);
    EXPECT_TRUE(said(modbus("writer", "--name gw.example read 1024 1"), 2,
                     "hostname mismatch (the gateway's certificate must chain to --ca, carry "
                     "the name given as --name"));
    EXPECT_TRUE(said(modbus("writer", "--name 127.0.0.2 read 1024 1"), 2,
                     "certificate does not name 127.0.0.2 (no such IP address"));
    EXPECT_EQ(modbus("writer", "write 1026 5", "localhost").status, 0);
    EXPECT_EQ(item(3), 5);
    EXPECT_TRUE(
        said(modbus("reader", "write 1026 9"), 1,
             "(role viewer)\nRegister 1027 (address 0x0402): exception 1, Illegal Function"));
    EXPECT_EQ(item(3), 5);
    EXPECT_TRUE(said(modbus("foreign", "read 1024 1"), 2, REFUSED));
    EXPECT_TRUE(d.wait_log(FAILED + "unable to get local issuer certificate"));
    const Ran plain = modbus("", "read 1024 1");
    EXPECT_TRUE(d.wait_log(FAILED + "wrong version number"));
    EXPECT_TRUE(said(plain, 2, "closed the connection without an answer (is its port a TLS one?"));
    EXPECT_EQ(plain.out.rfind("Connected to 127.0.0.1 port", 0), 0u) << plain.out;
}

// The probe's verdicts on the TLS files and a client's certificate, judged as the gateway's
// handshake and role check would judge them. Beside them what the gateway does with two: a client
// certificate for servers only is refused, a gateway certificate for clients only serves nobody.
TEST_F(ProbeGateway, VerdictsOnTheFilesAsTheGatewayJudgesThem) {
    const std::string file = d.dir().file("probe-settings"), open_key = certs + "/open.key";
    ASSERT_EQ(run_command("cp " + certs + "/gateway.key " + open_key + " && chmod 0644 " +
                          open_key + " && echo ok"),
              "ok\n");
    const std::string no_role =
        ".pem has no role (extension 1.3.6.1.4.1.50316.802.1): the client may only read";
    const struct {
        std::string extra, client, finding; // client "": no --client-cert
        int status;
    } rows[] = {
        {tls_settings(), "writer", "writer.pem: role operator, may write", 0},
        {tls_settings(), "reader", "reader.pem: role viewer, may only read", 0},
        {"MOD_KOVEX4_TLS_WRITERS=Operator\n" + tls_settings(), "writer",
         "MOD_KOVEX4_TLS_WRITERS: " + certs +
             "/writer.pem: role operator may not write: MOD_KOVEX4_TLS_WRITERS names Operator",
         1},
        {tls_settings(), "norole", "norole" + no_role, 1},
        {tls_settings(), "twice", "twice" + no_role, 1},
        {tls_settings(), "padded", "padded" + no_role, 1},
        {tls_settings(), "foreign",
         "foreign.pem would be refused: unable to get local issuer certificate", 1},
        {tls_settings(), "expired", "expired.pem would be refused: certificate has expired", 1},
        {tls_settings() + "MOD_KOVEX4_READ_ONLY=1\n", "writer",
         "writer.pem: role operator, may only read (MOD_KOVEX4_READ_ONLY is on)", 0},
        {tls_settings(), "serverclient",
         "serverclient.pem would be refused: its extended key usage lacks clientAuth", 1},
        {tls_settings("clientgateway.pem"), "writer",
         "MOD_KOVEX4_TLS_CERT: the certificate cannot serve: its extended key usage lacks "
         "serverAuth",
         1},
        // A gateway certificate for servers only serves, but cannot be presented for the push.
        {tls_settings("servergateway.pem"), "writer", "writer.pem: role operator, may write", 0},
        {tls_settings("servergateway.pem") + "MOD_KOVEX4_IPADDR=192.0.2.7\n", "writer",
         "MOD_KOVEX4_TLS_CERT: the certificate cannot be presented for the push over TLS to "
         "192.0.2.7: its extended key usage lacks clientAuth",
         1},
        {tls_settings("gateway.pem", "writer.key"), "",
         "MOD_KOVEX4_TLS_CERT: " + certs + "/writer.key: the key does not match the certificate " +
             certs + "/gateway.pem: the gateway ends at start",
         1},
        {tls_settings("expired.pem"), "",
         "MOD_KOVEX4_TLS_CERT: the certificate expired on 2020-01-02", 1},
        {tls_settings("gateway.pem", "open.key"), "", "the key can be read by other users", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.finding);
        write_file(file, "MOD_KOVEX4_DEVICE=null\nMOD_KOVEX4_PORT=802\n" + row.extra +
                             "MOD_KOVEX4_TLS_WRITERS=operator\n");
        const Ran ran = probe(
            "settings -c " + file +
            (row.client.empty() ? "" : " --client-cert " + certs + "/" + row.client + ".pem"));
        EXPECT_TRUE(said(ran, row.status, row.finding));
    }

    // The gateway: the client certificate for servers only is refused, ...
    ASSERT_TRUE(d.start(d.settings(tls_settings() + "MOD_KOVEX4_CLIENTS=4\n")));
    ASSERT_TRUE(d.wait_listening());
    EXPECT_EQ(modbus("serverclient", "read 1024 1").status, 2);
    EXPECT_TRUE(d.wait_log(FAILED + "unsuitable certificate purpose")) << d.logs().back().text;
    d.stop();
    // ... and with the certificate for clients only no client is served: the clients refuse it.
    Daemon other;
    ASSERT_TRUE(other.start(other.settings(tls_settings("clientgateway.pem"))));
    ASSERT_TRUE(other.wait_listening());
    EXPECT_TRUE(said(modbus("writer", "read 1024 1", "127.0.0.1", other.port()), 2,
                     "TLS handshake failed: unsuitable certificate purpose (the gateway's "
                     "certificate must chain to --ca"));
    EXPECT_TRUE(other.wait_log(FAILED + "alert unsupported certificate"))
        << other.logs().back().text;
    other.stop();
    // A gateway's certificate out of its dates: the probe's hint names the dates.
    Daemon late;
    ASSERT_TRUE(late.start(late.settings(tls_settings("expired.pem"))));
    ASSERT_TRUE(late.wait_listening());
    EXPECT_TRUE(said(modbus("writer", "read 1024 1", "127.0.0.1", late.port()), 2,
                     "certificate has expired (a date: the gateway's certificate "
                     "has expired or is not valid yet"));
}

} // namespace
