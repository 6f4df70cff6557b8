// SPDX-License-Identifier: Apache-2.0
// kovex4-probe settings: the settings file key by key, as the gateway uses it, with warnings.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
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
#include "sys/sockets.h"
#include "sys/tls.h"

namespace {

// The user the packaged service runs as.
constexpr const char* SERVICE_USER = "kovex4";

// The IPv4 addresses of this machine, host order (loopback included).
std::vector<uint32_t> local_addresses() {
    std::vector<uint32_t> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next)
        if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET)
            out.push_back(
                ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr));
    freeifaddrs(list);
    return out;
}

// Why the packaged service's user cannot read the settings file `path`, empty when it can or
// when there is no such user here.
std::string service_cannot_read(const std::string& path) {
    const ProbeNoAccess no = probe_user_cannot_read(SERVICE_USER, path);
    if (no.obstacle.empty())
        return "";
    return text_of("user %s, whom the packaged service runs as, cannot read this file (%s): the "
                   "gateway then runs as if it were empty; %s",
                   SERVICE_USER, no.obstacle.c_str(), no.remedy.c_str());
}

// A certificate's dates against today: empty when it is valid now.
std::string date_problem(const TlsCertDates& dates) {
    if (dates.now < 0)
        return std::string("is not valid before ") + dates.from;
    if (dates.now > 0)
        return std::string("expired on ") + dates.until;
    return "";
}

ProbeKeyRow* row_of(ProbeSettingsReport& report, SettingsField field) {
    for (ProbeKeyRow& row : report.rows)
        if (row.key == settings_key(field).name)
            return &row;
    return nullptr;
}

// What a certificate's extended key usage and key usage do not allow of its use by a TLS server
// (serverAuth) or client (clientAuth), with digitalSignature for the ephemeral key exchange;
// empty when they allow it (without the extensions, everything is).
std::string usage_problem(const x509_st& cert, bool server) {
    switch (tls_cert_usage(cert, server)) {
    case TlsUsage::extended_key_usage:
        return std::string("its extended key usage lacks ") +
               (server ? "serverAuth" : "clientAuth");
    case TlsUsage::key_usage:
        return "its key usage lacks digitalSignature";
    case TlsUsage::allowed:
        break;
    }
    return "";
}

// The TLS files as the gateway loads them (readable by the service's user, the key matching the
// certificate), the dates and uses of the certificates, and a client's certificate when one is
// given: its authority, dates, uses and role, and what the gateway lets it do.
void check_tls(const Options& opt, const Settings& s, ProbeSettingsReport& report) {
    if (s.tls_cert.empty() || s.tls_key.empty() || s.tls_ca.empty())
        return;
    ProbeKeyRow* cert_row = row_of(report, SettingsField::tls_cert);
    ProbeKeyRow* ca_row = row_of(report, SettingsField::tls_ca);
    auto warn = [&](const ProbeKeyRow* row, const std::string& text) {
        report.warnings.push_back(
            {row != nullptr ? row->line : 0, row != nullptr ? row->key : std::string(), text});
    };
    for (const SettingsField field :
         {SettingsField::tls_cert, SettingsField::tls_key, SettingsField::tls_ca}) {
        const std::string& path = *settings_text(s, settings_key(field));
        const ProbeNoAccess no = probe_user_cannot_read(SERVICE_USER, path);
        if (!no.obstacle.empty())
            warn(row_of(report, field),
                 text_of("user %s, whom the packaged service runs as, cannot read %s (%s): the "
                         "gateway then logs \"TLS setup error: %s: Permission denied\" and "
                         "ends at start; %s",
                         SERVICE_USER, path.c_str(), no.obstacle.c_str(), path.c_str(),
                         no.remedy.c_str()));
    }
    static TlsCredentials tls;
    char reason[TLS_REASON_SIZE];
    if (!tls_credentials_load(tls, s.tls_cert.c_str(), s.tls_key.c_str(), s.tls_ca.c_str(), reason,
                              sizeof reason)) {
        warn(cert_row, std::string(reason) + ": the gateway ends at start");
        tls_credentials_free(tls);
        return;
    }
    // The gateway warns about a key that others may read; its own group may.
    const passwd* user = getpwnam(SERVICE_USER);
    unsigned mode = 0;
    if (tls_key_exposed(s.tls_key.c_str(), user != nullptr ? user->pw_gid : getegid(), mode))
        warn(row_of(report, SettingsField::tls_key),
             text_of("the key can be read by other users (mode %04o): chown root:%s and chmod "
                     "0640 it",
                     mode, SERVICE_USER));
    for (auto [row, cert] : {std::pair{cert_row, tls.cert}, std::pair{ca_row, tls.ca}}) {
        TlsCertDates dates;
        tls_cert_dates(*cert, dates);
        const std::string problem = date_problem(dates);
        if (!problem.empty())
            warn(row, "the certificate " + problem);
        else if (row != nullptr)
            row->note = std::string("valid until ") + dates.until +
                        (TLS_LIBRARY_TIME32 && std::strcmp(dates.until, "2038-01-19") >= 0
                             ? " (this system's TLS library fails from 2038-01-19 on)"
                             : "");
    }
    // The gateway's certificate serves its TLS server, and the push when it goes over TLS.
    if (const std::string problem = usage_problem(*tls.cert, true); !problem.empty())
        warn(cert_row, "the certificate cannot serve: " + problem +
                           ", so every client refuses the gateway (\"unsupported certificate "
                           "purpose\")");
    else if (const std::string push = usage_problem(*tls.cert, false);
             !s.ipaddr.empty() && !push.empty())
        warn(cert_row, "the certificate cannot be presented for the push over TLS to " + s.ipaddr +
                           ": " + push + ", so the receiver refuses it");
    if (!opt.client_cert.empty()) {
        ProbeKeyRow* writers_row = row_of(report, SettingsField::tls_writers);
        x509_st* client = nullptr;
        const int judged =
            tls_check_peer_file(tls, opt.client_cert.c_str(), client, reason, sizeof reason);
        char role[TLS_ROLE_SIZE];
        if (judged < 0) {
            warn(nullptr, reason);
        } else if (judged == 0) {
            warn(nullptr, opt.client_cert + " would be refused: " + reason);
        } else if (const std::string use = usage_problem(*client, false); !use.empty()) {
            warn(nullptr, opt.client_cert + " would be refused: " + use +
                              " (the gateway logs \"TLS handshake with ... failed: unsupported "
                              "certificate purpose\")");
        } else if (!tls_cert_role(*client, role, sizeof role)) {
            warn(nullptr, opt.client_cert + " has no role (extension " + TLS_ROLE_OID_TEXT +
                              "): the client may only read");
        } else {
            const bool writer = clients_role_writes(s.tls_writers, role);
            if (const std::string why = judge_writer_role(s, role); !why.empty())
                warn(writers_row, opt.client_cert + ": " + why);
            if (writers_row != nullptr)
                writers_row->note =
                    opt.client_cert + ": role " + role +
                    (!writer ? ", may only read"
                     : s.read_only != 0
                         ? ", may only read (" +
                               std::string(settings_key(SettingsField::read_only).name) + " is on)"
                         : ", may write");
        }
        tls_cert_free(client);
    }
    tls_credentials_free(tls);
}

