// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the fuzz targets check: a rule that does not hold ends the run, naming the rule.
#include <cstdio>
#include <cstdlib>

inline void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}
