#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Mutation check of the test suite: plants one fault at a time in a copy of the sources (each a
# plausible slip: an off-by-one, a check dropped, a signal not resumed), builds it and runs the
# suite, and counts the faults the suite catches. The sources in this checkout stay untouched.
# Run as root (the end-to-end tests need it). Usage: scripts/mutation-check.sh [WORK_DIR]
# The long tests (the soak, the packages, the minute-long push and network-namespace tests) are
# left out so that a fault takes a minute or two; MUTATION_FILTER picks other ctest options, and
# MUTATION_ONLY (an extended regular expression) plants only the faults whose description matches.
# Exit status 0 only when every fault was planted and caught: a fault whose text is no longer in
# the code, or that does not compile, fails the check as one the tests missed, until it is written
# against the code again.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-${TMPDIR:-/tmp}/kovex4-mutation}
FILTER=${MUTATION_FILTER:--LE soak -E package|PushEndToEnd|UnreachablePushTarget}

# file~text to find (once)~its replacement~what the slip is (\n: a line break)
MUTANTS=$(cat <<'EOF'
src/device/link.cpp~if (byte == (rec.sum & 0xFF)) {~if (true) {~checksum low byte not compared
src/device/link.cpp~if (rec.index >= r.data_len) {~if (rec.index > r.data_len) {~one data byte too many
src/device/link.cpp~        if (byte >= 3) {\n            r.data_len = static_cast<uint8_t>(byte - 3);\n            rec.state = DevState::FIRST_CLASS;~        if (byte >= 2) {\n            r.data_len = static_cast<uint8_t>(byte - 3);\n            rec.state = DevState::FIRST_CLASS;~first length byte 2 accepted
src/device/link.cpp~line.quiet_until_us = end + int64_t{DEV_LATE_GRACE_MS} * 1000;~line.quiet_until_us = 0;~no late-reply second after a time-out
src/device/link.cpp~return error == EIO || error == ENXIO || error == ENODEV;~return error == ENXIO || error == ENODEV;~EIO not taken for a lost line
src/device/link.cpp~            written += static_cast<size_t>(n);~            written = size;~a short write taken for the whole request
src/device/commands.cpp~reply.code == DEV_DATA_FOLLOWS && reply.data[0] == count~reply.code == DEV_DATA_FOLLOWS~item count of a read reply not checked
src/device/commands.cpp~reply.data[pos] | (reply.data[pos + 1] << 8)~reply.data[pos]~high byte of 16-bit items dropped
src/device/commands.cpp~                             block.byte[8]};~                             block.byte[7]};~block byte 7 sent for byte 8
src/regmap/regs.cpp~if (total + count > REGS_BATCH_ITEMS)~if (total + count >= REGS_BATCH_ITEMS)~batches of 48 items
src/regmap/regs.cpp~static_cast<uint16_t>((v >> j) & 1U)~static_cast<uint16_t>((v >> (j + 1)) & 1U)~bit-packed writes shifted by one
src/regmap/regs.cpp~            result &= ok;~            result = ok;~a failed batch forgotten by the next
src/regmap/regs.cpp~return start == REGS_BLOCK_START && quantity == REGS_BLOCK_COUNT;~return start == REGS_BLOCK_START && quantity >= REGS_BLOCK_COUNT;~block range by a lower bound
src/regmap/regmap.cpp~    const RegMapEntry* last = first + REGMAP_ROWS;~    const RegMapEntry* last = first + REGMAP_ROWS - 1;~the last row of the table never found
src/modbus/request.cpp~if (quantity == 0 || quantity > MODBUS_MAX_READ) {~if (quantity == 0 || quantity > MODBUS_MAX_READ + 1) {~reads of 126 registers
src/modbus/request.cpp~    if (byte_count != 2 * quantity) {~    if (false) {~byte count not checked
src/modbus/request.cpp~    if (frame.length < READ_REQUEST_LENGTH) {~    if (false) {~short read frames executed
src/modbus/request.cpp~    if (frame.length < WRITE_SINGLE_LENGTH) {~    if (false) {~short function 6 frames executed
src/modbus/mbap.cpp~        case SKIP_BODY:\n            ++parser.count;\n            if (parser.count >= frame.length) {~        case SKIP_BODY:\n            ++parser.count;\n            if (parser.count > frame.length) {~oversized frames skipped one byte too far
src/modbus/push_request.cpp~return frame->length == 6 && frame->body[1] == MODBUS_WRITE_MULTIPLE ? 1 : 0;~return frame->body[1] == MODBUS_WRITE_MULTIPLE ? 1 : 0;~exception-length answers taken for acknowledgements
src/service/clients.cpp~        if (found == nullptr || c.last_active < found->last_active)~        if (found == nullptr)~the first client replaced, not the idlest
src/service/clients.cpp~        clients.first_turn = (clients.first_turn + 1) % turns;~        clients.first_turn = clients.first_turn % turns;~turns always begin with the same client
src/service/clients.cpp~                if (client.fd >= 0 && serve_one(clients, client, serve)) {~                while (client.fd >= 0 && serve_one(clients, client, serve)) {~a client served until its input is used up
src/device/link.cpp~    if (!com_lock(path, 0, &refusal)) {~    if (true) {~a lost line never reopened
src/service/clients.cpp~clients.modbus_options = s.write_single != 0 ? MODBUS_SERVE_WRITE_SINGLE : 0;~clients.modbus_options = 0;~MOD_KOVEX4_WRITE_SINGLE ignored
src/service/clients.cpp~    clients.listen_fd = socket_open_tcp_server(s.port, address);~    clients.listen_fd = socket_open_tcp_server(s.port, 0);~MOD_KOVEX4_LISTEN ignored
src/service/allow.cpp~        list.restricted = true;\n~~an allow list of invalid entries lets everyone in
src/modbus/request.cpp~(function == MODBUS_WRITE_MULTIPLE || function == MODBUS_WRITE_SINGLE)) {~function == MODBUS_WRITE_MULTIPLE) {~read-only lets function 6 write
src/service/clients.cpp~    ++(function == MODBUS_READ_HOLDING     ? counters.requests_fc3~    ++(function == MODBUS_WRITE_SINGLE     ? counters.requests_fc3~requests counted under the wrong function
src/service/push.cpp~    return next > now ? next : now;~    return next > now ? next : next;~missed periods repeated
src/service/push.cpp~    if (!modbus_is_write_ack(answer))\n        return next_slot(push, false);~    if (false)\n        return next_slot(push, false);~alarm cleared without an acknowledgement
src/service/push.cpp~    if (start == 0)\n        return PushSlotFault::start_zero;~    if (false)\n        return PushSlotFault::start_zero;~slots with START 0 pushed
src/sys/deadline.cpp~        if (errno != EINTR)\n            return -1;~        return -1;~a signal ends a wait
src/sys/deadline.cpp~        if (ready >= 0 || errno != EINTR)\n            return ready;~        return ready;~a signal ends the main loop's wait
src/sys/com.cpp~        if (owner == static_cast<int>(getpid()))\n            return 1;~~this process's own lock not taken as its own
src/sys/com.cpp~        if (wait_clock_us() > deadline)~        if (wait_clock_us() > deadline - 500000)~the lock's time-out half a second short
src/sys/deadline.h~        if (result >= 0 || errno != EINTR)\n            return result;~        return result;~a signal ends a read or a receive
src/sys/sockets.cpp~        else if (n < 0 && errno != EINTR)\n            return 0;~        else if (n < 0)\n            return 0;~a signal ends a send
src/settings/settings.cpp~        if (key[i] == '\0' || ascii_lower(text[i]) != ascii_lower(key[i]))~        if (key[i] == '\0' || (ascii_lower(text[i]) != key[i] && text[i] != key[i]))~keys compared with their case
src/settings/settings.cpp~    if (overflow)\n        value = UINT32_MAX;~    if (false)\n        value = UINT32_MAX;~numbers above 32 bits not saturated
src/settings/settings.cpp~        if (key.unset == SettingsDefault::omitted && unset)\n            continue;~        if (key.unset == SettingsDefault::omitted && unset && number == nullptr)\n            continue;~the writer always writes the number options
src/service/cache.cpp~        if (row != nullptr && row->item_type == held.item_type &&~        if (row == &held &&~a write drops only the registers it names, not those of the same items
src/service/cache.cpp~    return now_us - entry.read_us < cache.max_age_us;~    return now_us - entry.read_us <= cache.max_age_us;~a value exactly the maximum age old still answers
src/service/service.cpp~        cache_clear(service.cache);\n~~kept values outlive a lost line
src/service/clients.cpp~    if (watch.max_fd < 0 || loop_wait(watch, ready) <= 0)~    if (true)~new arrivals wait for the whole batch
src/service/judge.cpp~        if (f.level == LOG_WARNING)~        if (f.level != LOG_DEBUG)~the gateway logs every finding of the judge, also those it logs elsewhere
src/service/service.cpp~    if (!service_start_server(service))\n        return 0;~    service_start_server(service);~TLS that cannot be set up leaves the gateway running without a server
src/service/publish.cpp~    if (!usable)\n        return;\n    char hostname~    if (usable < 0)\n        return;\n    char hostname~the publisher runs with settings the judge finds wrong
src/service/judge.cpp~    else if (c.client_id.size() > 23)~    else if (c.client_id.size() >= 23)~a client identifier of 23 characters warned of
tools/probe/line_cmd.cpp~            if (p.line.lost)\n                return line_failed(p, p.line.lost_errno);\n            const uint32_t made~            const uint32_t made~a line that fails at once taken for a silent device
tools/probe/modbus_cmd.cpp~        const std::string& name = opt.name.empty() ? opt.host : opt.name;~        const std::string& name = opt.host;~--name ignored: the certificate checked against --host
EOF
)

# A copy of the checkout's files (tracked and new ones), built once in full.
rm -rf "$WORK/src-copy"
mkdir -p "$WORK/src-copy"
(cd "$SRC" && git ls-files -co --exclude-standard -z | tar -cf - --null -T -) |
    tar -xf - -C "$WORK/src-copy"
cd "$WORK/src-copy"
cmake -S . -B build -G Ninja -DKOVEX4_WERROR=ON >/dev/null
cmake --build build >/dev/null

caught=0 missed=0 unplanted=0 total=0
while IFS='~' read -r file find replace what; do
    [ -n "$file" ] || continue
    [[ -z ${MUTATION_ONLY:-} || $what =~ $MUTATION_ONLY ]] || continue
    total=$((total + 1))
    cp "$file" "$file.orig"
    if ! python3 - "$file" "$find" "$replace" <<'PY'
import sys
path, find, replace = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
if text.count(find) != 1:
    sys.exit("%s: %r found %d times" % (path, find, text.count(find)))
open(path, "w").write(text.replace(find, replace))
PY
    then
        echo "=== $total: NOT PLANTED ($what): its text is not in the code as it is now"
        unplanted=$((unplanted + 1))
        mv "$file.orig" "$file"
        continue
    fi
    # shellcheck disable=SC2086 # the filter is a list of ctest options
    if ! cmake --build build >"$WORK/build.log" 2>&1; then
        # A fault that does not compile tries nothing: it is written again until it does.
        result="NOT PLANTED: it does not build ($(grep -m 1 'error:' "$WORK/build.log" || true))"
        unplanted=$((unplanted + 1))
    elif (cd build && timeout 900 ctest -j2 --timeout 300 $FILTER >"$WORK/ctest.log" 2>&1); then
        result="MISSED"
        missed=$((missed + 1))
    else
        result="caught by $(grep -E '^\s+[0-9]+ - ' "$WORK/ctest.log" | head -n 3 | sed 's/^ *[0-9]* - //; s/ (.*//' | paste -sd, -)"
        caught=$((caught + 1))
    fi
    echo "=== $total: $what: $result"
    mv "$file.orig" "$file"
    touch "$file"
done <<<"$MUTANTS"
echo "=== mutation check: $caught of $total faults caught, $missed missed, $unplanted not planted"
# A fault that was not planted was not tried: the check fails as for one that was missed.
[ "$missed" = 0 ] && [ "$unplanted" = 0 ]
