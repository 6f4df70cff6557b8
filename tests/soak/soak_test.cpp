// Soak test of the real daemon: a field device that misbehaves now and then, one client that
// reads and writes all over the register space and a second one that sends rubbish. Every read
// answer is checked against a model of the device's store, and at the end every acknowledged
// write must be in the device, the descriptors and memory must not have grown and every
// connection must have been logged. KOVEX4_SOAK_SECONDS sets the duration (default 120) and
// KOVEX4_SOAK_SEED the random seed.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "regmap/regmap.h"
#include "regmap/regs.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr unsigned FAULT_PERCENT = 2;
constexpr long RSS_SLACK_KB = 128; // page-sized noise; a leak per request over thousands shows
// A read whose three batches all time out takes 9 s; one queued behind another, twice that.
constexpr int ANSWER_TIMEOUT_MS = 30000;
constexpr const char* ESTABLISHED = "TCP connection from 127.0.0.1 established";
constexpr const char* CLOSED = "TCP connection closed";

unsigned env_number(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                            : fallback;
}

int64_t ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// --- the daemon seen from outside ---

int open_descriptors(pid_t pid) {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

long resident_kb(pid_t pid) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// --- what the device holds ---

using ItemStore = std::array<std::array<uint16_t, 256>, 256>;

struct Store {
    ItemStore items;
    std::array<uint8_t, 10> block;
    uint8_t flag;
};

Store snapshot(DevSimServer& sim) {
    return sim.with([](DevSim& s) { return Store{s.items, s.block, s.flag}; });
}

// What a read of the item delivers: 16 bits for 'i' and 'a', the low byte for the others.
uint16_t delivered(const ItemStore& items, uint8_t type, uint8_t number) {
    const uint16_t v = items[type][number];
    return type == 'i' || type == 'a' ? v : v & 0xFF;
}

uint16_t mapped_register(const ItemStore& items, uint32_t reg) {
    const RegMapEntry* row = regmap_lookup(reg);
    if (row == nullptr || row->item_count == 0)
        return 0;
    if (row->item_count == 1)
        return delivered(items, row->item_type, row->first_item);
    uint16_t bits = 0;
    for (int j = 0; j < row->item_count; ++j)
        if (delivered(items, row->item_type, static_cast<uint8_t>(row->first_item + j)) != 0)
            bits = static_cast<uint16_t>(bits | 1u << j);
    return bits;
}

bool is_block(uint32_t start, uint32_t quantity) {
    return start == REGS_BLOCK_START && quantity == REGS_BLOCK_COUNT;
}

// One thing a write changes in the device: an item, a byte of the block or the flag.
struct Effect {
    enum Kind { item, block, flag } kind;
    uint8_t type;
    uint8_t index; // item number or block byte
    uint16_t value;
};

// What the device stores when it accepts a write of `values` from `start`.
std::vector<Effect> write_effects(uint32_t start, const std::vector<uint16_t>& values) {
    std::vector<Effect> out;
    const size_t quantity = values.size();
    if (is_block(start, static_cast<uint32_t>(quantity))) {
        // word, byte[1..5], byte[8]; byte[6] and byte[7] never travel.
        out.push_back({Effect::block, 0, 0, static_cast<uint16_t>(values[0] & 0xFF)});
        out.push_back({Effect::block, 0, 1, static_cast<uint16_t>(values[0] >> 8)});
        for (uint8_t k : {1, 2, 3, 4, 5, 8})
            out.push_back({Effect::block, 0, static_cast<uint8_t>(k + 1),
                           static_cast<uint16_t>(values[k] & 0xFF)});
        return out;
    }
    if (start == REGS_FLAG_REGISTER && quantity == 1) {
        out.push_back({Effect::flag, 0, 0, static_cast<uint16_t>(values[0] != 0)});
        return out;
    }
    for (size_t k = 0; k < quantity; ++k) {
        const RegMapEntry* row = regmap_lookup(static_cast<uint32_t>(start + k));
        if (row == nullptr)
            continue;
        const uint16_t v = values[k];
        if (row->item_count == 1)
            out.push_back({Effect::item, row->item_type, row->first_item,
                           row->item_type == 'i' ? v : static_cast<uint16_t>(v & 0xFF)});
        for (int j = 0; row->item_count > 1 && j < row->item_count; ++j)
            out.push_back({Effect::item, row->item_type, static_cast<uint8_t>(row->first_item + j),
                           static_cast<uint16_t>(v >> j & 1)});
    }
    return out;
}

// The device's store as our acknowledged writes left it. What a failed or unanswered write
// touched is unsure (it may have been carried out in part) until a read settles it from the
// simulator: such a write is always taken up by the device before any later request.
struct Model {
    Store store{};
    std::array<std::array<bool, 256>, 256> item_unsure{};
    std::array<bool, 10> block_unsure{};
    bool flag_unsure = false;

    void written(const std::vector<Effect>& effects, bool acknowledged) {
        for (const Effect& e : effects) {
            bool& unsure = e.kind == Effect::item    ? item_unsure[e.type][e.index]
                           : e.kind == Effect::block ? block_unsure[e.index]
                                                     : flag_unsure;
            unsure = !acknowledged;
            if (!acknowledged)
                continue;
            if (e.kind == Effect::item)
                store.items[e.type][e.index] = e.value;
            else if (e.kind == Effect::block)
                store.block[e.index] = static_cast<uint8_t>(e.value);
            else
                store.flag = static_cast<uint8_t>(e.value);
        }
    }

    // The registers a read must give; unsure items in the range are settled from `sim` first.
    std::vector<uint16_t> expected(DevSimServer& sim, uint32_t start, uint32_t quantity) {
        std::vector<uint16_t> out(quantity, 0);
        if (is_block(start, quantity)) {
            if (std::find(block_unsure.begin(), block_unsure.end(), true) != block_unsure.end()) {
                store.block = sim.with([](DevSim& s) { return s.block; });
                block_unsure = {};
            }
            out[0] = static_cast<uint16_t>(store.block[0] | store.block[1] << 8);
            for (size_t k = 1; k < 9; ++k)
                out[k] = store.block[k + 1];
            return out;
        }
        for (uint32_t k = 0; k < quantity; ++k) {
            const RegMapEntry* row = regmap_lookup(start + k);
            for (int j = 0; row != nullptr && j < row->item_count; ++j) {
                const uint8_t number = static_cast<uint8_t>(row->first_item + j);
                if (item_unsure[row->item_type][number]) {
                    store.items[row->item_type][number] =
                        sim.with([&](DevSim& s) { return s.items[row->item_type][number]; });
                    item_unsure[row->item_type][number] = false;
                }
            }
            out[k] = mapped_register(store.items, start + k);
        }
        return out;
    }

    // Items, block bytes and flag that are sure and differ from the device's store.
    int differences(const Store& device) const {
        int n = 0;
        for (size_t t = 0; t < 256; ++t)
            for (size_t i = 0; i < 256; ++i)
                n += !item_unsure[t][i] && store.items[t][i] != device.items[t][i];
        for (size_t i = 0; i < block_unsure.size(); ++i)
            n += !block_unsure[i] && store.block[i] != device.block[i];
        return n + (!flag_unsure && store.flag != device.flag);
    }
};

// --- Modbus on the wire ---

void put16(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// Header (transaction id, protocol 0, length), unit 1 and function.
Bytes request_head(uint16_t tid, size_t length, uint8_t function) {
    Bytes out;
    for (const uint32_t field : {uint32_t{tid}, 0u, static_cast<uint32_t>(length)})
        put16(out, field);
    out.push_back(1);
    out.push_back(function);
    return out;
}

Bytes read_request(uint16_t tid, uint32_t start, uint32_t quantity) {
    Bytes out = request_head(tid, 6, 3);
    put16(out, start);
    put16(out, quantity);
    return out;
}

Bytes write_request(uint16_t tid, uint32_t start, const std::vector<uint16_t>& values) {
    Bytes out = request_head(tid, 7 + 2 * values.size(), 16);
    put16(out, start);
    put16(out, static_cast<uint32_t>(values.size()));
    out.push_back(static_cast<uint8_t>(2 * values.size()));
    for (const uint16_t v : values)
        put16(out, v);
    return out;
}

enum class Got { answer, closed, silent };

// One Modbus TCP frame; `closed` when the daemon ends the connection first. While waiting, the
// daemon's log lines are taken in: a full log socket would hold the daemon up.
Got read_answer(Daemon& d, int fd, Bytes& frame, int timeout_ms) {
    frame.clear();
    size_t want = 6;
    const auto t0 = Clock::now();
    while (frame.size() < want) {
        const int64_t left = timeout_ms - ms_since(t0);
        if (left <= 0)
            return Got::silent;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 50))) == 0) {
            d.logs();
            continue;
        }
        uint8_t buffer[300];
        const ssize_t n = recv(fd, buffer, want - frame.size(), 0);
        if (n <= 0)
            return Got::closed;
        frame.insert(frame.end(), buffer, buffer + n);
        if (frame.size() == 6)
            want = 6 + (frame[4] << 8 | frame[5]);
    }
    return Got::answer;
}

