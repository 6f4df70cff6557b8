// SPDX-License-Identifier: Apache-2.0
// kovex4-probe against the real gateway: its Modbus client, plain and over TLS, and its judgement
// of the TLS files next to what the gateway's handshake does with them. Certificates are made by
// openssl for each test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "run_probe.h"

namespace {

const std::string FAILED = "TLS handshake with 127.0.0.1 failed: ";

class ProbeGateway : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for private mount namespaces";
        certs = d.dir().file("certs");
        ASSERT_EQ(run_command("mkdir -p " + certs +
                              " && /usr/bin/python3 " KOVEX4_TLS_PEER " certs " + certs + " 2>&1"),
                  "ok\n");
        // Beside those: certificates whose extended key usage is the other one.
        make_cert("serverclient", "extendedKeyUsage=serverAuth\n" + std::string(ROLE) + "operator");
        make_cert("clientgateway", "extendedKeyUsage=clientAuth\nsubjectAltName=IP:127.0.0.1");
        make_cert("servergateway", "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1");
        d.sim().with([](DevSim& s) {
            s.items['i'][1] = 11;
            s.items['i'][2] = 22;
        });
    }
    static constexpr const char* ROLE = "1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:";
    // NAME.pem and NAME.key signed by the test's authority, with the extension lines `ext`.
    void make_cert(const std::string& name, const std::string& ext) {
        write_file(certs + "/" + name + ".ext", "basicConstraints=CA:FALSE\n" + ext + "\n");
        ASSERT_EQ(run_command("cd " + certs +
                              " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                              "-nodes -keyout " +
                              name + ".key -out " + name + ".csr -subj /CN=" + name +
                              " 2>/dev/null && openssl x509 -req -in " + name +
                              ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile " +
                              name + ".ext -out " + name + ".pem 2>/dev/null && echo ok"),
                  "ok\n");
    }
    std::string tls_settings(const std::string& gateway = "gateway") const {
        return "MOD_KOVEX4_TLS_CERT=" + certs + "/" + gateway +
               ".pem\nMOD_KOVEX4_TLS_KEY=" + certs + "/" + gateway +
               ".key\nMOD_KOVEX4_TLS_CA=" + certs + "/ca.pem\n";
    }
    // kovex4-probe modbus to the daemon, as client `name` of the test's certificates ("" plain).
    Ran modbus(const std::string& name, const std::string& request,
               const std::string& host = "127.0.0.1") const {
        std::string args = "modbus --host " + host + " --port " + std::to_string(d.port());
        if (!name.empty())
            args += " --cert " + certs + "/" + name + ".pem --key " + certs + "/" + name +
                    ".key --ca " + certs + "/ca.pem";
        return probe(args + " " + request);
    }
    uint16_t item(int n) {
        return d.sim().with([n](DevSim& s) { return s.items['i'][n]; });
    }
    Daemon d;
    std::string certs;
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
    const Ran write = modbus("", "write 1026 7 0x10");
    EXPECT_EQ(write.status, 0) << write.out;
    EXPECT_NE(write.out.find("Registers 1027-1028 (address 0x0402) written"), std::string::npos)
        << write.out;
    EXPECT_EQ(item(3), 7);
    EXPECT_EQ(item(4), 16);
    d.sim().with([](DevSim& s) { s.next_faults = {SimFault::nak}; });
    const Ran failed = modbus("", "read 1024 1");
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.out.find("Register 1025 (address 0x0400): exception 4, Server Device Failure"),
              std::string::npos)
        << failed.out;
    const Ran json = modbus("", "--json read 1025 1");
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("\"tls\":false,\"request\":\"read\",\"address\":1025,\"count\":1,"
                            "\"values\":[22]}"),
              std::string::npos)
        << json.out;
    const Ran tls = modbus("writer", "read 1024 1");
    EXPECT_EQ(tls.status, 2);
    EXPECT_NE(tls.out.find("kovex4-probe: TLS handshake failed: SSL - The operation timed out (no "
                           "TLS answer within 10 s: is it a plain Modbus port?"),
              std::string::npos)
        << tls.out;
}

