// SPDX-License-Identifier: Apache-2.0
#pragma once
// Included ahead of the end-to-end harness when the benchmark builds it: the program the harness
// starts is this variable instead of a fixed path, so that one run can go through callgrind.
extern const char* bench_daemon_binary;
