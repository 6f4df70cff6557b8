// SPDX-License-Identifier: Apache-2.0
// kovex4-probe modbus: a small Modbus TCP client for commissioning, plain or over TLS (Modbus/TCP
// Security) with a client certificate. It sends one read (function 3) or write (function 16) and
// shows the values, the exception or the failure in words. Made of the gateway's own framing,
// sockets and TLS sessions: it frames and shakes hands as the gateway's push does.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "json.h"
#include "modbus/mbap.h"
#include "modbus/modbus.h"
#include "settings/settings.h"
#include "sys/deadline.h"
#include "sys/sockets.h"
#include "sys/tls.h"

namespace {

constexpr int CONNECT_SECONDS = 5;
constexpr int HANDSHAKE_SECONDS = 10; // as long as the gateway gives a client
// A range may take several device requests of up to 4 s each.
constexpr int ANSWER_SECONDS = 30;
constexpr uint8_t UNIT_ID = 1;
constexpr uint32_t TRANSACTION = 1;
// Over TLS 1.3 the gateway judges this client's certificate after the client's handshake has
// ended: its refusal comes as the answer.
constexpr char REFUSED_HINT[] = " (the gateway refused the handshake; its log says why: \"TLS "
                                "handshake with ... failed: ...\")";

struct Request {
    bool write = false;
    uint32_t address = 0;
    uint32_t count = 0;
    uint16_t values[MODBUS_MAX_WRITE] = {};
};

// The words after "modbus" as a request; false (reported) when they are not one.
bool parse_request(const std::vector<std::string>& words, Request& r) {
    const auto bad = [](const std::string& why) { return usage_error(why) == 0; };
    r.write = !words.empty() && words[0] == "write";
    if (words.empty() || (words[0] != "read" && !r.write) || words.size() < 3 ||
        (!r.write && words.size() != 3))
        return bad("modbus wants read ADDRESS COUNT or write ADDRESS VALUE...");
    if (!probe_parse_word(words[1].c_str(), r.address))
        return bad("bad ADDRESS (want 0-65535, decimal or 0x hex): " + words[1]);
    if (!r.write) {
        if (!probe_parse_word(words[2].c_str(), r.count) || r.count < 1 ||
            r.count > MODBUS_MAX_READ)
            return bad(text_of("bad COUNT (want 1-%u): %s", MODBUS_MAX_READ, words[2].c_str()));
    } else {
        r.count = static_cast<uint32_t>(words.size() - 2);
        if (r.count > MODBUS_MAX_WRITE)
            return bad(text_of("%u values: one write takes at most %u", r.count, MODBUS_MAX_WRITE));
        for (uint32_t i = 0; i < r.count; ++i) {
            uint32_t value = 0;
            if (!probe_parse_word(words[i + 2].c_str(), value))
                return bad("bad VALUE (want 0-65535, decimal or 0x hex): " + words[i + 2]);
            r.values[i] = static_cast<uint16_t>(value);
        }
    }
    if (r.address + r.count > 0x10000)
        return bad("the registers run past address 65535");
    return true;
}

MbapFrame request_frame(const Request& r) {
    MbapFrame f{};
    f.transaction_id = TRANSACTION;
    auto& b = f.body;
    b[0] = UNIT_ID;
    b[1] = r.write ? MODBUS_WRITE_MULTIPLE : MODBUS_READ_HOLDING;
    b[2] = static_cast<uint8_t>(r.address >> 8);
    b[3] = static_cast<uint8_t>(r.address & 0xFF);
    b[4] = 0;
    b[5] = static_cast<uint8_t>(r.count);
    f.length = 6;
    if (r.write) {
        b[6] = static_cast<uint8_t>(2 * r.count);
        for (uint32_t i = 0; i < r.count; ++i) {
            b[7 + 2 * i] = static_cast<uint8_t>(r.values[i] >> 8);
            b[8 + 2 * i] = static_cast<uint8_t>(r.values[i] & 0xFF);
        }
        f.length = 7 + 2 * r.count;
    }
    return f;
}

// What the gateway means by each exception it sends.
std::string exception_words(uint8_t code) {
    switch (code) {
    case MODBUS_ILLEGAL_FUNCTION:
        return "Illegal Function: the gateway does not serve this function, or not to this "
               "client (a write with MOD_KOVEX4_READ_ONLY, or over TLS by a role that "
               "MOD_KOVEX4_TLS_WRITERS does not list)";
    case 2:
        return "Illegal Data Address";
    case MODBUS_ILLEGAL_DATA_VALUE:
        return "Illegal Data Value: the request's count or length is not one the gateway takes";
    case MODBUS_DEVICE_FAILURE:
        return "Server Device Failure: the field device did not answer as it should (the "
               "gateway logs \"read failed\" or \"write failed\")";
    default:
        return "an exception the gateway does not send";
    }
}

// What a failed handshake means here; `named` is the option that gave the expected name.
std::string handshake_hint(const TlsSession& session, const char* named) {
    switch (session.failure) {
    case TlsFailure::timeout:
        return text_of(" (no TLS answer within %d s: is it a plain Modbus port? Then leave out "
                       "--cert, --key and --ca)",
                       HANDSHAKE_SECONDS);
    case TlsFailure::closed:
    case TlsFailure::alert:
        return REFUSED_HINT;
    case TlsFailure::verify:
        if (tls_failed_on_dates(session))
            return " (a date: the gateway's certificate has expired or is not valid yet; check "
                   "its dates with openssl x509 -noout -dates, and the clocks of both machines)";
        [[fallthrough]];
    case TlsFailure::refused:
        return text_of(" (the gateway's certificate must chain to --ca, carry the name given as %s "
                       "and allow a TLS server)",
                       named);
    default:
        return "";
    }
}

// The connection to the gateway: a socket, and a TLS session over it with the three files.
struct Connection {
    const Options& opt;
    int fd = -1;
    bool over_tls = false;
    TlsCredentials* tls = nullptr;
    TlsSession session{};
    std::string role; // of this client's certificate, "none" without one
    std::string error;

