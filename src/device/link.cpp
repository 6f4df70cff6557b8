// SPDX-License-Identifier: Apache-2.0
// Field-device link: request framing, the byte-fed reply recogniser and one timed exchange.
#include "device/link.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/com.h"
#include "sys/deadline.h"

static_assert(sizeof DevLine::lock == COM_LOCK_PATH_MAX + 1, "a lock path of sys/com.h");

namespace {

constexpr size_t TRANSFER_SIZE = 512;
// Upper bound on reads spent discarding stale input, so that a peer that never stops talking
// cannot hold the request back for ever; what is left goes through the recogniser as garbage.
constexpr int DRAIN_MAX_READS = 64;

void restart(DevRecogniser& rec) {
    rec.state = DevState::FIRST_STX;
}

// Errors that mean the line itself is gone (an unplugged adapter, a closed pseudo-terminal), not
// a passing fault.
bool line_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

void mark_lost(DevLine& line, int error) {
    line.lost = true;
    line.lost_errno = error;
}

// Reads and drops input until `deadline_us`; with a deadline already passed, only what is waiting
// now. A reply that came after an earlier exchange gave up must not be taken as the answer to
// the next request. At most DRAIN_MAX_READS reads are spent on input that is already there.
void discard_input(DevLine& line, int64_t deadline_us) {
    uint8_t scratch[TRANSFER_SIZE];
    for (int reads = 0; reads < DRAIN_MAX_READS;) {
        const int ready = wait_fd(line.fd, WaitFor::read, deadline_us);
        if (ready <= 0)
            return;
        const ssize_t n = com_read(line.fd, scratch, sizeof scratch);
        if (n <= 0) {
            if (n == 0 || line_gone(errno))
                mark_lost(line, n == 0 ? 0 : errno);
            return;
        }
        if (line.trace != nullptr)
            line.trace->dropped_len += static_cast<size_t>(n);
        // Input that arrives while waiting out a late reply does not count against the cap.
        if (wait_clock_us() >= deadline_us)
            ++reads;
    }
}

// Writes the whole frame, waiting for the line to take more when its buffer is full. 1 when all
// went out before `deadline_us`.
int write_all(DevLine& line, const uint8_t* frame, size_t size, int64_t deadline_us) {
    size_t written = 0;
    while (written < size) {
        const ssize_t n = line.write != nullptr
                              ? line.write(line.fd, frame + written, size - written)
                              : com_write(line.fd, frame + written, size - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (line_gone(errno))
                mark_lost(line, errno);
            return 0;
        } else if (wait_fd(line.fd, WaitFor::write, deadline_us) <= 0) {
            return 0;
        }
    }
    return 1;
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

int dev_transact(DevLine& line, const DevRequest& request, DevReply& reply) {
    if (request.data_len > DEV_MAX_DATA || line.fd < 0 || line.lost)
        return 0;
    ++line.counters.transactions;
    uint8_t buffer[TRANSFER_SIZE];
    const size_t len = dev_frame_request(request, buffer);
    if (line.trace != nullptr) {
        std::memcpy(line.trace->sent.data(), buffer, len);
        line.trace->sent_len = len;
        line.trace->received_len = 0;
        line.trace->dropped_len = 0;
    }

    // After a time-out, what is left of the grace second is spent dropping a late reply; then
    // whatever is still waiting is dropped without waiting.
    const int64_t now = wait_clock_us();
    discard_input(line, line.quiet_until_us > now ? line.quiet_until_us : 0);
    if (line.lost)
        return 0;

    DevRecogniser rec{};
    dev_recogniser_reset(rec, reply);

    // One budget for the whole exchange, never renewed by a read, so a device that trickles
    // bytes still times out.
    const int64_t start = wait_clock_us();
    const int64_t deadline = start + int64_t{DEV_BUDGET_SECONDS} * 1000000;
    int result = write_all(line, buffer, len, deadline);
    while (result == 1) {
        const int ready = wait_fd(line.fd, WaitFor::read, deadline);
        if (ready <= 0) {
            result = 0;
            break;
        }
        const ssize_t n = com_read(line.fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n == 0 || line_gone(errno))
                mark_lost(line, n == 0 ? 0 : errno);
            result = 0;
            break;
        }
        if (line.trace != nullptr) {
            DevTrace& t = *line.trace;
            const size_t room = t.received.size() - t.received_len;
            const size_t keep = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
            std::memcpy(t.received.data() + t.received_len, buffer, keep);
            t.received_len += keep;
        }
        bool done = false;
        for (ssize_t i = 0; i < n && !done; ++i)
            done = dev_recognise_byte(rec, buffer[i]); // bytes after the reply are dropped
        if (done)
            break;
    }
    const int64_t end = wait_clock_us();
    if (line.trace != nullptr) {
        line.trace->round_trip_us = end - start;
        if (line.on_exchange != nullptr)
            line.on_exchange(line.on_exchange_context, *line.trace);
    }
    if (result == 0 && !line.lost && end >= deadline) {
        // The device may still answer. Replies carry no sequence number, so whatever comes
        // within the grace period is dropped before the next request is written.
        ++line.counters.timeouts;
        line.quiet_until_us = end + int64_t{DEV_LATE_GRACE_MS} * 1000;
    }
    return result;
}

int dev_line_open(DevLine& line, const DevLinePort& port) {
    line.port = port;
    com_lock_path(port.path.c_str(), line.lock);
    line.fd = com_open(port.path.c_str(), port.baudrate, port.databits, port.parity.c_str(),
                       port.stopbits, &line.setup_errno);
    return line.fd >= 0 ? 1 : 0;
}

void dev_line_close(DevLine& line) {
    if (line.fd >= 0)
        close(line.fd);
    line.fd = -1;
}

void dev_line_set_trace(DevLine& line, DevTrace* trace,
                        void (*on_exchange)(void* context, const DevTrace& exchange),
                        void* context) {
    line.trace = trace;
    line.on_exchange = on_exchange;
    line.on_exchange_context = context;
}

int dev_line_reopen(DevLine& line) {
    // Quiet: a missing adapter or a foreign lock is not logged at every try; the reason is kept
    // for the owner to say once.
    const DevLinePort& port = line.port;
    const char* path = port.path.c_str();
    char* why = line.reopen_failure;
    const size_t size = sizeof line.reopen_failure;
    // While the device is away its name may resolve to nothing or to another device.
    if (access(path, F_OK) != 0) {
        std::snprintf(why, size, "%s", std::strerror(errno));
        return 0;
    }
    char lock[COM_LOCK_PATH_MAX + 1];
    com_lock_path(path, lock);
    ComLockRefusal refusal = ComLockRefusal::none;
    if (!com_lock(path, 0, &refusal)) {
        const int owner = com_lock_owner(path);
        if (refusal == ComLockRefusal::not_regular)
            std::snprintf(why, size, "its lock file %s is not a regular file", lock);
        else if (owner > 0)
            std::snprintf(why, size, "its lock file %s names process %d", lock, owner);
        else
            std::snprintf(why, size, "its lock file %s cannot be taken", lock);
        return 0;
    }
    if (std::strcmp(lock, line.lock) != 0) {
        if (line.lock[0] != '\0')
            com_release(line.lock);
        std::memcpy(line.lock, lock, sizeof lock);
    }
    const int fd = com_open_quiet(path, port.baudrate, port.databits, port.parity.c_str(),
                                  port.stopbits, &line.setup_errno);
    if (fd < 0) {
        std::snprintf(why, size, "%s", std::strerror(errno));
        return 0;
    }
    line.fd = fd;
    line.lost = false;
    line.lost_errno = 0;
    line.quiet_until_us = 0;
    why[0] = '\0';
    return 1;
}
