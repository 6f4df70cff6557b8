// SPDX-License-Identifier: Apache-2.0
// Sanitizer settings built into every fuzz target.
//
// libFuzzer frees each input after running it, and AddressSanitizer keeps freed memory in a
// quarantine to catch late uses; its default of 256 MB, with the bookkeeping around it, let the
// resident memory of a long run climb to hundreds of megabytes (request_path: 420 MB after 800,000
// inputs) until libFuzzer's 2 GB limit would end it. A quarantine of 16 MB still catches uses of
// memory freed during the last thousands of inputs and keeps a run of ten million inputs flat.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
