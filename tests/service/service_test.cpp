// SPDX-License-Identifier: Apache-2.0
// The main loop in-process: real sockets on the loopback, the registers in memory, one
// service_iterate call at a time from the test's own thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "modbus/request.h"
#include "register_store.h"
#include "service/loop.h"
#include "service/service.h"
#include "support.h"
#include "sys/com.h"
#include "sys/deadline.h"
#include "sys/sockets.h"

namespace {

Bytes frame(uint16_t tid, const Bytes& body) {
    return mbap_wire(tid, 0, uint16_t(body.size()), body);
}

// Registers in memory that also record the first register of every read, in order.
struct RecordingStore : RegisterStore {
    std::vector<uint32_t> order;
    ModbusRegisters recording() {
        return {[](void* c, uint32_t start, uint32_t quantity, uint16_t* values) {
                    auto* self = static_cast<RecordingStore*>(c);
                    self->order.push_back(start);
                    return self->registers().read(self, start, quantity, values);
                },
                registers().write, this};
    }
};

class ServiceLoop : public ::testing::Test {
protected:
    // The server part of a service on 127.0.0.1 and a port of the system's choice.
    void start(uint32_t clients = 0, uint32_t write_single = 0) {
        service_->settings.listen = "127.0.0.1";
        service_->settings.clients = clients;
        service_->settings.write_single = write_single;
        service_->registers = store_.recording();
        service_start_server(*service_);
        ASSERT_GE(service_->clients.listen_fd, 0);
        port_ = bound_port(service_->clients.listen_fd);
    }
    void TearDown() override {
        for (ServiceClient& c : service_->clients.places) {
            tls_session_close(c.tls);
            if (c.fd >= 0)
                close(c.fd);
        }
        tls_credentials_free(service_->tls);
        tls_credentials_free(tls_);
        if (service_->clients.listen_fd >= 0)
            close(service_->clients.listen_fd);
        for (int fd : clients_)
            close(fd);
    }
    // Modbus over TLS: the certificates that tls_peer.py makes with openssl, the gateway's in
    // the settings, a reader's (role viewer) in `tls_` for the test's clients.
    void use_tls() {
        const std::string certs = dir_.path() + "/";
        ASSERT_EQ(
            std::system(("python3 " KOVEX4_TLS_PEER " certs " + certs + ">/dev/null").c_str()), 0);
        std::tie(service_->settings.tls_cert, service_->settings.tls_key,
                 service_->settings.tls_ca) =
            std::tuple(certs + "gateway.pem", certs + "gateway.key", certs + "ca.pem");
        char reason[TLS_REASON_SIZE];
        ASSERT_TRUE(tls_credentials_load(tls_, (certs + "reader.pem").c_str(),
                                         (certs + "reader.key").c_str(), (certs + "ca.pem").c_str(),
                                         reason, sizeof reason));
    }
    // Iterates the service until `done` holds, for 10 s at most.
    template <class F> void iterate_until(F&& done) {
        for (const int64_t end = wait_clock_us() + 10000000; !done() && wait_clock_us() < end;)
            service_iterate(*service_);
    }
    // A client connected from `source` (host byte order), not yet accepted by the service;
    // `receive_buffer` bytes of socket buffer when given.
    int connect_from(uint32_t source, int receive_buffer = 0) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receive_buffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        const sockaddr_in local{AF_INET, 0, {htonl(source)}, {}};
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
        const sockaddr_in address{AF_INET, htons(port_), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        clients_.push_back(fd);
        return fd;
    }
    // A client connected from 127.0.0.1 and accepted by the service.
    int connect_client(int receive_buffer = 0) {
        const int fd = connect_from(INADDR_LOOPBACK, receive_buffer);
        service_iterate(*service_);
        return fd;
    }
    void send_bytes(int fd, const Bytes& bytes) {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    // Everything the service has sent to `fd` so far (it has answered before this is called).
    static Bytes received(int fd) {
        Bytes out;
        uint8_t buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            out.insert(out.end(), buffer, buffer + n);
        return out;
    }
    // The transaction ids of the answers in `bytes`, in order.
    static std::vector<int> answer_ids(const Bytes& bytes) {
        std::vector<int> ids;
        for (size_t at = 0; at + 6 <= bytes.size(); at += 6 + (bytes[at + 4] << 8 | bytes[at + 5]))
            ids.push_back(bytes[at] << 8 | bytes[at + 1]);
        return ids;
    }

    std::unique_ptr<Service> service_ = std::make_unique<Service>();
    TempDir dir_;
    TlsCredentials tls_{};
    RecordingStore store_;
    uint16_t port_ = 0;
    std::vector<int> clients_;
    LogCapture log_;
};

TEST_F(ServiceLoop, NewClientReplacesTheCurrentOne) {
    start();
    const int first = connect_client();
    const int second = connect_client();
    EXPECT_EQ(drain(first, 2000), 0); // closed by the service
    EXPECT_EQ(log_.lines(), (std::vector<std::pair<int, std::string>>{
                                {LOG_NOTICE, "TCP connection from 127.0.0.1 established"},
                                {LOG_NOTICE, "TCP connection from 127.0.0.1 closed"},
                                {LOG_NOTICE, "TCP connection from 127.0.0.1 established"}}));
    send_bytes(second, read_request(7, 16, 1));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(received(second)), std::vector<int>{7});
}

// Several frames in one read are answered in order; a frame split over reads waits for its rest.
TEST_F(ServiceLoop, FramesInOneReadAndAcrossReads) {
    start();
    const int fd = connect_client();
    Bytes bytes = read_request(1, 16, 1);
    for (const Bytes& more : {read_request(2, 17, 1), read_request(3, 18, 1)})
        bytes.insert(bytes.end(), more.begin(), more.end());
    send_bytes(fd, Bytes(bytes.begin(), bytes.end() - 4));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(received(fd)), (std::vector<int>{1, 2}));
    send_bytes(fd, Bytes(bytes.end() - 4, bytes.end()));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(received(fd)), std::vector<int>{3});
    EXPECT_EQ(store_.order, (std::vector<uint32_t>{16, 17, 18}));
}

