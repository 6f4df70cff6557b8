// SPDX-License-Identifier: Apache-2.0
#pragma once
// Fixtures of the tests of the real daemon, which need root for its private mount namespaces.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"

// Fails the test unless it runs as root: a test the test command runs must not pass unseen
// without having run. `ctest -L unit` leaves these tests out.
#define KOVEX4_NEEDS_ROOT()                                                                        \
    if (geteuid() != 0)                                                                            \
    GTEST_FAIL() << "needs root for private mount namespaces: run the tests as root, or only "     \
                    "those that do not need it (ctest -L unit)"

// The start of the line the gateway logs about a TLS client it refused.
inline const std::string FAILED = "TLS handshake with 127.0.0.1 failed: ";

// A daemon of the test's, not started yet; its device holds 11 and 22 in registers 1025-1026.
class DaemonFixture : public ::testing::Test {
protected:
    void SetUp() override {
        KOVEX4_NEEDS_ROOT();
        d.sim().with([](DevSim& s) {
            s.items['i'][1] = 11;
            s.items['i'][2] = 22;
        });
    }
    // The device's 'i' item n, register 1024 + n.
    uint16_t item(int n) {
        return d.sim().with([n](DevSim& s) { return s.items['i'][n]; });
    }
    Daemon d;
};

// Beside the daemon, in `certs` (a folder of the test's), the certificates that tls_peer.py makes
// with openssl, for the tests of Modbus over TLS.
class TlsDaemon : public DaemonFixture {
protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_EQ(run_command("mkdir -p " + certs +
                                  " && /usr/bin/python3 " KOVEX4_TLS_PEER " certs " + certs +
                                  " 2>&1"),
                      "ok\n");
        }
    }
    // The TLS settings: the gateway's certificate and key, files of `certs` (the key by default
    // the certificate's name with ".key"), and the authority.
    std::string tls_settings(const std::string& cert = "gateway.pem", std::string key = "") const {
        if (key.empty())
            key = cert.substr(0, cert.rfind('.')) + ".key";
        return "MOD_KOVEX4_TLS_CERT=" + certs + "/" + cert + "\nMOD_KOVEX4_TLS_KEY=" + certs + "/" +
               key + "\nMOD_KOVEX4_TLS_CA=" + certs + "/ca.pem\n";
    }
    const std::string certs = d.dir().file("certs");
};
