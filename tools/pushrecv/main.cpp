// SPDX-License-Identifier: Apache-2.0
// kovex4-pushrecv: a small Modbus TCP server that receives the gateway's push requests and prints
// each pushed slot. It answers function 16 with an acknowledgement, an exception or nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modbus/mbap.h"
#include "sys/deadline.h"
#include "sys/tls.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

enum class Answer { ack, exception, none };

struct Options {
    std::string bind = "127.0.0.1";
    unsigned port = 502;
    Answer answer = Answer::ack;
    long max_slots = -1;                   // stop after this many slots; -1: run until a signal
    std::string tls_cert, tls_key, tls_ca; // all three: Modbus over TLS
};

void usage(FILE* out) {
    fputs("usage: kovex4-pushrecv [--port N] [--bind ADDR] [--answer ack|exception|none]\n"
          "                       [--count N] [--tls-cert FILE --tls-key FILE --tls-ca FILE]\n"
          "Receives the gateway's push requests (Modbus TCP function 16) and prints one line\n"
          "per pushed slot:\n"
          "  slot unit=U tid=T start=S count=N values=V1,V2,...\n"
          "S is the 0-based starting address (register number S + 1). Other requests are\n"
          "printed as 'frame function=F length=L' and answered with exception 1.\n"
          "  --port N       TCP port to listen on (default 502)\n"
          "  --bind ADDR    local IPv4 address (default 127.0.0.1)\n"
          "  --answer MODE  ack (default), exception (code 4) or none (never answer)\n"
          "  --count N      exit after N slots\n"
          "  --tls-cert FILE, --tls-key FILE, --tls-ca FILE\n"
          "                 Modbus over TLS: this receiver's certificate and key, and the\n"
          "                 authority the gateway's certificate must chain to (PEM files)\n"
          "  --help, -h     show this text and exit\n",
          out);
}

bool parse_options(int argc, char** argv, Options& options) {
    // Options come in pairs: a name and its value.
    for (int i = 1; i < argc; i += 2) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            exit(0);
        } else if (arg == "--port" && value) {
            options.port = static_cast<unsigned>(strtoul(value, nullptr, 10)) & 0xFFFF;
        } else if (arg == "--bind" && value) {
            options.bind = value;
        } else if (arg == "--answer" && value) {
            const std::string mode = value;
            if (mode == "ack")
                options.answer = Answer::ack;
            else if (mode == "exception")
                options.answer = Answer::exception;
            else if (mode == "none")
                options.answer = Answer::none;
            else
                return false;
        } else if (arg == "--tls-cert" && value) {
            options.tls_cert = value;
        } else if (arg == "--tls-key" && value) {
            options.tls_key = value;
        } else if (arg == "--tls-ca" && value) {
            options.tls_ca = value;
        } else if (arg == "--count" && value) {
            options.max_slots = strtol(value, nullptr, 10);
        } else {
            return false;
        }
    }
    return true;
}

// Prints the frame and turns it into the answer; false when nothing is to be sent.
bool handle(MbapFrame& frame, Answer answer, long& slots) {
    const uint8_t function = frame.body[1];
    if (function != 16 || frame.length < 7) {
        printf("frame function=%u length=%u\n", function, frame.length);
        frame.body[1] = static_cast<uint8_t>(function | 0x80);
        frame.body[2] = 1;
        frame.length = 3;
        return true;
    }
    const unsigned start = frame.body[2] * 256u + frame.body[3];
    const unsigned count = frame.body[4] * 256u + frame.body[5];
    printf("slot unit=%u tid=%u start=%u count=%u values=", frame.body[0], frame.transaction_id,
           start, count);
    for (unsigned k = 0; k < count && 8 + 2 * k < frame.length; ++k)
        printf("%s%u", k ? "," : "", frame.body[7 + 2 * k] * 256u + frame.body[8 + 2 * k]);
    printf("\n");
    fflush(stdout);
    ++slots;
    switch (answer) {
    case Answer::none:
        return false;
    case Answer::exception:
        frame.body[1] = 0x90;
        frame.body[2] = 4;
        frame.length = 3;
        return true;
    case Answer::ack:
        frame.length = 6;
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        usage(stderr);
        return 2;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, SIG_IGN);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    if (inet_pton(AF_INET, options.bind.c_str(), &address.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 8) != 0) {
        fprintf(stderr, "kovex4-pushrecv: cannot listen on %s:%u: %s\n", options.bind.c_str(),
                options.port, strerror(errno));
        return 1;
    }
    printf("listening on %s:%u\n", options.bind.c_str(), options.port);
    fflush(stdout);

    static TlsCredentials tls;
    const bool use_tls =
        !options.tls_cert.empty() || !options.tls_key.empty() || !options.tls_ca.empty();
    if (use_tls) {
        char reason[TLS_REASON_SIZE];
        if (!tls_credentials_load(tls, options.tls_cert.c_str(), options.tls_key.c_str(),
                                  options.tls_ca.c_str(), reason, sizeof reason)) {
            fprintf(stderr, "kovex4-pushrecv: TLS: %s\n", reason);
            return 1;
        }
    }

    long slots = 0;
    static MbapParser parser;
    static TlsSession session;
    while (!g_stop && (options.max_slots < 0 || slots < options.max_slots)) {
        pollfd wait{listener, POLLIN, 0};
        if (poll(&wait, 1, 200) <= 0)
            continue;
        const int conn = accept(listener, nullptr, nullptr);
        if (conn < 0)
            continue;
        mbap_reset(parser);
        if (use_tls) {
            char reason[TLS_REASON_SIZE] = "out of memory";
            if (!tls_session_open(session, tls.server, conn) ||
                !tls_handshake_until(session, wait_clock_us() + 10000000)) {
                if (session.open)
                    tls_reason(session, reason, sizeof reason);
                printf("tls handshake failed: %s\n", reason);
                fflush(stdout);
                tls_session_close(session);
                close(conn);
                continue;
            }
            printf("tls connection established\n");
            fflush(stdout);
        }
        while (!g_stop && (options.max_slots < 0 || slots < options.max_slots)) {
            if (!use_tls || !tls_pending(session)) {
                pollfd in{conn, POLLIN, 0};
                if (poll(&in, 1, 200) <= 0)
                    continue;
            }
            uint8_t buffer[512];
            const ssize_t n = use_tls ? tls_recv(session, buffer, sizeof buffer)
                                      : recv(conn, buffer, sizeof buffer, 0);
            if (n < 0 && use_tls && errno == EAGAIN)
                continue;
            if (n <= 0)
                break;
            const uint8_t* next = buffer;
            int32_t left = static_cast<int32_t>(n);
            while (left > 0) {
                MbapFrame* frame = mbap_parse(parser, next, left);
                if (frame == nullptr)
                    break;
                if (!handle(*frame, options.answer, slots))
                    continue;
                uint8_t wire[MBAP_MAX_WIRE];
                const int size = mbap_serialize(*frame, wire);
                if (use_tls)
                    tls_send_all(session, wire, static_cast<size_t>(size),
                                 wait_clock_us() + 10000000);
                else
                    send(conn, wire, static_cast<size_t>(size), MSG_NOSIGNAL);
            }
        }
        tls_session_close(session);
        close(conn);
    }
    close(listener);
    return 0;
}