    explicit Connection(const Options& options) : opt(options) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        tls_session_close(session);
        if (fd >= 0)
            socket_close(fd);
        if (tls != nullptr)
            tls_credentials_free(*tls);
    }

    // What the probe's capture of the gateway's code logged last, after its "...: ".
    static std::string logged_reason() {
        if (g_logged.empty())
            return "";
        const std::string& line = g_logged.back();
        const size_t colon = line.rfind(": ");
        return colon == std::string::npos ? line : line.substr(colon + 2);
    }

    bool open() {
        uint32_t address = 0;
        if (!settings_parse_ipaddr(opt.host.c_str(), address) &&
            (address = resolve_hostname(opt.host.c_str())) == 0) {
            error = "cannot resolve " + opt.host;
            return false;
        }
        uint32_t port = 0;
        if (!probe_parse_word(opt.port.c_str(), port) || port == 0) {
            error = "bad --port (want 1-65535): " + opt.port;
            return false;
        }
        over_tls = !opt.cert.empty();
        char reason[TLS_REASON_SIZE];
        if (over_tls) {
            // The gateway's own loader: this client's certificate and key, and the authority.
            static TlsCredentials credentials;
            tls = &credentials;
            if (!tls_credentials_load(credentials, opt.cert.c_str(), opt.key.c_str(),
                                      opt.ca.c_str(), reason, sizeof reason)) {
                error = reason;
                return false;
            }
            char own[TLS_ROLE_SIZE];
            role = tls_cert_role(*credentials.cert, own, sizeof own) ? own : "none";
        }
        g_logged.clear();
        fd = socket_open_tcp_client(address, port, CONNECT_SECONDS);
        if (fd < 0) {
            error = "cannot connect to " + opt.host + " port " + opt.port + ": " + logged_reason();
            return false;
        }
        if (!over_tls)
            return true;
        // The name to expect: --name (the gateway reached through a forwarded port), else the
        // host connected to. A name is checked by the library against the certificate's names;
        // an address is looked for among its IP addresses below, which the library does not do.
        const std::string& name = opt.name.empty() ? opt.host : opt.name;
        const char* named = opt.name.empty() ? "--host" : "--name";
        uint32_t expected = 0;
        const bool dotted = settings_parse_ipaddr(name.c_str(), expected) != 0;
        if (!tls_session_open(session, tls->client, fd, dotted ? nullptr : name.c_str())) {
            error = "TLS: out of memory";
            return false;
        }
        if (!tls_handshake_until(session, wait_clock_us() + int64_t{HANDSHAKE_SECONDS} * 1000000)) {
            tls_reason(session, reason, sizeof reason);
            error = "TLS handshake failed: " + std::string(reason) + handshake_hint(session, named);
            return false;
        }
        if (dotted && !tls_check_peer_address(session, expected)) {
            error = "the gateway's certificate does not name " + name +
                    " (no such IP address among its subject alternative names" +
                    (opt.name.empty() ? "; through a forwarded port give the name it carries "
                                        "with --name"
                                      : "") +
                    ")";
            return false;
        }
        return true;
    }

