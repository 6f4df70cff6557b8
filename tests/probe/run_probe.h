// SPDX-License-Identifier: Apache-2.0
#pragma once
// Runs the kovex4-probe program under test (KOVEX4_PROBE).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

struct Ran {
    int status;
    std::string out;
};

// The probe with `args` (words for the shell), standard output and error together.
inline Ran probe(const std::string& args) {
    Ran run{-1, ""};
    FILE* pipe = popen((std::string(KOVEX4_PROBE) + " " + args + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Whether the probe ended with `status` and said `text` (its output shown when not).
inline ::testing::AssertionResult said(const Ran& ran, int status, const std::string& text) {
    if (ran.status == status && ran.out.find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "status " << ran.status << ", output:\n" << ran.out;
}