TEST_F(ServiceLoop, ReceiveErrorClosesTheClient) {
    start();
    const int fd = connect_client();
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd); // the peer sees a reset, not an orderly end
    clients_.clear();
    log_.clear();
    service_iterate(*service_);
    EXPECT_EQ(log_.lines(), (std::vector<std::pair<int, std::string>>{
                                {LOG_ERR, "recv error: Connection reset by peer"},
                                {LOG_NOTICE, "TCP connection from 127.0.0.1 closed"}}));
    EXPECT_EQ(service_->clients.places[0].fd, -1);
}

// A client that sends requests and never reads its answers is dropped once an answer cannot be
// sent within the send limit; the next client is served.
TEST_F(ServiceLoop, ClientThatStopsReadingIsDropped) {
    start();
    service_->clients.send_seconds = 1;
    const int hog = connect_client(4096);
    std::thread flood([hog] {
        const Bytes burst = read_requests(64, 0x3000, 125);
        while (send(hog, burst.data(), burst.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    for (int i = 0; i < 100000 && service_->clients.places[0].fd >= 0; ++i)
        service_iterate(*service_);
    EXPECT_EQ(service_->clients.places[0].fd, -1);
    shutdown(hog, SHUT_RDWR);
    flood.join();
    const int next = connect_client();
    send_bytes(next, read_request(9, 16, 1));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(received(next)), std::vector<int>{9});
}

// Two clients of the service in the test's own thread, plain or over TLS (certificates made by
// openssl through tests/e2e/tls_peer.py; handshakes taken a step between iterations).
class ClientsWithRoomToWait : public ServiceLoop, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            ASSERT_NO_FATAL_FAILURE(use_tls());
        }
        start(2);
        for (size_t k = 0; k < 2; ++k) {
            fds_[k] = connect_client(4096);
            ASSERT_TRUE(!GetParam() || tls_session_open(sessions_[k], tls_.client, fds_[k]));
            bool want_write;
            iterate_until(
                [&] { return !GetParam() || tls_handshake_step(sessions_[k], want_write) != 0; });
            ASSERT_TRUE(!GetParam() || sessions_[k].established);
        }
    }
    void TearDown() override {
        for (TlsSession& session : sessions_)
            tls_session_close(session);
        ServiceLoop::TearDown();
    }
    void put(size_t k, const Bytes& bytes) {
        if (GetParam())
            tls_send_all(sessions_[k], bytes.data(), bytes.size(), wait_clock_us() + 5000000);
        else
            send_bytes(fds_[k], bytes);
    }
    // What client `k` has received so far.
    Bytes take(size_t k) {
        Bytes out = GetParam() ? Bytes{} : received(fds_[k]);
        uint8_t buffer[4096];
        for (ssize_t n; GetParam() && (n = tls_recv(sessions_[k], buffer, sizeof buffer)) > 0;)
            out.insert(out.end(), buffer, buffer + n);
        return out;
    }
    std::array<TlsSession, 2> sessions_{};
    std::array<int, 2> fds_{};
};

