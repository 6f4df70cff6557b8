// SPDX-License-Identifier: Apache-2.0
#pragma once
// Field-device link: one request frame out, one reply recognised byte by byte.
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr uint8_t DEV_STX = 0x02;
inline constexpr uint8_t DEV_ETX = 0x03;
inline constexpr uint8_t DEV_ACK = 0x06;
inline constexpr uint8_t DEV_NAK = 0x15;
inline constexpr uint8_t DEV_DATA_FOLLOWS = 0x21;
inline constexpr uint8_t DEV_CLASS_SHORT = 0x40;
inline constexpr uint8_t DEV_CLASS_LONG = 0x41;
inline constexpr uint8_t DEV_MAX_DATA = 252;   // data_len + 3 must fit the length byte
inline constexpr int DEV_BUDGET_SECONDS = 3;   // for a whole exchange, not renewed per read
inline constexpr int DEV_LATE_GRACE_MS = 1000; // after a time-out, late input is dropped so long

struct DevRequest {
    uint8_t station;
    uint8_t frame_class;
    uint8_t command;
    uint8_t data_len;
    std::array<uint8_t, 256> data;
};

struct DevReply {
    uint8_t station;
    uint8_t frame_class;
    uint8_t code;
    uint8_t data_len;
    std::array<uint8_t, 256> data;
};

enum class DevState : uint8_t {
    FIRST_STX,
    FIRST_LEN,
    FIRST_CLASS,
    FIRST_STATION,
    FIRST_CODE,
    FIRST_NAK_BYTE,
    SECOND_STX,
    SECOND_LEN,
    SECOND_CLASS,
    SHORT_STATION,
    SHORT_CODE,
    SHORT_NAK_BYTE,
    LONG_STATION,
    LONG_COMMAND,
    LONG_DATA,
    LONG_ETX,
    LONG_SUM_LO,
    LONG_SUM_HI,
    DONE,
};

// The reply recogniser: fed one byte at a time, pure (no I/O).
struct DevRecogniser {
    DevState state;
    uint16_t index; // data bytes stored so far
    uint16_t sum;   // running checksum of the long frame
    DevReply* reply;
};

// Clears the recogniser and `reply` and points the one at the other.
void dev_recogniser_reset(DevRecogniser& rec, DevReply& reply);
// Feeds one byte; returns true when the reply is complete (state DONE).
bool dev_recognise_byte(DevRecogniser& rec, uint8_t byte);

// Builds the request frame into `out` (at least 260 bytes); returns its length.
// The caller guarantees data_len <= DEV_MAX_DATA.
size_t dev_frame_request(const DevRequest& request, uint8_t* out);

// What the line's exchanges came to, counted from the start; fixed width, wrapping.
struct DevCounters {
    uint32_t transactions; // exchanges attempted on an open line
    uint32_t timeouts;     // no complete reply within the budget
    uint32_t naks;         // replies refusing the command (counted by the commands)
    uint32_t rejected;     // replies that did not fit the command (counted by the commands)
};

// The bytes of one exchange, for commissioning tools: filled by dev_transact when the line has
// a trace. `received` holds what was read after the request went out, up to its size.
struct DevTrace {
    std::array<uint8_t, 260> sent;
    size_t sent_len;
    std::array<uint8_t, 1024> received;
    size_t received_len;
    size_t dropped_len;    // input discarded before the request: stale or late replies
    int64_t round_trip_us; // from the request's first byte written to the end of the exchange
};

// How the line is opened: the device's path and the framing, as the settings give them.
struct DevLinePort {
    std::string path;
    uint32_t baudrate = 0;
    int databits = 0;
    std::string parity;
    int stopbits = 0;
};

// The serial line to the field device and what the link remembers between exchanges. Its owner
// opens, closes and reopens it with the dev_line_ functions and reads the rest.
struct DevLine {
    int fd = -1;                // non-blocking line from com_open; -1: none (never opened, lost)
    int lost_errno = 0;         // set when the line reported that it is gone; 0: end of input
    int setup_errno = 0;        // why its settings could not be applied when it was last opened
    bool lost = false;          // the line is gone: every exchange fails at once until reopened
    int64_t quiet_until_us = 0; // after a time-out: input until then is a late reply, dropped
    DevCounters counters{};
    DevTrace* trace = nullptr;
    DevLinePort port{}; // what dev_line_open opened, for dev_line_reopen
    char lock[64] = ""; // the lock file held for it (com_lock_path's, when it was opened)
    // Why the last dev_line_reopen failed, in words ("Permission denied", "its lock file ...
    // names process 123"); empty after one that worked.
    char reopen_failure[128] = "";
    // With `trace` set: called at the end of every exchange that wrote its request, with that
    // exchange's bytes (the service's traffic trace; the link itself logs nothing).
    void (*on_exchange)(void* context, const DevTrace& exchange) = nullptr;
    void* on_exchange_context = nullptr;
    // How a request goes out; nullptr: com_write. A line may take part of it at a time (a USB
    // adapter with little room); tests put a write here that takes a few bytes at a time.
    ssize_t (*write)(int fd, const void* data, size_t size) = nullptr;
};

// One exchange: discards stale input, writes the request and waits for a complete reply, all
// within 3 s. 1 with `reply` filled; 0 on time-out, failure, a line without descriptor or
// data_len > 252. A line that reports it is gone (end of input, EIO, ENXIO, ENODEV) is marked
// lost; its owner closes and reopens it.
int dev_transact(DevLine& line, const DevRequest& request, DevReply& reply);

// Opens the line that `port` names (a failure is logged: "open(%s) error: %s"); the caller holds
// its lock, whose file it records. 1 when open.
int dev_line_open(DevLine& line, const DevLinePort& port);
// Closes the descriptor, if any. The lost state and the counters stay.
void dev_line_close(DevLine& line);
// Records the bytes of each exchange in `trace` (nullptr: none) and, with `on_exchange`, hands
// them over at the end of every exchange that wrote its request.
void dev_line_set_trace(DevLine& line, DevTrace* trace,
                        void (*on_exchange)(void* context, const DevTrace& exchange) = nullptr,
                        void* context = nullptr);
// For a line closed after it was lost: takes its lock again without waiting and opens it as
// before, without logging a failure (a missing adapter is tried again every few seconds). 1 when
// it is open again, its lost state cleared; 0 with `reopen_failure` saying why. A device that is
// not there is not locked; one back under another kernel name (a by-id link now pointing
// elsewhere) is locked by that name, and the lock of the old name is released.
int dev_line_reopen(DevLine& line);