// --- the clients ---

struct Figures {
    unsigned requests = 0, reads = 0, writes = 0;
    unsigned served = 0, exceptions = 0, drops = 0;
    unsigned wrong_values = 0, bad_answers = 0, stalls = 0;
    unsigned connections = 0;
};

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
    const uint32_t most = r.write ? 123 : 125;
    r.quantity = below(2) == 0 ? 1 + below(8) : 1 + below(most);
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

// Connects now and then, sends rubbish and goes away. It never sends the byte 16, so that no
// write request can arise and the device's store changes only through the valid client.
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
        auto noise = [&](size_t n) {
            for (size_t i = 0; i < n; ++i)
                out.push_back(static_cast<uint8_t>(rng()));
        };
        switch (below(5)) {
        case 0: // random bytes
            noise(1 + below(700));
            break;
        case 1: // a header announcing more than a frame can hold, then part of it
            out = request_head(uint16_t(rng()), 257 + below(65279), uint8_t(rng()));
            noise(below(400));
            break;
        case 2: { // half a read request, the rest never comes
            const Bytes whole = read_request(uint16_t(rng()), below(65536), 1 + below(125));
            out.assign(whole.begin(), whole.begin() + 1 + below(11));
            break;
        }
        case 3: // empty frames, then noise
            out = {1, 2, 0, 0, 0, 0, 3, 4, 0, 0, 0, 0};
            noise(below(50));
            break;
        default: // requests answered with an exception without touching the device
            for (const uint8_t function : {4, 6, 0x2B, 0x83}) {
                const Bytes r = {0, function, 0, 0, 0, 6, 1, function, 0, 1, 0, 1};
                out.insert(out.end(), r.begin(), r.end());
            }
            for (const Bytes& r : {read_request(9, 0x400, 0), read_request(9, 0x400, 126)})
                out.insert(out.end(), r.begin(), r.end());
            break;
        }
        for (uint8_t& b : out)
            if (b == 16)
                b = 17;
        // In up to three pieces, with short pauses between.
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