std::string cell(const std::string& text, size_t width) {
    return text.size() > width ? text.substr(0, width - 3) + "..." : text;
}

void print_json(const Options& opt, const ProbeSettingsReport& report) {
    Json json;
    json.object().key("file").value(opt.settings).key("keys").array();
    for (const ProbeKeyRow& r : report.rows) {
        json.object().key("key").value(r.key).key("line");
        if (r.line == 0)
            json.null().key("text").null();
        else
            json.value(r.line).key("text").value(r.text);
        json.key("used").value(r.used).key("note").value(r.note).end();
    }
    json.end().key("warnings").array();
    for (const ProbeWarning& w : report.warnings) {
        json.object().key("line");
        if (w.line == 0)
            json.null();
        else
            json.value(w.line);
        json.key("key").value(w.key).key("text").value(w.text).end();
    }
    json.end().end();
    std::printf("%s\n", json.text().c_str());
}

void print_table(const Options& opt, const ProbeSettingsReport& report) {
    std::printf("%s as the gateway reads it:\n\n", opt.settings.c_str());
    constexpr size_t TEXT = 20;
    size_t widths[3] = {3, 12, 4}; // key, text, used
    for (const ProbeKeyRow& r : report.rows) {
        widths[0] = std::max(widths[0], r.key.size());
        widths[1] = std::max(widths[1], std::min(TEXT, r.text.size() + 2));
        widths[2] = std::max(widths[2], r.used.size());
    }
    const int k = static_cast<int>(widths[0]);
    const int t = static_cast<int>(widths[1]);
    const int u = static_cast<int>(widths[2]);
    std::printf("%-*s  LINE  %-*s  %-*s  NOTE\n", k, "KEY", t, "TEXT IN FILE", u, "USED");
    for (const ProbeKeyRow& r : report.rows) {
        const std::string text = r.line == 0      ? "(missing)"
                                 : r.text.empty() ? "(empty)"
                                                  : cell("\"" + r.text + "\"", TEXT);
        const std::string line = r.line == 0 ? "-" : std::to_string(r.line);
        std::string out = text_of("%-*s  %4s  %-*s  %-*s  %s", k, r.key.c_str(), line.c_str(), t,
                                  text.c_str(), u, r.used.c_str(), r.note.c_str());
        out.erase(out.find_last_not_of(' ') + 1);
        std::printf("%s\n", out.c_str());
    }
    if (report.warnings.empty()) {
        std::printf("\nNo warnings.\n");
        return;
    }
    std::printf("\n%zu warning%s:\n", report.warnings.size(),
                report.warnings.size() == 1 ? "" : "s");
    for (const ProbeWarning& w : report.warnings) {
        std::string where = w.line == 0 ? "" : "line " + std::to_string(w.line);
        if (!w.key.empty())
            join(where, ", ", w.key);
        std::printf("  %s%s%s\n", where.c_str(), where.empty() ? "" : ": ", w.text.c_str());
    }
}

} // namespace

int run_settings(const Options& opt) {
    std::ifstream in(opt.settings, std::ios::binary);
    if (!in)
        return cannot_read(opt, opt.settings, errno);
    std::stringstream text;
    text << in.rdbuf();

    const Settings settings = probe_load_settings(text.str());
    ProbeHost host;
    host.addresses = local_addresses();
    host.device_exists = access(service_device_path(settings).c_str(), F_OK) == 0;
    // The gateway looks the name up at every push, with the same resolver.
    if (!settings.ipaddr.empty())
        host.push_address = resolve_hostname(settings.ipaddr.c_str());
    host.service_cannot_read = service_cannot_read(opt.settings);
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        host.hostname = name;
    g_logged.clear(); // "error resolving hostname": the warning says it in words

    ProbeSettingsReport report;
    probe_check_settings(text.str(), host, report);
    check_tls(opt, settings, report);
    if (opt.json)
        print_json(opt, report);
    else
        print_table(opt, report);
    return report.warnings.empty() ? 0 : 1;
}
