// SPDX-License-Identifier: Apache-2.0
// Fuzz target for the record reader of the MQTT queue on disk (outbox_decode), the one function
// that judges what a segment file holds when the gateway starts, whatever a power cut or the flash
// left in it. The input is read as a segment is: record after record until the first one that is
// not whole and valid. Each record taken must be canonical (encoding it again gives exactly the
// bytes it was read from), within its bounds, and never longer than what was there.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "require.h"
#include "service/outbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    for (;;) {
        OutboxRecord record;
        const size_t n = outbox_decode(data + at, size - at, record);
        if (n == 0)
            break;
        require(n <= size - at, "a record ends within the input");
        require(n <= OUTBOX_RECORD_MAX, "a record is within the largest size");
        if (record.kind == OutboxKind::message) {
            const OutboxMessage& m = record.message;
            require(m.count >= 1 && m.count <= OUTBOX_MAX_VALUES, "the count is within bounds");
            require(m.start >= 1 && uint64_t{m.start} - 1 + m.count <= 0x10000,
                    "the range lies within registers 1 to 65536");
            require(m.slot != 0 && record.seq != 0, "slot and number are set");
        }
        uint8_t again[OUTBOX_RECORD_MAX];
        require(outbox_encode(record, again) == n && std::memcmp(again, data + at, n) == 0,
                "a record read encodes to the same bytes");
        at += n;
    }
    return 0;
}