// Over TLS: a writer reads and writes, a reader's write gets exception 1, a certificate of another
// authority and plain Modbus get no answer, said in words; the gateway is checked by its address
// or its name.
TEST_F(ProbeGateway, ModbusClientOverTls) {
    ASSERT_TRUE(d.start(
        d.settings(tls_settings() + "MOD_KOVEX4_TLS_WRITERS=operator\nMOD_KOVEX4_CLIENTS=4\n")));
    ASSERT_TRUE(d.wait_listening());
    const Ran read = modbus("writer", "read 0x400 2");
    EXPECT_EQ(read.status, 0) << read.out;
    EXPECT_NE(read.out.find(" over TLS as " + certs +
                            "/writer.pem (role operator)\n"
                            "Registers 1025-1026 (address 0x0400) read:\n   1025     11"),
              std::string::npos)
        << read.out;
    EXPECT_EQ(modbus("writer", "write 1026 5", "localhost").status, 0);
    EXPECT_EQ(item(3), 5);
    const Ran reader = modbus("reader", "write 1026 9");
    EXPECT_EQ(reader.status, 1);
    EXPECT_NE(reader.out.find("(role viewer)\nRegister 1027 (address 0x0402): exception 1, "
                              "Illegal Function"),
              std::string::npos)
        << reader.out;
    EXPECT_EQ(item(3), 5);
    const Ran foreign = modbus("foreign", "read 1024 1");
    EXPECT_EQ(foreign.status, 2);
    EXPECT_NE(foreign.out.find("kovex4-probe: TLS handshake failed: "), std::string::npos)
        << foreign.out;
    EXPECT_NE(foreign.out.find("the gateway refused the handshake; its log says why"),
              std::string::npos)
        << foreign.out;
    EXPECT_TRUE(d.wait_log(FAILED + "X509 - Certificate verification failed, e.g. CRL, CA or "
                                    "signature check failed; The certificate is not correctly "
                                    "signed by the trusted CA"));
    const Ran plain = modbus("", "read 1024 1");
    EXPECT_EQ(plain.status, 2);
    EXPECT_TRUE(
        d.wait_log(FAILED + "SSL - Processing of the ClientHello handshake message failed"));
    EXPECT_NE(plain.out.find("closed the connection without an answer (is its port a TLS one?"),
              std::string::npos)
        << plain.out;
}

// The probe's verdicts on certificates with each extended key usage, beside what the gateway's
// handshake does with them: a client certificate for servers only is refused, a gateway
// certificate for clients only serves nobody, one for servers only cannot be presented for the
// push. With read-only service a writer's role may only read.
TEST_F(ProbeGateway, ExtendedKeyUsageJudgedAsTheGatewayDoes) {
    const std::string file = d.dir().file("probe-settings");
    const auto settings = [&](const std::string& extra, const std::string& client) {
        write_file(file, "MOD_KOVEX4_DEVICE=null\nMOD_KOVEX4_PORT=802\n"
                         "MOD_KOVEX4_TLS_WRITERS=operator\n" +
                             extra);
        return probe("settings -c " + file + " --client-cert " + certs + "/" + client + ".pem");
    };
    const struct {
        std::string extra, client, finding;
        int status;
    } rows[] = {
        {tls_settings(), "writer", "writer.pem: role operator, may write", 0},
        {tls_settings() + "MOD_KOVEX4_READ_ONLY=1\n", "writer",
         "writer.pem: role operator, may only read (MOD_KOVEX4_READ_ONLY is on)", 0},
        {tls_settings(), "serverclient",
         "serverclient.pem would be refused: its extended key usage lacks clientAuth", 1},
        {tls_settings("clientgateway"), "writer",
         "MOD_KOVEX4_TLS_CERT: the certificate cannot serve: its extended key usage lacks "
         "serverAuth",
         1},
        {tls_settings("servergateway"), "writer", "writer.pem: role operator, may write", 0},
        {tls_settings("servergateway") + "MOD_KOVEX4_IPADDR=192.0.2.7\n", "writer",
         "MOD_KOVEX4_TLS_CERT: the certificate cannot be presented for the push over TLS to "
         "192.0.2.7: its extended key usage lacks clientAuth",
         1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.finding);
        const Ran ran = settings(row.extra, row.client);
        EXPECT_NE(ran.out.find(row.finding), std::string::npos) << ran.out;
        EXPECT_EQ(ran.status, row.status) << ran.out;
    }

    // The gateway: the client certificate for servers only is refused, ...
    ASSERT_TRUE(d.start(d.settings(tls_settings() + "MOD_KOVEX4_CLIENTS=4\n")));
    ASSERT_TRUE(d.wait_listening());
    EXPECT_EQ(modbus("serverclient", "read 1024 1").status, 2);
    EXPECT_TRUE(d.wait_log(FAILED + "SSL - Processing of the Certificate handshake message failed"))
        << d.logs().back().text;
    d.stop();
    // ... and with the certificate for clients only no client is served.
    Daemon other;
    ASSERT_TRUE(other.start(other.settings(tls_settings("clientgateway"))));
    ASSERT_TRUE(other.wait_listening());
    const Ran refused = probe("modbus --host 127.0.0.1 --port " + std::to_string(other.port()) +
                              " --cert " + certs + "/writer.pem --key " + certs +
                              "/writer.key --ca " + certs + "/ca.pem read 1024 1");
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(other.wait_log(FAILED + "SSL - None of the common ciphersuites is usable (eg, no "
                                        "suitable certificate, see debug messages)"))
        << other.logs().back().text;
    EXPECT_NE(refused.out.find("the gateway refused the handshake; its log says why"),
              std::string::npos)
        << refused.out;
}

} // namespace
