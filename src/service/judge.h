// SPDX-License-Identifier: Apache-2.0
#pragma once
// The settings judged: what in a Settings record the gateway cannot do as written, or does
// otherwise than the record seems to say. One list of rules for the gateway, which logs the
// warnings at start, and for kovex4-probe, which shows every finding beside its line of the file.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings.h"

// What some rules need to know of the machine the settings are for; the gateway judges without.
struct JudgeHost {
    std::vector<uint32_t> addresses; // the machine's IPv4 addresses, host order
    bool device_exists = true;       // the serial device the settings name exists
    uint32_t push_address = 0;       // what the push target resolves to now; 0: it does not
    std::string hostname;            // the defaults of the MQTT client identifier and prefix
};

// One finding: a sentence about the key's value (the key nullptr: about the settings as a whole),
// at the syslog level it deserves. LOG_WARNING: the gateway works, but not as the setting seems
// to mean; at start the gateway logs it, "KEY: text". Any other level: the gateway reports it
// itself, in words of its own, where it acts on the setting (LOG_ERR: "TLS setup error: ...",
// "allow list entry ...", "listen address ...", "open(...) error: ...", "MQTT setup error: ...";
// LOG_NOTICE: "slot ... is not pushed: ...").
struct JudgeFinding {
    int level = 0;
    const SettingsKey* key = nullptr;
    std::string text;
};

// The findings of one judgement, in the order of the rules; those beyond the list are counted.
inline constexpr size_t JUDGE_MAX_FINDINGS = 48;
struct JudgeFindings {
    std::array<JudgeFinding, JUDGE_MAX_FINDINGS> list{};
    size_t count = 0;
    size_t left_out = 0;
};

// Judges `settings`; with `host` also what depends on the machine (a device that is not there, a
// listen address of another machine, a push target that cannot be resolved or is this gateway).
// Without `host` the MQTT defaults come from this machine's name.
void judge_settings(const Settings& settings, const JudgeHost* host, JudgeFindings& findings);

// Judges what the MQTT publisher uses of `settings` (its own keys and the TLS files), as above:
// 1 when it can publish with them (a broker is set and no finding is LOG_ERR), otherwise 0.
int judge_mqtt(const Settings& settings, const JudgeHost* host, JudgeFindings& findings);

// Judges `settings` without a host and logs the warnings at LOG_WARNING, "KEY: text" each.
void judge_log_warnings(const Settings& settings);

// Why a client certificate's `role` that may not write seems meant to: a writer role of
// MOD_KOVEX4_TLS_WRITERS that equals it when letter case is ignored. Empty when there is none, or
// when the role may write.
std::string judge_writer_role(const Settings& settings, std::string_view role);
