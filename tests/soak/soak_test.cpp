// SPDX-License-Identifier: Apache-2.0
// Soak test of the real daemon: a field device that misbehaves now and then, one client that
// reads and writes all over the register space and a second one that sends rubbish. Every read
// answer is checked against the device's store, every acknowledged write must be in it and no
// read may write to the device; at the end the descriptors and memory must not have grown and
// every connection must have been logged. KOVEX4_SOAK_SECONDS sets the duration (default 120)
// and KOVEX4_SOAK_SEED the random seed.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "fixture.h"
#include "regmap/regmap.h"
#include "regmap/regs.h"

namespace {

constexpr unsigned FAULT_PERCENT = 2;
constexpr long RSS_SLACK_KB = 128; // page-sized noise; a leak per request over thousands shows
// A read whose three batches all time out takes 9 s; one queued behind another, twice that.
constexpr int ANSWER_TIMEOUT_MS = 30000;
constexpr const char* ESTABLISHED = "TCP connection from 127.0.0.1 established";
constexpr const char* CLOSED = "TCP connection from 127.0.0.1 closed";

unsigned env_number(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                            : fallback;
}

int open_descriptors(pid_t pid) {
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(fds), {}));
}

long resident_kb(pid_t pid) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

struct Store {
    std::array<std::array<uint16_t, 256>, 256> items;
    std::array<uint8_t, 10> block;
    uint8_t flag;
};

Store snapshot(DevSimServer& sim) {
    return sim.with([](DevSim& s) { return Store{s.items, s.block, s.flag}; });
}

bool is_block(uint32_t start, size_t quantity) {
    return start == REGS_BLOCK_START && quantity == REGS_BLOCK_COUNT;
}

// What a read of `quantity` registers from `start` must give from the device's store: 16 bits
// of 'i' and 'a' items, the low byte of the others, one bit per item of a bit-packed row.
std::vector<uint16_t> expected_read(const Store& s, uint32_t start, size_t quantity) {
    std::vector<uint16_t> out(quantity, 0);
    if (is_block(start, quantity)) {
        out[0] = static_cast<uint16_t>(s.block[0] | s.block[1] << 8);
        for (size_t k = 1; k < REGS_BLOCK_COUNT; ++k)
            out[k] = s.block[k + 1];
        return out;
    }
    for (size_t k = 0; k < quantity; ++k) {
        const RegMapEntry* row = regmap_lookup(static_cast<uint32_t>(start + k));
        for (int j = 0; row != nullptr && j < row->item_count; ++j) {
            const uint8_t type = row->item_type;
            const uint16_t v = s.items[type][static_cast<uint8_t>(row->first_item + j)];
            const uint16_t delivered = type == DEV_TYPE_I || type == DEV_TYPE_A ? v : v & 0xFF;
            out[k] = row->item_count == 1 ? delivered : out[k] | (delivered != 0) << j;
        }
    }
    return out;
}

// True when the device's store holds what a write of `values` from `start` sends: 16 bits to
// 'i' items, the low byte to the others, a bit to each item of a bit-packed row; the block's
// bytes 6 and 7 never travel and the flag is set by any value but 0.
bool write_landed(const Store& s, uint32_t start, const std::vector<uint16_t>& values) {
    if (start == REGS_FLAG_REGISTER && values.size() == 1)
        return s.flag == (values[0] != 0);
    const std::vector<uint16_t> now = expected_read(s, start, values.size());
    for (size_t k = 0; k < values.size(); ++k) {
        const RegMapEntry* row = regmap_lookup(static_cast<uint32_t>(start + k));
        uint16_t mask = 0xFF;
        if (is_block(start, values.size()))
            mask = k == 0 ? 0xFFFF : k == 6 || k == 7 ? 0 : 0xFF;
        else if (row == nullptr || row->item_count == 0)
            mask = 0;
        else if (row->item_count > 1)
            mask = static_cast<uint16_t>((1u << row->item_count) - 1);
        else if (row->item_type == DEV_TYPE_I)
            mask = 0xFFFF;
        if ((now[k] & mask) != (values[k] & mask))
            return false;
    }
    return true;
}

// Regions with map rows, block and flag aside.
constexpr std::array<std::array<uint32_t, 2>, 5> MAPPED = {
    {{0x0000, 0x0017}, {0x0100, 0x010A}, {0x0200, 0x0263}, {0x0400, 0x0463}, {0x2000, 0x2803}}};

struct Request {
    bool write;
    uint32_t start;
    uint32_t quantity;
    std::vector<uint16_t> values;
};