// With several clients, an answer the client's socket cannot take at once waits in the service,
// and that client's requests with it, while the others are served; once it reads again every
// answer arrives whole and in order. A client that reads nothing for the send limit is dropped.
TEST_P(ClientsWithRoomToWait, AnswerWaitsForRoomWhileOthersAreServed) {
    service_->clients.send_seconds = 3;
    ServiceClient& slow = service_->clients.places[0];
    const int small = 4096;
    setsockopt(slow.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    Bytes batch, expected, body = {1, 3, 250};
    for (uint16_t r = 0; r < 125; ++r) {
        store_.values[0x3000 + r] = uint16_t(r * 0x0101);
        body.insert(body.end(), {uint8_t(r), uint8_t(r)});
    }
    for (uint16_t k = 0; k < 400; ++k) {
        const Bytes request = read_request(k, 0x3000, 125), answer = frame(k, body);
        batch.insert(batch.end(), request.begin(), request.end());
        expected.insert(expected.end(), answer.begin(), answer.end());
    }
    put(0, batch);
    iterate_until([&] { return clients_sending(slow) || slow.fd < 0; });
    ASSERT_GE(slow.fd, 0);
    ASSERT_TRUE(clients_sending(slow));
    put(1, read_request(9, 16, 1));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(take(1)), std::vector<int>{9});
    EXPECT_TRUE(clients_sending(slow));
    Bytes got;
    iterate_until([&] {
        const Bytes more = take(0);
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= expected.size();
    });
    EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size();

    service_->clients.send_seconds = 1;
    put(0, batch); // and read nothing
    iterate_until([&] { return slow.fd < 0; });
    EXPECT_EQ(log_.count(LOG_NOTICE, "client 127.0.0.1 dropped: no answer read for 1 seconds"), 1);
}
INSTANTIATE_TEST_SUITE_P(PlainAndTls, ClientsWithRoomToWait, ::testing::Bool());

// Over TLS, connections still in their handshake share the four waiting places by address: a
// flood of silent connections from 127.0.0.2 gives way among itself, whether the client that
// comes meanwhile is at another address or (behind the same NAT) at 127.0.0.2 too, as long as it
// has sent its ClientHello. Silent connections are given up after SERVICE_SILENT_SECONDS, one
// that has sent something only after SERVICE_HANDSHAKE_SECONDS.
TEST_F(ServiceLoop, HandshakePlacesOneAddressCannotHold) {
    ASSERT_NO_FATAL_FAILURE(use_tls());
    start(1);
    const auto flood = [&](int n) {
        for (int i = 0; i < n; ++i) {
            connect_from(0x7F000002);
            service_iterate(*service_);
        }
    };
    flood(4);
    for (const uint32_t source : {0x7F000003u, 0x7F000002u}) {
        SCOPED_TRACE(source);
        const int fd = connect_from(source);
        service_iterate(*service_);
        TlsSession session;
        ASSERT_TRUE(tls_session_open(session, tls_.client, fd));
        bool want_write = false;
        EXPECT_EQ(tls_handshake_step(session, want_write), 0); // its ClientHello
        service_iterate(*service_);
        flood(8);
        int step = 0;
        iterate_until([&] { return (step = tls_handshake_step(session, want_write)) != 0; });
        EXPECT_EQ(step, 1);
        // Over TLS 1.3 the client is done before the gateway has judged its certificate.
        const std::string line = "TLS connection from 127.0.0." + std::to_string(source & 0xFF) +
                                 " established (role viewer)";
        iterate_until([&] { return log_.count(LOG_NOTICE, line) == 1; });
        EXPECT_EQ(log_.count(LOG_NOTICE, line), 1);
        tls_session_close(session);
    }
    EXPECT_EQ(log_.count(LOG_NOTICE,
                         "TLS handshake with 127.0.0.3 failed: replaced by a newer connection"),
              0);

    // Four silent connections wait; one more sends the start of a ClientHello.
    const uint8_t hello_start[] = {0x16, 0x03, 0x01};
    const int started = connect_from(0x7F000003);
    service_iterate(*service_);
    send_bytes(started, Bytes(std::begin(hello_start), std::end(hello_start)));
    service_iterate(*service_);
    const ClientsServe serve{store_.registers(), &service_->trace};
    LoopWatch nothing;
    loop_watch_init(nothing, 0);
    const auto waiting = [&] {
        int n = 0;
        for (const ServiceClient& c : service_->clients.places)
            n += c.fd >= 0 && !c.established ? 1 : 0;
        return n;
    };
    ASSERT_EQ(waiting(), 4); // one silent one gave way to it
    int64_t oldest_silent = INT64_MAX, heard = 0;
    for (const ServiceClient& c : service_->clients.places)
        if (c.fd >= 0 && !c.established)
            (c.heard ? heard : oldest_silent) =
                c.heard ? c.accepted_us : std::min(oldest_silent, c.accepted_us);
    log_.clear();
    service_->clients.refusal_lines = LogLimit{SERVICE_REFUSAL_LINES}; // the flood's lines used it
    const int64_t silent = SERVICE_SILENT_SECONDS * 1000000,
                  limit = SERVICE_HANDSHAKE_SECONDS * 1000000;
    const struct {
        int64_t at_us;
        int waiting;
        std::string reason; // of each line logged
    } steps[] = {
        {oldest_silent + silent - 1, 4, ""},
        {heard + silent, 1, "nothing received within 3 seconds"},
        {heard + limit - 1, 1, ""},
        {heard + limit, 0, "not done within 10 seconds"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at_us);
        const int before = waiting();
        clients_run(service_->clients, nothing, step.at_us, serve);
        EXPECT_EQ(waiting(), step.waiting);
        const std::string host = step.waiting == 0 ? "127.0.0.3" : "127.0.0.2";
        EXPECT_EQ(log_.count(LOG_NOTICE, "TLS handshake with " + host + " failed: " + step.reason),
                  step.reason.empty() ? 0 : before - step.waiting);
    }
}