class Reliability : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for private mount namespaces";
    }
    void check_read(const Request& r, const Bytes& answer, const std::vector<uint16_t>& want) {
        const size_t q = r.quantity;
        if (answer.size() == 9 && answer[7] == 0x83 && answer[8] == 4) {
            ++f.exceptions;
            return;
        }
        if (answer.size() != 9 + 2 * q || answer[7] != 3 || answer[8] != 2 * q) {
            ++f.bad_answers;
            return;
        }
        ++f.served;
        for (size_t k = 0; k < q; ++k) {
            const uint16_t got = static_cast<uint16_t>(answer[9 + 2 * k] << 8 | answer[10 + 2 * k]);
            if (got != want[k] && ++f.wrong_values <= 10)
                std::printf("wrong value: register %zu read %u, device holds %u\n", r.start + k,
                            got, want[k]);
        }
    }
    // True when the device acknowledged the write.
    bool check_write(const Bytes& answer, const Bytes& request) {
        if (answer.size() == 9 && answer[7] == 0x90 && answer[8] == 4) {
            ++f.exceptions;
            return false;
        }
        if (answer.size() != 12 ||
            !std::equal(answer.begin() + 6, answer.end(), request.begin() + 6)) {
            ++f.bad_answers;
            return false;
        }
        ++f.served;
        return true;
    }

    Daemon d;
    Figures f;
};