Request random_request(std::mt19937& rng) {
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    Request r{below(2) == 0, 0, 0, {}};
    r.quantity = below(2) == 0 ? 1 + below(8) : 1 + below(r.write ? 123 : 125);
    const uint32_t pick = below(100);
    if (pick < 10) {
        r.start = REGS_BLOCK_START;
        r.quantity = REGS_BLOCK_COUNT;
    } else if (pick < 15) {
        r.start = REGS_FLAG_REGISTER;
        r.quantity = 1;
    } else if (pick < 75) {
        const auto& region = MAPPED[below(MAPPED.size())];
        const uint32_t from = region[0] >= 10 ? region[0] - 10 : 0;
        r.start = from + below(region[1] + 1 - from);
    } else {
        r.start = below(65536);
    }
    for (uint32_t k = 0; r.write && k < r.quantity; ++k)
        r.values.push_back(below(4) == 0 ? 0 : static_cast<uint16_t>(rng()));
    return r;
}

// Connects now and then, sends rubbish in up to three pieces and goes away. It never sends the
// byte 16, so that no write request can arise and the device changes only through the client.
void hostile_client(unsigned port, uint32_t seed, const std::atomic<bool>& stop,
                    std::atomic<unsigned>& connections) {
    std::mt19937 rng(seed);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    while (!stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + below(1200)));
        const int fd = connect_local(port);
        if (fd < 0)
            continue;
        ++connections;
        Bytes out;
        const uint32_t kind = below(5);
        if (kind == 1) // a header announcing more than a frame can hold, then part of it
            out = mbap_wire(uint16_t(rng()), 0, uint16_t(257 + below(65279)), {1, uint8_t(rng())});
        else if (kind == 2) // half a read request; the rest never comes
            out = read_request(uint16_t(rng()), uint16_t(rng()), uint16_t(1 + below(125)));
        else if (kind == 3) // empty frames
            out = hex("01 02 00 00 00 00 03 04 00 00 00 00");
        else if (kind == 4) // requests answered with an exception without the device
            out = hex("00 04 00 00 00 06 01 04 00 01 00 01  00 06 00 00 00 06 01 2B 00 01 00 01 "
                      "00 08 00 00 00 06 01 83 00 01 00 01  00 09 00 00 00 06 01 03 04 00 00 00 "
                      "00 09 00 00 00 06 01 03 04 00 00 7E");
        if (kind == 2)
            out.resize(1 + below(11));
        for (size_t n = kind == 0 ? 1 + below(700) : below(kind == 1 ? 400 : 50); n > 0; --n)
            out.push_back(static_cast<uint8_t>(rng()));
        for (uint8_t& b : out)
            b = b == 16 ? 17 : b;
        const size_t cut1 = below(static_cast<uint32_t>(out.size() + 1));
        const size_t cut2 = cut1 + below(static_cast<uint32_t>(out.size() - cut1 + 1));
        const size_t cuts[] = {0, cut1, cut2, out.size()};
        for (int i = 0; i < 3; ++i) {
            if (cuts[i + 1] > cuts[i])
                send(fd, out.data() + cuts[i], cuts[i + 1] - cuts[i], MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(below(50)));
        }
        close(fd);
    }
}

using Reliability = DaemonFixture;

