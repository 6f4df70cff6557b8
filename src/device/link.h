#pragma once
// Field-device link: one request frame out, one reply recognised byte by byte.
#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr uint8_t DEV_STX = 0x02;
inline constexpr uint8_t DEV_ETX = 0x03;
inline constexpr uint8_t DEV_ACK = 0x06;
inline constexpr uint8_t DEV_NAK = 0x15;
inline constexpr uint8_t DEV_DATA_FOLLOWS = 0x21;
inline constexpr uint8_t DEV_CLASS_SHORT = 0x40;
inline constexpr uint8_t DEV_CLASS_LONG = 0x41;
inline constexpr uint8_t DEV_MAX_DATA = 252;   // data_len + 3 must fit the length byte
inline constexpr int DEV_BUDGET_SECONDS = 3;   // for a whole reply, not renewed per read
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

// One exchange: discards stale input, writes the request, waits up to 3 s for a complete reply.
// 1 with `reply` filled, 0 on time-out, wait/read failure, end of input or data_len > 252.
int dev_transact(int fd, const DevRequest& request, DevReply& reply);