TEST_F(Reliability, SoakWithFaultyDeviceAndHostileClients) {
    const unsigned seconds = env_number("KOVEX4_SOAK_SECONDS", 120);
    const uint32_t seed = env_number("KOVEX4_SOAK_SEED", 20240611);
    std::mt19937 rng(seed);

    Model model;
    for (auto& type : model.store.items)
        for (uint16_t& v : type)
            v = static_cast<uint16_t>(rng());
    for (uint8_t& b : model.store.block)
        b = static_cast<uint8_t>(rng());
    d.sim().with([&](DevSim& s) {
        s.items = model.store.items;
        s.block = model.store.block;
        s.fault_percent = FAULT_PERCENT;
        s.seed = seed;
    });

    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening()) << "exit status " << d.wait_exit(0);
    const pid_t pid = d.pid();
    const int base_established = d.count_log(ESTABLISHED);
    const int base_closed = d.count_log(CLOSED);
    const int fds_start = open_descriptors(pid);
    const long rss_start = resident_kb(pid);
    long rss_warm = -1;

    std::atomic<bool> stop{false};
    std::atomic<unsigned> hostile_connections{0};
    std::thread hostile(hostile_client, d.port(), seed + 1, std::cref(stop),
                        std::ref(hostile_connections));

    const auto t0 = Clock::now();
    auto last_poll = t0;
    bool alive = true;
    uint64_t device_requests = 0;
    int fd = -1;
    unsigned until_reconnect = 0;
    uint16_t tid = 0;
    while (alive && ms_since(t0) < int64_t{seconds} * 1000) {
        if (fd < 0) {
            fd = connect_local(d.port());
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                alive = d.wait_exit(0) < 0;
                continue;
            }
            ++f.connections;
            until_reconnect = 20 + rng() % 200;
        }
        const Request r = random_request(rng);
        const Bytes request = r.write ? write_request(++tid, r.start, r.values)
                                      : read_request(++tid, r.start, r.quantity);
        ++f.requests;
        ++(r.write ? f.writes : f.reads);
        Bytes answer;
        Got got = Got::closed;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()))
            got = read_answer(d, fd, answer, ANSWER_TIMEOUT_MS);
        bool acknowledged = false;
        if (got == Got::answer && (answer[0] != request[0] || answer[1] != request[1]))
            ++f.bad_answers;
        else if (got == Got::answer && r.write)
            acknowledged = check_write(answer, request);
        else if (got == Got::answer)
            check_read(r, answer, model.expected(d.sim(), r.start, r.quantity));
        if (r.write)
            model.written(write_effects(r.start, r.values), acknowledged);
        if (got == Got::silent && ++f.stalls <= 3) {
            std::printf("no answer after %d s to %s of %u registers from %u; the daemon waits in "
                        "%s\n",
                        ANSWER_TIMEOUT_MS / 1000, r.write ? "a write" : "a read", r.quantity,
                        r.start, read_file("/proc/" + std::to_string(pid) + "/wchan").c_str());
            const std::vector<LogLine>& lines = d.logs();
            for (size_t i = lines.size() > 5 ? lines.size() - 5 : 0; i < lines.size(); ++i)
                std::printf("  log: %s\n", lines[i].text.c_str());
        }
        if (got != Got::answer) {
            f.drops += got == Got::closed;
            close(fd);
            fd = -1;
        } else if (--until_reconnect == 0) {
            close(fd);
            fd = -1;
        }

        if (ms_since(last_poll) >= 250) {
            // Keeps the log socket drained and watches the process.
            last_poll = Clock::now();
            d.logs();
            alive = d.wait_exit(0) < 0;
            device_requests += d.sim().with([](DevSim& s) {
                const size_t n = s.requests.size();
                s.requests.clear();
                return n;
            });
            if (rss_warm < 0 && ms_since(t0) >= int64_t{seconds} * 100)
                rss_warm = resident_kb(pid);
        }
    }
    stop = true;
    hostile.join();
    if (fd >= 0)
        close(fd);
    ASSERT_TRUE(alive) << "the daemon died, exit status " << d.wait_exit(0);

    // Every connection made must have been logged as established and as closed.
    const int made = static_cast<int>(f.connections + hostile_connections);
    for (int i = 0; i < 200 && (d.count_log(ESTABLISHED) - base_established < made ||
                                d.count_log(CLOSED) - base_closed < made);
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int established = d.count_log(ESTABLISHED) - base_established;
    const int closed = d.count_log(CLOSED) - base_closed;
    const Store device = snapshot(d.sim());
    const uint64_t faults = d.sim().with([](DevSim& s) { return s.faults_injected; });
    device_requests += d.sim().with([](DevSim& s) { return s.requests.size(); });
    const int fds_end = open_descriptors(pid);
    const long rss_end = resident_kb(pid);
    const int lost_writes = model.differences(device);

    std::printf("soak: %u s, seed %u, %u%% device faults\n", seconds, seed, FAULT_PERCENT);
    std::printf("soak: requests %u (%u reads, %u writes): %u served, %u exception 4, %u dropped "
                "by a newer client, %u unanswered, %u malformed answers\n",
                f.requests, f.reads, f.writes, f.served, f.exceptions, f.drops, f.stalls,
                f.bad_answers);
    std::printf("soak: device requests %llu, faults injected %llu\n",
                static_cast<unsigned long long>(device_requests),
                static_cast<unsigned long long>(faults));
    std::printf("soak: wrong values %u, acknowledged writes missing from the device %d\n",
                f.wrong_values, lost_writes);
    std::printf("soak: connections %d (%u valid, %u hostile), logged %d established, %d closed\n",
                made, f.connections, hostile_connections.load(), established, closed);
    std::printf("soak: descriptors %d at start, %d at end; VmRSS %ld kB at start, %ld kB after "
                "warm-up, %ld kB at end\n",
                fds_start, fds_end, rss_start, rss_warm, rss_end);
    std::fflush(stdout);

    EXPECT_EQ(f.wrong_values, 0u);
    EXPECT_EQ(lost_writes, 0);
    EXPECT_EQ(f.bad_answers, 0u);
    EXPECT_EQ(f.stalls, 0u);
    EXPECT_EQ(established, made);
    EXPECT_EQ(closed, made);
    EXPECT_EQ(fds_end, fds_start);
    EXPECT_GT(rss_warm, 0);
    EXPECT_LE(rss_end, rss_warm + RSS_SLACK_KB);
    // The run must have exercised what it claims to.
    EXPECT_GT(faults, 0u);
    EXPECT_GT(f.exceptions, 0u);
    EXPECT_GT(f.drops, 0u);
    EXPECT_GT(hostile_connections.load(), 0u);
}