TEST_F(Reliability, SoakWithFaultyDeviceAndHostileClients) {
    const unsigned seconds = env_number("KOVEX4_SOAK_SECONDS", 120);
    const uint32_t seed = env_number("KOVEX4_SOAK_SEED", 20240611);
    std::mt19937 rng(seed);
    d.sim().with([&](DevSim& s) {
        for (auto& type : s.items)
            for (uint16_t& v : type)
                v = static_cast<uint16_t>(rng());
        for (uint8_t& b : s.block)
            b = static_cast<uint8_t>(rng());
        s.fault_percent = FAULT_PERCENT;
        s.seed = seed;
    });
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening()) << "exit status " << d.wait_exit(0);
    const pid_t pid = d.pid();
    const int base_established = d.count_log(ESTABLISHED), base_closed = d.count_log(CLOSED);
    const int fds_start = open_descriptors(pid);
    const long rss_start = resident_kb(pid);
    long rss_warm = -1;

    std::atomic<bool> stop{false};
    std::atomic<unsigned> hostile_connections{0};
    std::thread hostile(hostile_client, d.port(), seed + 1, std::cref(stop),
                        std::ref(hostile_connections));

    unsigned requests = 0, served = 0, exceptions = 0, drops = 0, connections = 0;
    unsigned wrong_values = 0, lost_writes = 0, reads_writing = 0, bad_answers = 0, stalls = 0;
    uint64_t device_requests = 0;
    const int64_t t0 = now_ns();
    int fd = -1;
    unsigned until_reconnect = 0;
    uint16_t tid = 0;
    while (seconds_since(t0) < seconds && d.wait_exit(0) < 0) {
        if (fd < 0 && (fd = connect_local(d.port())) >= 0) {
            ++connections;
            until_reconnect = 20 + rng() % 200;
        }
        if (fd < 0)
            continue;
        const Request r = random_request(rng);
        const Bytes request = r.write ? write_request(++tid, r.start, r.values)
                                      : read_request(++tid, r.start, r.quantity);
        ++requests;
        Bytes answer;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()))
            answer = read_frame(fd, ANSWER_TIMEOUT_MS);
        const Store device = snapshot(d.sim());
        d.sim().with([&](DevSim& s) {
            device_requests += s.requests.size();
            for (const SimRequest& q : s.requests)
                reads_writing +=
                    !r.write && q.command != DEV_CMD_READ_ITEMS && q.command != DEV_CMD_READ_BLOCK;
            s.requests.clear();
        });
        // Transaction id, protocol id and unit id echoed; then the function and what follows.
        const bool echoed = answer.size() >= 9 &&
                            std::equal(answer.begin(), answer.begin() + 4, request.begin()) &&
                            answer[6] == request[6];
        if (echoed && answer.size() == 9 && answer[7] == (request[7] | 0x80) && answer[8] == 4) {
            ++exceptions;
        } else if (echoed && r.write && answer.size() == 12 &&
                   std::equal(answer.begin() + 7, answer.end(), request.begin() + 7)) {
            ++served;
            lost_writes += !write_landed(device, r.start, r.values);
        } else if (echoed && !r.write && answer.size() == 9 + 2 * r.quantity && answer[7] == 3 &&
                   answer[8] == 2 * r.quantity) {
            ++served;
            const std::vector<uint16_t> want = expected_read(device, r.start, r.quantity);
            for (size_t k = 0; k < r.quantity; ++k) {
                const uint16_t got =
                    static_cast<uint16_t>(answer[9 + 2 * k] << 8 | answer[10 + 2 * k]);
                if (got != want[k] && ++wrong_values <= 10)
                    std::printf("wrong value: register %zu read %u, device holds %u\n", r.start + k,
                                got, want[k]);
            }
        } else if (!answer.empty()) {
            ++bad_answers;
        } else if (!wait_readable(fd, 0) && d.wait_exit(0) < 0) {
            if (++stalls <= 3)
                std::printf("no answer to %s of %u registers from %u; the daemon waits in %s\n",
                            r.write ? "a write" : "a read", r.quantity, r.start,
                            read_file("/proc/" + std::to_string(pid) + "/wchan").c_str());
        } else {
            ++drops; // the connection was ended: a newer client took its place
        }
        if (answer.empty() || --until_reconnect == 0) {
            close(fd);
            fd = -1;
        }
        if (rss_warm < 0 && seconds_since(t0) >= seconds / 10.0)
            rss_warm = resident_kb(pid);
    }
    stop = true;
    hostile.join();
    close(fd);
    ASSERT_LT(d.wait_exit(0), 0) << "the daemon died";

    // Every connection made must have been logged as established and as closed.
    const int made = static_cast<int>(connections + hostile_connections);
    eventually([&] { return d.count_log(CLOSED) - base_closed >= made; }, 20000);
    const int established = d.count_log(ESTABLISHED) - base_established;
    const int closed = d.count_log(CLOSED) - base_closed;
    const uint64_t faults = d.sim().with([](DevSim& s) { return s.faults_injected; });
    const int fds_end = open_descriptors(pid);
    const long rss_end = resident_kb(pid);

    std::printf("soak: %u s, seed %u, %u%% device faults: %llu device requests, %llu faults\n"
                "soak: requests %u: %u served, %u exception 4, %u dropped by a newer client, "
                "%u unanswered, %u malformed answers\n"
                "soak: wrong values %u, acknowledged writes missing %u, reads that wrote %u\n"
                "soak: connections %d (%u hostile), logged %d established, %d closed\n"
                "soak: descriptors %d at start, %d at end; VmRSS %ld kB at start, %ld kB after "
                "warm-up, %ld kB at end\n",
                seconds, seed, FAULT_PERCENT, static_cast<unsigned long long>(device_requests),
                static_cast<unsigned long long>(faults), requests, served, exceptions, drops,
                stalls, bad_answers, wrong_values, lost_writes, reads_writing, made,
                hostile_connections.load(), established, closed, fds_start, fds_end, rss_start,
                rss_warm, rss_end);
    std::fflush(stdout);
    EXPECT_EQ(wrong_values, 0u);
    EXPECT_EQ(lost_writes, 0u);
    EXPECT_EQ(reads_writing, 0u);
    EXPECT_EQ(bad_answers, 0u);
    EXPECT_EQ(stalls, 0u);
    EXPECT_EQ(established, made);
    EXPECT_EQ(closed, made);
    EXPECT_EQ(fds_end, fds_start);
    EXPECT_GT(rss_warm, 0);
    EXPECT_LE(rss_end, rss_warm + RSS_SLACK_KB);
    // The run must have exercised what it claims to.
    EXPECT_GT(faults, 0u);
    EXPECT_GT(exceptions, 0u);
    EXPECT_GT(drops, 0u);
    EXPECT_GT(hostile_connections.load(), 0u);
}

} // namespace
