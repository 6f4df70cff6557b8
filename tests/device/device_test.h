// SPDX-License-Identifier: Apache-2.0
#pragma once
// A scripted field device for the link and command tests.
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

// Writes of a scripted device, separated by '|'.
inline std::vector<Bytes> script(const std::string& text) {
    std::vector<Bytes> writes;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '|');)
        writes.push_back(hex(part));
    return writes;
}

// Runs `call` while a scripted device on `peer` reads one request frame and answers with
// `writes`, pausing 20 ms between writes. Returns the request bytes as received.
template <class F> Bytes scripted(int peer, const std::vector<Bytes>& writes, F&& call) {
    Bytes request;
    std::thread device([&] {
        uint8_t buf[512];
        while (wait_readable(peer, 2000)) {
            const ssize_t n = read(peer, buf, sizeof buf);
            request.insert(request.end(), buf, buf + std::max<ssize_t>(n, 0));
            if (request.size() >= 5 && (request[2] != 0x41 || request.size() >= request[1] + 5u))
                break;
        }
        for (size_t i = 0; i < writes.size(); ++i) {
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(write(peer, writes[i].data(), writes[i].size()), ssize_t(writes[i].size()));
        }
    });
    call();
    device.join();
    return request;
}