// The device protocol carries no sequence number: a reply that comes after the 3 s budget must
// not be taken as the answer to the next request, which would hand one register's value out as
// another's, or acknowledge a write that the device never received.
TEST_F(Reliability, LateReplyIsNotTakenForTheNextRequest) {
    d.sim().with([](DevSim& s) {
        s.items['H'][1] = 11;
        s.items['H'][2] = 22;
    });
    ASSERT_TRUE(d.start(d.settings()));
    ASSERT_TRUE(d.wait_listening()) << "exit status " << d.wait_exit(0);
    const int fd = connect_local(d.port());
    ASSERT_GE(fd, 0);
    const Bytes failed_read = {0, 1, 0, 0, 0, 3, 1, 0x83, 4};
    const Bytes failed_write = {0, 3, 0, 0, 0, 3, 1, 0x90, 4};

    // A late reply to a read of 'H' 1, then a read of 'H' 2: 22 or exception 4, never 11.
    d.sim().with([](DevSim& s) { s.next_faults = {SimFault::late}; });
    EXPECT_EQ(request_reply(fd, read_request(1, 0x0200, 1)), failed_read);
    const Bytes second = request_reply(fd, read_request(2, 0x0201, 1));
    const Bytes right = {0, 2, 0, 0, 0, 5, 1, 3, 2, 0, 22};
    const Bytes refused = {0, 2, 0, 0, 0, 3, 1, 0x83, 4};
    EXPECT_TRUE(second == right || second == refused) << "the read of 'H' 2 gave 'H' 1's value";
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // A late acknowledgement of a write, then a write that the device never gets: refused.
    d.sim().with([](DevSim& s) { s.next_faults = {SimFault::late, SimFault::silent}; });
    EXPECT_EQ(request_reply(fd, write_request(3, 0x0200, {33})), failed_write);
    const Bytes lost = request_reply(fd, write_request(4, 0x0201, {44}));
    const uint16_t held = d.sim().with([](DevSim& s) { return s.items['H'][2]; });
    EXPECT_TRUE(lost.size() == 9 || held == 44) << "a write never received was acknowledged";
    close(fd);
}

} // namespace