// Connection lines under a flood are limited like the refusal lines: at most
// SERVICE_CONNECTION_LINES a second, the rest counted in one line a second later.
TEST_F(ServiceLoop, ConnectionLinesOfAFloodAreLimited) {
    start();
    for (int i = 0; i < 30; ++i)
        connect_client();
    for (int i = 0; i < 3 && log_.lines().size() == SERVICE_CONNECTION_LINES; ++i)
        service_iterate(*service_); // waits a second at most
    std::vector<std::pair<int, std::string>> lines;
    for (uint32_t k = 0; k < SERVICE_CONNECTION_LINES; ++k)
        lines.emplace_back(LOG_NOTICE, k % 2 == 0 ? "TCP connection from 127.0.0.1 established"
                                                  : "TCP connection from 127.0.0.1 closed");
    lines.emplace_back(LOG_NOTICE, std::to_string(30 + 29 - SERVICE_CONNECTION_LINES) +
                                       " connection lines left out");
    EXPECT_EQ(log_.lines(), lines);
}

// With several clients allowed, requests are served one per client in turn, and a connection
// beyond the limit replaces the client that has been idle longest, once it has sent a whole
// request: until then it replaces no one.
TEST_F(ServiceLoop, SeveralClientsTakeTurnsAndTheIdlestIsReplaced) {
    start(3);
    const int a = connect_client(), b = connect_client(), c = connect_client();
    send_bytes(a, read_requests(4, 100, 1, 1));
    send_bytes(b, read_request(1, 200, 1));
    send_bytes(c, read_request(1, 300, 1));
    service_iterate(*service_);
    EXPECT_EQ(store_.order, (std::vector<uint32_t>{100, 200, 300, 101, 102, 103}));
    EXPECT_EQ(answer_ids(received(a)), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(answer_ids(received(c)), std::vector<int>{1});
    // The next iteration's turns begin one client further on.
    store_.order.clear();
    for (const auto& [fd, start] : {std::pair(a, 110), std::pair(b, 210), std::pair(c, 310)})
        send_bytes(fd, read_request(9, uint16_t(start), 1));
    service_iterate(*service_);
    EXPECT_EQ(store_.order, (std::vector<uint32_t>{210, 310, 110}));
    for (int fd : {a, b, c})
        received(fd);

    // b is now the idlest (c and a were served after it), though a was accepted first: a fourth
    // client takes b's place with its first request, sent in two parts; b is served until then.
    log_.clear();
    const int d = connect_client();
    const Bytes first = read_request(8, 16, 1);
    send_bytes(d, Bytes(first.begin(), first.end() - 1));
    send_bytes(b, read_request(5, 16, 1));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(received(b)), std::vector<int>{5});
    EXPECT_EQ(log_.lines(), (std::vector<std::pair<int, std::string>>{
                                {LOG_NOTICE, "TCP connection from 127.0.0.1 established"}}));
    send_bytes(d, Bytes(first.end() - 1, first.end()));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(received(d)), std::vector<int>{8});
    EXPECT_EQ(drain(c, 2000), 0); // b was served since: c is now the idlest
    for (int fd : {a, b}) {
        send_bytes(fd, read_request(8, 16, 1));
        service_iterate(*service_);
        EXPECT_EQ(answer_ids(received(fd)), std::vector<int>{8});
    }
}

