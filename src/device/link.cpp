// Field-device link: request framing, the byte-fed reply recogniser and one timed exchange.
#include "device/link.h"

#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr size_t TRANSFER_SIZE = 512;
// Upper bound on reads spent discarding stale input, so that a peer that never stops talking
// cannot hold the request back for ever; what is left goes through the recogniser as garbage.
constexpr int DRAIN_MAX_READS = 64;

void restart(DevRecogniser& rec) {
    rec.state = DevState::FIRST_STX;
}

// Reads and drops whatever is already waiting on `fd`, without ever blocking: a reply that came
// after an earlier exchange gave up must not be taken as the answer to the next request.
void drain_input(int fd) {
    uint8_t scratch[TRANSFER_SIZE];
    for (int i = 0; i < DRAIN_MAX_READS; ++i) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval none{0, 0};
        if (select(fd + 1, &readable, nullptr, nullptr, &none) <= 0) {
            return;
        }
        ssize_t n = read(fd, scratch, sizeof scratch);
        if (n <= 0) {
            return;
        }
    }
}

int64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Waits until fd is readable or `deadline` (monotonic microseconds) passes.
bool wait_readable_until(int fd, int64_t deadline) {
    const int64_t left = deadline - monotonic_us();
    if (left <= 0) {
        return false;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval timeout{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    return select(fd + 1, &readable, nullptr, nullptr, &timeout) > 0;
}

// After a time-out the device may still answer. Replies carry no sequence number, so a late
// reply that arrived after the next request went out would be taken as that request's answer:
// whatever comes during a grace period is read and dropped here instead.
void discard_late_reply(int fd) {
    uint8_t scratch[TRANSFER_SIZE];
    const int64_t deadline = monotonic_us() + int64_t{DEV_LATE_GRACE_MS} * 1000;
    while (wait_readable_until(fd, deadline) && read(fd, scratch, sizeof scratch) > 0) {
    }
}

} // namespace

void dev_recogniser_reset(DevRecogniser& rec, DevReply& reply) {
    std::memset(&reply, 0, sizeof reply);
    rec.state = DevState::FIRST_STX;
    rec.index = 0;
    rec.sum = 0;
    rec.reply = &reply;
}

bool dev_recognise_byte(DevRecogniser& rec, uint8_t byte) {
    DevReply& r = *rec.reply;
    switch (rec.state) {
    case DevState::FIRST_STX:
        if (byte == DEV_STX) {
            rec.state = DevState::FIRST_LEN;
        }
        break;
    case DevState::FIRST_LEN:
        if (byte >= 3) {
            r.data_len = static_cast<uint8_t>(byte - 3);
            rec.state = DevState::FIRST_CLASS;
        } else {
            restart(rec);
        }
        break;
    case DevState::FIRST_CLASS:
        r.frame_class = byte;
        if (byte == DEV_CLASS_SHORT) {
            rec.state = DevState::FIRST_STATION;
        } else {
            restart(rec);
        }
        break;
    case DevState::FIRST_STATION:
        r.station = byte;
        rec.state = DevState::FIRST_CODE;
        break;
    case DevState::FIRST_CODE:
        r.code = byte;
        if (byte == DEV_ACK && r.data_len == 0) {
            rec.state = DevState::DONE;
        } else if (byte == DEV_NAK && r.data_len == 1) {
            rec.state = DevState::FIRST_NAK_BYTE;
        } else if (byte == DEV_DATA_FOLLOWS && r.data_len == 0) {
            rec.state = DevState::SECOND_STX;
        } else {
            restart(rec);
        }
        break;
    case DevState::FIRST_NAK_BYTE:
        rec.state = DevState::DONE;
        break;
    case DevState::SECOND_STX:
        if (byte == DEV_STX) {
            rec.state = DevState::SECOND_LEN;
        }
        break;
    case DevState::SECOND_LEN:
        if (byte >= 3) {
            r.data_len = static_cast<uint8_t>(byte - 3);
            rec.sum = 0;
            rec.index = 0;
            rec.state = DevState::SECOND_CLASS;
        } else {
            restart(rec);
        }
        break;
    case DevState::SECOND_CLASS:
        r.frame_class = byte;
        if (byte == DEV_CLASS_SHORT) {
            rec.sum = static_cast<uint16_t>(rec.sum + byte);
            rec.state = DevState::SHORT_STATION;
        } else if (byte == DEV_CLASS_LONG) {
            rec.sum = static_cast<uint16_t>(rec.sum + byte);
            rec.state = DevState::LONG_STATION;
        } else {
            restart(rec);
        }
        break;
    case DevState::SHORT_STATION:
        rec.state = DevState::SHORT_CODE;
        break;
    case DevState::SHORT_CODE:
        r.code = byte;
        if (byte == DEV_ACK && r.data_len == 0) {
            rec.state = DevState::DONE;
        } else if (byte == DEV_NAK && r.data_len == 1) {
            rec.state = DevState::SHORT_NAK_BYTE;
        } else {
            restart(rec);
        }
        break;
    case DevState::SHORT_NAK_BYTE:
        rec.state = DevState::DONE;
        break;
    case DevState::LONG_STATION:
        rec.sum = static_cast<uint16_t>(rec.sum + byte);
        rec.state = DevState::LONG_COMMAND;
        break;
    case DevState::LONG_COMMAND:
        rec.sum = static_cast<uint16_t>(rec.sum + byte);
        rec.state = r.data_len > 0 ? DevState::LONG_DATA : DevState::LONG_ETX;
        break;
    case DevState::LONG_DATA:
        rec.sum = static_cast<uint16_t>(rec.sum + byte);
        r.data[rec.index] = byte; // index < data_len <= 252
        rec.index = static_cast<uint16_t>(rec.index + 1);
        if (rec.index >= r.data_len) {
            rec.state = DevState::LONG_ETX;
        }
        break;
    case DevState::LONG_ETX:
        if (byte == DEV_ETX) {
            rec.state = DevState::LONG_SUM_LO;
        } else {
            restart(rec);
        }
        break;
    case DevState::LONG_SUM_LO:
        if (byte == (rec.sum & 0xFF)) {
            rec.state = DevState::LONG_SUM_HI;
        } else {
            restart(rec);
        }
        break;
    case DevState::LONG_SUM_HI:
        if (byte == (rec.sum >> 8)) {
            rec.state = DevState::DONE;
        } else {
            restart(rec);
        }
        break;
    case DevState::DONE:
        break;
    }
    return rec.state == DevState::DONE;
}

size_t dev_frame_request(const DevRequest& request, uint8_t* out) {
    if (request.data_len > DEV_MAX_DATA) {
        return 0;
    }
    size_t n = 0;
    out[n++] = DEV_STX;
    out[n++] = static_cast<uint8_t>(request.data_len + 3);
    out[n++] = request.frame_class;
    out[n++] = request.station;
    out[n++] = request.command;
    if (request.frame_class != DEV_CLASS_LONG) {
        return n; // the short form carries neither data nor checksum
    }
    uint16_t sum = static_cast<uint16_t>(request.frame_class + request.station + request.command);
    for (size_t i = 0; i < request.data_len; ++i) {
        out[n++] = request.data[i];
        sum = static_cast<uint16_t>(sum + request.data[i]);
    }
    out[n++] = DEV_ETX;
    out[n++] = static_cast<uint8_t>(sum & 0xFF);
    out[n++] = static_cast<uint8_t>(sum >> 8);
    return n;
}

int dev_transact(int fd, const DevRequest& request, DevReply& reply) {
    if (request.data_len > DEV_MAX_DATA) {
        return 0;
    }
    uint8_t buffer[TRANSFER_SIZE];
    size_t len = dev_frame_request(request, buffer);

    drain_input(fd);
    // A failed or short write is not checked: the request then simply goes unanswered.
    [[maybe_unused]] const ssize_t written = write(fd, buffer, len);

    DevRecogniser rec{};
    dev_recogniser_reset(rec, reply);

    // One budget for the whole reply, counted from the first wait and never renewed by a read,
    // so a device that trickles bytes still times out.
    const int64_t deadline = monotonic_us() + int64_t{DEV_BUDGET_SECONDS} * 1000000;
    for (;;) {
        if (!wait_readable_until(fd, deadline)) {
            if (monotonic_us() >= deadline) {
                discard_late_reply(fd);
            }
            return 0;
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return 0;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (dev_recognise_byte(rec, buffer[i])) {
                return 1; // anything after the reply in this read is dropped
            }
        }
    }
}