    bool send(const MbapFrame& frame) {
        uint8_t wire[MBAP_MAX_WIRE];
        const int size = mbap_serialize(frame, wire);
        const int64_t deadline = wait_clock_us() + int64_t{ANSWER_SECONDS} * 1000000;
        const bool sent = over_tls
                              ? tls_send_all(session, wire, static_cast<size_t>(size), deadline)
                              : socket_send_all(fd, wire, static_cast<size_t>(size), deadline);
        if (!sent)
            error = over_tls && errno == EIO
                        ? tls_failed("cannot send the request: ")
                        : std::string("cannot send the request: ") + std::strerror(errno);
        return sent;
    }

    // A failure of the session after the handshake, in words. The probe's request is the first
    // thing it sends: over TLS 1.3 the gateway's refusal of the certificate ends the connection
    // there (an alert, or the connection closed before it could be read).
    std::string tls_failed(const char* doing) const {
        char reason[TLS_REASON_SIZE];
        tls_reason(session, reason, sizeof reason);
        const bool refused =
            session.failure == TlsFailure::alert || session.failure == TlsFailure::closed;
        return doing + std::string(reason) + (refused ? REFUSED_HINT : "");
    }

    // The next frame from the gateway, or nullptr with `error` set.
    const MbapFrame* receive(MbapParser& parser) {
        const int64_t deadline = wait_clock_us() + int64_t{ANSWER_SECONDS} * 1000000;
        uint8_t buffer[MBAP_MAX_WIRE];
        for (;;) {
            if ((!over_tls || !tls_pending(session)) && wait_fd(fd, WaitFor::read, deadline) <= 0) {
                error = text_of("no answer within %d s", ANSWER_SECONDS);
                return nullptr;
            }
            const ssize_t n = over_tls ? tls_recv(session, buffer, sizeof buffer)
                                       : socket_recv(fd, buffer, sizeof buffer);
            if (n < 0 && over_tls && errno == EAGAIN)
                continue; // a record not complete yet
            // A gateway serving TLS on the port closes a plain client's connection (with a reset
            // when the request is still unread).
            if (n == 0 || (n < 0 && !over_tls && errno == ECONNRESET)) {
                error = over_tls ? std::string("the gateway closed the connection without an "
                                               "answer") +
                                       REFUSED_HINT
                                 : "the gateway closed the connection without an answer (is its "
                                   "port a TLS one? Then give --cert, --key and --ca)";
                return nullptr;
            }
            if (n < 0 && over_tls) {
                error = tls_failed("receive error: ");
                return nullptr;
            }
            if (n < 0) {
                error = std::string("receive error: ") + std::strerror(errno);
                return nullptr;
            }
            const uint8_t* next = buffer;
            int32_t left = static_cast<int32_t>(n);
            if (const MbapFrame* frame = mbap_parse(parser, next, left))
                return frame;
        }
    }
};

} // namespace