// With several clients, a request that arrives while another client's batch is served is taken
// in between two answers and served in the next turn, not after the whole batch.
TEST_F(ServiceLoop, RequestArrivingMidBatchIsServedInTheNextTurn) {
    start(2);
    const int a = connect_client(), b = connect_client();
    // The device's first read is when b sends; it returns once the gateway's end has b's bytes.
    struct Arrival {
        RecordingStore* store;
        int client, gateway_end;
        bool sent = false;
    } arrival{&store_, b, service_->clients.places[1].fd};
    service_->registers = {
        [](void* c, uint32_t start, uint32_t quantity, uint16_t* values) {
            auto& arrival = *static_cast<Arrival*>(c);
            if (!arrival.sent) {
                arrival.sent = true;
                const Bytes request = read_request(9, 200, 1);
                send(arrival.client, request.data(), request.size(), 0);
                wait_fd(arrival.gateway_end, WaitFor::read, wait_clock_us() + 5000000);
            }
            return arrival.store->recording().read(arrival.store, start, quantity, values);
        },
        store_.registers().write, &arrival};
    send_bytes(a, read_requests(5, 100, 1, 1));
    service_iterate(*service_);
    EXPECT_EQ(store_.order, (std::vector<uint32_t>{100, 200, 101, 102, 103, 104}));
    EXPECT_EQ(answer_ids(received(b)), std::vector<int>{9});
    EXPECT_EQ(answer_ids(received(a)), (std::vector<int>{0, 1, 2, 3, 4}));
}

// Function 6 is served only when the settings ask for it, as a one-register write: echoed, or
// exception 3 for a frame too short to hold the value, 4 when the write fails.
TEST_F(ServiceLoop, WriteSingleOnlyWhenEnabled) {
    const struct {
        uint32_t option;
        Bytes request, answer;
        uint16_t stored;
    } rows[] = {
        {0, {1, 6, 0x00, 0x20, 0xBE, 0xEF}, {1, 0x86, 1}, 0},
        {1, {1, 6, 0x00, 0x20, 0xBE, 0xEF}, {1, 6, 0x00, 0x20, 0xBE, 0xEF}, 0xBEEF},
        {1, {1, 6, 0x00, 0x20, 0x12}, {1, 0x86, 3}, 0},
        {1, {1, 6, 0x00, 0x21, 0x12, 0x34}, {1, 0x86, 4}, 0}, // register 0x21 fails
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.answer.size());
        TearDown();
        service_ = std::make_unique<Service>();
        clients_.clear();
        store_.values.fill(0);
        store_.failing = 0x21;
        start(0, r.option);
        const int fd = connect_client();
        send_bytes(fd, frame(4, r.request));
        service_iterate(*service_);
        EXPECT_EQ(received(fd), frame(4, r.answer));
        EXPECT_EQ(store_.values[0x20], r.stored);
    }
}

// A signal during the loop's wait is no error: no log line, no pause, the wait goes on.
TEST_F(ServiceLoop, SignalsDuringTheWaitAreNoError) {
    start();
    {
        SignalStorm storm(20);
        service_iterate(*service_);
    }
    EXPECT_TRUE(log_.lines().empty());
}

// Requests by function, exceptions by code and clients, with the device's and the push cycle's
// counters, in one line.
TEST_F(ServiceLoop, CountersLine) {
    start(2);
    store_.failing = 0x21;
    connect_client();
    connect_client();
    const int fd = connect_client(); // replaces the idlest
    for (const Bytes& body : {Bytes{1, 3, 0, 0x20, 0, 1}, Bytes{1, 3, 0, 0x21, 0, 1},
                              Bytes{1, 3, 0, 0x20, 0, 0}, Bytes{1, 16, 0, 0x20, 0, 1, 2, 0, 1},
                              Bytes{1, 6, 0, 0x20, 0, 1}, Bytes{1, 4, 0, 0, 0, 1}}) {
        send_bytes(fd, frame(1, body));
        service_iterate(*service_);
    }
    service_->line.counters = {5, 1, 2, 3};
    service_->push.counters = {4, 3, 1, 6};
    service_->counters.started_us = 0;
    log_.clear();
    service_log_counters(*service_, 3600 * int64_t{1000000} + 999999);
    EXPECT_EQ(log_.lines(),
              (std::vector<std::pair<int, std::string>>{
                  {LOG_NOTICE, "counters: uptime=3600 requests_fc3=3 requests_fc16=1 "
                               "requests_fc6=1 requests_other=1 exceptions_1=2 exceptions_3=1 "
                               "exceptions_4=1 device_transactions=5 device_timeouts=1 "
                               "device_naks=2 device_rejected=3 push_cycles=4 push_succeeded=3 "
                               "push_failed=1 slots_acknowledged=6 clients_accepted=3 "
                               "clients_replaced=1 clients_refused=0 cache_hits=0 "
                               "cache_misses=0"}}));
}

