// SPDX-License-Identifier: Apache-2.0
#include "service/allow.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "settings/settings.h"
#include "sys/log.h"

namespace {

bool is_list_separator(char c) {
    return c == ',' || c == ' ' || c == '\t';
}

// One number of an allow list entry, at most `max`: digits only, since the number reader would
// also take blanks and a sign in front.
bool read_allow_number(const char*& p, uint32_t max, uint32_t& value) {
    if (*p < '0' || *p > '9')
        return false;
    const SettingsNumber number = settings_read_number(p);
    if (number.value > max) // a saturated value too
        return false;
    value = number.value;
    p = number.rest;
    return true;
}

} // namespace

bool service_list_next(std::string_view& rest, std::string_view& entry) {
    size_t begin = 0;
    while (begin < rest.size() && is_list_separator(rest[begin]))
        ++begin;
    size_t end = begin;
    while (end < rest.size() && !is_list_separator(rest[end]))
        ++end;
    entry = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return !entry.empty();
}

int service_allow_entry(std::string_view entry, ServiceAllowEntry& out) {
    // Stricter than the dotted reader of MOD_KOVEX4_LISTEN: there a number above 255 spills into
    // the next byte, which here would let in another address than the one written.
    char text[32];
    if (entry.empty() || entry.size() >= sizeof text)
        return 0;
    std::memcpy(text, entry.data(), entry.size());
    text[entry.size()] = '\0';
    const char* p = text;
    uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t part = 0;
        if (i > 0 && *p++ != '.')
            return 0;
        if (!read_allow_number(p, 255, part))
            return 0;
        address = address << 8 | part;
    }
    uint32_t prefix = 32;
    if (*p == '/' && !read_allow_number(++p, 32, prefix))
        return 0;
    if (*p != '\0')
        return 0;
    const uint32_t mask = prefix == 0 ? 0 : UINT32_MAX << (32 - prefix);
    out = ServiceAllowEntry{address & mask, mask};
    return 1;
}

void service_allow_load(ServiceAllowList& list, const std::string& text,
                        void (*report)(void* context, const char* message), void* context) {
    list = ServiceAllowList{};
    std::string_view rest = text;
    std::string_view entry;
    while (service_list_next(rest, entry)) {
        // Any entry restricts, an invalid one too: a typo must never let everyone in.
        list.restricted = true;
        ServiceAllowEntry parsed{};
        const int valid = service_allow_entry(entry, parsed);
        if (valid && list.count < SERVICE_ALLOW_MAX) {
            list.entries[list.count++] = parsed;
            continue;
        }
        const int shown = static_cast<int>(std::min<size_t>(entry.size(), 64));
        char message[160];
        if (!valid)
            std::snprintf(message, sizeof message,
                          "allow list entry %.*s is not an IPv4 address or network", shown,
                          entry.data());
        else
            std::snprintf(message, sizeof message,
                          "allow list entry %.*s is beyond the first %u entries", shown,
                          entry.data(), static_cast<unsigned>(SERVICE_ALLOW_MAX));
        if (report != nullptr)
            report(context, message);
        else
            log_msg(LOG_ERR, "%s", message);
    }
}

int service_allows(const ServiceAllowList& list, uint32_t address) {
    if (!list.restricted)
        return 1;
    for (uint32_t i = 0; i < list.count; ++i)
        if ((address & list.entries[i].mask) == list.entries[i].network)
            return 1;
    return 0;
}