int run_modbus(const Options& opt) {
    Request r;
    if (!parse_request(opt.words, r))
        return 2;
    Connection c(opt);
    Json json;
    json.object()
        .key("host")
        .value(opt.host)
        .key("port")
        .value(opt.port)
        .key("tls")
        .value(!opt.cert.empty())
        .key("request")
        .value(r.write ? "write" : "read")
        .key("address")
        .value(r.address)
        .key("count")
        .value(r.count);
    const auto fail = [&](int status) {
        if (opt.json)
            std::printf("%s\n", json.key("error").value(c.error).end().text().c_str());
        else
            std::fprintf(stderr, "kovex4-probe: %s\n", c.error.c_str());
        return status;
    };
    if (!c.open())
        return fail(2);
    if (!opt.json)
        std::printf("Connected to %s port %s%s\n", opt.host.c_str(), opt.port.c_str(),
                    c.over_tls ? (" over TLS as " + opt.cert + " (role " + c.role + ")").c_str()
                               : " (plain Modbus TCP)");
    MbapParser parser;
    mbap_reset(parser);
    const MbapFrame* answer = nullptr;
    if (!c.send(request_frame(r)) || (answer = c.receive(parser)) == nullptr)
        return fail(2);

    const uint8_t function = r.write ? MODBUS_WRITE_MULTIPLE : MODBUS_READ_HOLDING;
    const auto& b = answer->body;
    const std::string registers =
        r.count == 1 ? text_of("Register %u (address 0x%04X)", r.address + 1, r.address)
                     : text_of("Registers %u-%u (address 0x%04X)", r.address + 1,
                               r.address + r.count, r.address);
    const bool ours = answer->transaction_id == TRANSACTION && answer->protocol_id == 0;
    if (ours && answer->length == 3 && b[1] == (function | 0x80)) {
        json.key("exception").value(uint32_t{b[2]}).key("text").value(exception_words(b[2]));
        if (opt.json)
            std::printf("%s\n", json.end().text().c_str());
        else
            std::printf("%s: exception %u, %s\n", registers.c_str(), b[2],
                        exception_words(b[2]).c_str());
        return 1;
    }
    const bool read_ok = !r.write && ours && b[1] == function && b[2] == 2 * r.count &&
                         answer->length == 3 + 2 * r.count;
    const bool write_ok = r.write && ours && b[1] == function && answer->length == 6 &&
                          (b[2] << 8 | b[3]) == static_cast<int>(r.address) &&
                          (b[4] << 8 | b[5]) == static_cast<int>(r.count);
    if (!read_ok && !write_ok) {
        uint8_t wire[MBAP_MAX_WIRE];
        c.error = "an answer that does not fit the request: " +
                  probe_hex(wire, static_cast<size_t>(mbap_serialize(*answer, wire)));
        return fail(2);
    }
    if (opt.json) {
        json.key("values").array();
        for (uint32_t i = 0; i < r.count; ++i)
            json.value(
                uint32_t{r.write ? r.values[i] : uint32_t(b[3 + 2 * i] << 8 | b[4 + 2 * i])});
        std::printf("%s\n", json.end().end().text().c_str());
        return 0;
    }
    std::printf("%s %s:\n", registers.c_str(), r.write ? "written" : "read");
    for (uint32_t i = 0; i < r.count; ++i) {
        const unsigned value = r.write ? r.values[i] : unsigned(b[3 + 2 * i] << 8 | b[4 + 2 * i]);
        std::printf("  %5u  %5u  0x%04X\n", r.address + i + 1, value, value);
    }
    return 0;
}