// With MOD_KOVEX4_CACHE_MS (here an hour, so nothing expires during the test) a read whose
// registers were all read before is answered from memory, byte for byte as before, even after
// the device changed; writes, failed reads and a lost line send the next read to the device.
TEST_F(ServiceLoop, CacheAnswersRepeatedReadsFromMemory) {
    service_->settings.cache_ms = 3600 * 1000;
    start();
    const int fd = connect_client();
    store_.values[0x0201] = 0x1111;
    const auto ask = [&](const Bytes& request) {
        store_.order.clear();
        send_bytes(fd, request);
        service_iterate(*service_);
        return received(fd);
    };
    const Bytes first = ask(read_request(1, 0x0200, 4));
    EXPECT_EQ(store_.order, std::vector<uint32_t>{0x0200});
    store_.values[0x0201] = 0x2222; // the device changes: the kept value answers until it expires
    const struct {
        const char* what;
        Bytes request;
        std::vector<uint32_t> device_reads; // first register of each read that reached the device
        Bytes answer = {};                  // checked when given
    } rows[] = {
        {"same read", read_request(1, 0x0200, 4), {}, first},
        {"part of it", read_request(1, 0x0201, 2), {}, frame(1, {1, 3, 4, 0x11, 0x11, 0, 0})},
        {"one register more", read_request(1, 0x0200, 5), {0x0200}},
        {"write", write_request(1, 0x0202, {5}), {}},
        {"written register", read_request(1, 0x0202, 1), {0x0202}},
        {"failed read", read_request(1, 0x0203, 3), {0x0203}}, // 0x0205 is not kept
        {"after the failure", read_request(1, 0x0203, 1), {0x0203}},
        {"after the failure, again", read_request(1, 0x0203, 1), {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        store_.failing = std::string(row.what) == "failed read" ? 0x0203 : UINT32_MAX;
        const Bytes answer = ask(row.request);
        EXPECT_EQ(store_.order, row.device_reads);
        if (!row.answer.empty()) {
            EXPECT_EQ(answer, row.answer);
        }
    }
    // A lost line drops everything.
    service_->line.lost = true;
    service_->line.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    service_check_line(*service_, wait_clock_us());
    EXPECT_EQ(ask(read_request(1, 0x0200, 1)), frame(1, {1, 3, 2, 0, 0}));
    EXPECT_EQ(store_.order, std::vector<uint32_t>{0x0200});
    EXPECT_EQ(service_->counters.cache_hits, 3u);
    EXPECT_EQ(service_->counters.cache_misses, 6u);
}

// MOD_KOVEX4_LISTEN that is not an address, or not on the machine, leaves the service without a
// server (one that is, and only it, is served: ServerOptions.ListenAddressOnly).
TEST_F(ServiceLoop, ListenAddressRefused) {
    Service& s = *service_;
    const std::pair<const char*, const char*> refused[] = {
        {"localhost", "listen address localhost is not an IPv4 address"},
        {"192.0.2.1", "bind socket error: Cannot assign requested address"},
    };
    for (const auto& [listen, message] : refused) {
        s.settings.listen = listen;
        log_.clear();
        service_start_server(s);
        EXPECT_EQ(s.clients.listen_fd, -1);
        EXPECT_EQ(log_.count(LOG_ERR, message), 1) << listen;
    }
}

// MOD_KOVEX4_ALLOW against a client at 127.0.0.1: refused connections are closed unread, logged
// and counted; invalid entries are logged once at start-up and never let everyone in.
TEST_F(ServiceLoop, AllowList) {
    std::string full; // 32 entries that do not match, then one beyond the table that would
    for (int k = 1; k <= 32; ++k)
        full += "10.0.0." + std::to_string(k) + ",";
    full += "127.0.0.1";
    const struct {
        std::string allow;
        bool allowed;
        std::vector<std::string> errors; // logged at start-up
    } rows[] = {
        {"", true, {}},
        {" , ", true, {}},
        {"127.0.0.2/32", false, {}},
        {"127.0.0.0/8", true, {}},
        {"10.0.0.1, 127.0.0.1", true, {}},
        {"192.0.2.0/24\t127.1.2.3/15", true, {}},
        {"0.0.0.0/0", true, {}},
        {"local 127.0.0.1/33",
         false,
         {"allow list entry local is not an IPv4 address or network",
          "allow list entry 127.0.0.1/33 is not an IPv4 address or network"}},
        {"127.0.0.256,127.0.0.1",
         true,
         {"allow list entry 127.0.0.256 is not an IPv4 address or network"}},
        {"+127.0.0.1 127.0.0.1x 4294967297.0.0.1 127.0.0.1/",
         false,
         {"allow list entry +127.0.0.1 is not an IPv4 address or network",
          "allow list entry 127.0.0.1x is not an IPv4 address or network",
          "allow list entry 4294967297.0.0.1 is not an IPv4 address or network",
          "allow list entry 127.0.0.1/ is not an IPv4 address or network"}},
        {full, false, {"allow list entry 127.0.0.1 is beyond the first 32 entries"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.allow);
        TearDown();
        service_ = std::make_unique<Service>();
        clients_.clear();
        store_.order.clear();
        log_.clear();
        service_->settings.allow = row.allow;
        start();
        const int fd = connect_from(INADDR_LOOPBACK);
        // A request already waiting when the service accepts: read only from an allowed client.
        send_bytes(fd, read_request(5, 16, 1));
        service_iterate(*service_);
        if (row.allowed)
            service_iterate(*service_); // read from the next iteration on
        std::vector<std::pair<int, std::string>> lines;
        for (const std::string& error : row.errors)
            lines.emplace_back(LOG_ERR, error);
        lines.emplace_back(LOG_NOTICE, std::string("TCP connection from 127.0.0.1 ") +
                                           (row.allowed ? "established" : "refused"));
        EXPECT_EQ(log_.lines(), lines);
        EXPECT_EQ(service_->clients.counters.accepted, row.allowed ? 1u : 0u);
        EXPECT_EQ(service_->clients.counters.refused, row.allowed ? 0u : 1u);
        if (row.allowed) {
            EXPECT_EQ(answer_ids(received(fd)), std::vector<int>{5});
        } else {
            // Closed with the request unread: the peer sees a reset.
            pollfd p{fd, POLLIN, 0};
            uint8_t byte;
            ASSERT_EQ(poll(&p, 1, 2000), 1);
            EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), -1);
            EXPECT_EQ(errno, ECONNRESET);
        }
        EXPECT_EQ(store_.order.size(), row.allowed ? 1u : 0u);
    }
}

// Refused connections replace no client: the one connected goes on being served. A flood of them
// is logged in at most SERVICE_REFUSAL_LINES lines a second, the rest counted in one line a second
// after the first one left out; every connection is counted.
TEST_F(ServiceLoop, RefusedClientsReplaceNoOneNorFloodTheLog) {
    service_->settings.allow = "127.0.0.2";
    start();
    const int allowed = connect_from(0x7F000002);
    service_iterate(*service_);
    int refused = -1;
    for (int i = 0; i < 30; ++i) {
        refused = connect_from(INADDR_LOOPBACK);
        service_iterate(*service_);
    }
    EXPECT_EQ(drain(refused, 2000), 0);
    for (int i = 0; i < 3 && log_.lines().size() == 1 + SERVICE_REFUSAL_LINES; ++i)
        service_iterate(*service_); // waits a second at most
    send_bytes(allowed, read_request(3, 16, 1));
    service_iterate(*service_);
    EXPECT_EQ(answer_ids(received(allowed)), std::vector<int>{3});
    std::vector<std::pair<int, std::string>> lines(
        1 + SERVICE_REFUSAL_LINES, {LOG_NOTICE, "TCP connection from 127.0.0.1 refused"});
    lines[0].second = "TCP connection from 127.0.0.2 established";
    lines.emplace_back(LOG_NOTICE, std::to_string(30 - SERVICE_REFUSAL_LINES) + " lines left out");
    EXPECT_EQ(log_.lines(), lines);
    const ClientsCounters& c = service_->clients.counters;
    EXPECT_EQ(std::tuple(c.accepted, c.replaced, c.refused), std::tuple(1u, 0u, 30u));
}

// Allow list entries: an address, or a network whose address bits beyond its length do not count.
// A settings file that cannot be opened is logged with its path and then reads like an empty
// one (no device: "/dev/" cannot be opened); a readable file adds no line. The judge's warnings
// (here about port 0, which both give) come before anything is opened.
TEST(ServiceStart, SettingsFileThatCannotBeOpenedIsLogged) {
    TempDir dir;
    com_set_lock_dir(dir.path().c_str());
    write_file(dir.file("settings"), "MOD_KOVEX4_DEVICE=ttyNONE\nMOD_KOVEX4_LISTEN=127.0.0.1\n");
    const std::string missing = dir.file("missing");
    const std::pair<int, std::string> port = {
        LOG_WARNING,
        "MOD_KOVEX4_PORT: port 0: the gateway listens on a port the system picks, which no client "
        "can know"};
    const struct {
        std::string path;
        std::vector<std::pair<int, std::string>> lines;
    } cases[] = {
        {missing,
         {{LOG_ERR, "open(" + missing + ") error: No such file or directory"},
          port,
          {LOG_ERR, "open(/dev/) error: Is a directory"}}},
        {dir.file("settings"),
         {port, {LOG_ERR, "open(/dev/ttyNONE) error: No such file or directory"}}},
    };
    for (const auto& c : cases) {
        LogCapture log;
        auto service = std::make_unique<Service>();
        EXPECT_EQ(service_start(*service, c.path.c_str()), 0);
        if (service->clients.listen_fd >= 0)
            close(service->clients.listen_fd);
        EXPECT_EQ(log.lines(), c.lines) << c.path;
        // The gateway that ends leaves no lock behind ("LCK.." for the empty name).
        for (const char* lock : {"LCK..", "LCK..ttyNONE"})
            EXPECT_NE(access(dir.file(lock).c_str(), F_OK), 0) << lock;
    }
    com_set_lock_dir(nullptr);
}

// A lost line whose reopening fails says why, once for each reason in a row: a device that is
// not there, one that cannot be opened, a lock held by another process. A device back under
// another name (its link pointing elsewhere) is locked by that name, and the old lock released.
TEST(ServiceLine, ReopenFailureLoggedOncePerReason) {
    TempDir dir;
    com_set_lock_dir(dir.path().c_str());
    Pty pty;
    const std::string device = dir.file("ttyLINK"), folder = dir.file("folder");
    const std::string pty_lock =
        dir.file("LCK.." + pty.slave_path.substr(pty.slave_path.rfind('/') + 1));
    mkdir(folder.c_str(), 0755);
    auto point_to = [&](const std::string& target) {
        unlink(device.c_str());
        ASSERT_EQ(symlink(target.c_str(), device.c_str()), 0);
    };
    point_to(pty.slave_path);
    auto service = std::make_unique<Service>();
    DevLine& line = service->line;
    ASSERT_EQ(com_lock(device.c_str(), 1), 1);
    ASSERT_EQ(dev_line_open(line, DevLinePort{device, 9600, 8, "N", 1}), 1);
    LogCapture log;
    line.lost = true;
    int64_t now = 1000000;
    service_check_line(*service, now);
    const struct {
        std::function<void()> change;
        std::string logged; // by the first try after the change; the second logs nothing
    } steps[] = {
        {[&] { point_to(dir.file("none")); }, "No such file or directory"},
        {[&] { point_to(folder); }, "Is a directory"},
        {[&] {
             point_to(pty.slave_path);
             write_file(pty_lock, "1\n");
         },
         "its lock file " + pty_lock + " names process 1"},
    };
    std::vector<std::pair<int, std::string>> expected = {
        {LOG_ERR, "device " + device + " lost: end of file"}};
    for (const auto& step : steps) {
        step.change();
        for (int i = 0; i < 2; ++i)
            service_check_line(*service, now += SERVICE_REOPEN_SECONDS * 1000000);
        expected.emplace_back(LOG_ERR, "device " + device + " cannot be reopened: " + step.logged);
    }
    unlink(pty_lock.c_str());
    service_check_line(*service, now += SERVICE_REOPEN_SECONDS * 1000000);
    expected.emplace_back(LOG_NOTICE, "device " + device + " reopened");
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(std::stoi(read_file(pty_lock)), getpid());
    EXPECT_NE(access(dir.file("LCK..folder").c_str(), F_OK), 0);
    dev_line_close(line);
    com_set_lock_dir(nullptr);
}

} // namespace

// The push schedule runs on the monotonic clock: a time of day that jumps (NTP setting a gateway
// without a battery-backed clock) neither holds it back nor makes it due. The slot's register
// fails to read, so a due cycle connects to the target and closes again at once.
TEST_F(ServiceLoop, PushScheduleFollowsTheMonotonicClockNotTheTimeOfDay) {
    const int target = socket_open_tcp_server(0, 0x7F000001);
    ASSERT_GE(target, 0);
    Settings& s = service_->settings;
    s.ipaddr = "127.0.0.1";
    s.port = bound_port(target);
    s.data_period = 3600;
    s.start[0] = 1;
    s.count[0] = 1;
    store_.failing = 0;
    service_->registers = store_.registers();
    const std::string connected = "TCP connection to 127.0.0.1 established";

    // A minute since start by the time of day, none by the monotonic clock: not due.
    push_init(service_->push, s, time(nullptr) - PUSH_FIRST_DELAY);
    service_iterate(*service_);
    EXPECT_EQ(log_.count(LOG_NOTICE, connected), 0);
    // A minute since start by the monotonic clock: due, whatever the time of day says.
    push_init(service_->push, s, wait_clock_us() / 1000000 - PUSH_FIRST_DELAY);
    service_iterate(*service_);
    for (int i = 0; i < 1000 && push_busy(service_->push); ++i)
        service_iterate(*service_);
    EXPECT_EQ(log_.count(LOG_NOTICE, connected), 1);
    close(target);
}
