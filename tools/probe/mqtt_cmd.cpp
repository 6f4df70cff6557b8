// SPDX-License-Identifier: Apache-2.0
// kovex4-probe mqtt: the MQTT settings as the gateway judges them, then one connection to the
// broker made as the gateway makes it.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "service/judge.h"
#include "service/publish.h"
#include "sys/log.h"

namespace {

constexpr int ANSWER_SECONDS = 10;

} // namespace

int run_mqtt(const Options& opt) {
    Settings settings;
    if (!load_settings(opt, settings))
        return 2;
    if (settings.mqtt_host.empty()) {
        std::printf("MOD_KOVEX4_MQTT_HOST is not set: the gateway publishes nothing over MQTT\n");
        return 1;
    }
    JudgeHost host;
    char hostname[256] = "";
    if (gethostname(hostname, sizeof hostname - 1) == 0)
        host.hostname = hostname;
    JudgeFindings findings;
    const int usable = judge_mqtt(settings, &host, findings);
    for (size_t i = 0; i < findings.count; ++i) {
        const JudgeFinding& f = findings.list[i];
        std::printf("%s: %s: %s\n", f.level == LOG_ERR ? "error" : "warning", f.key->name,
                    f.text.c_str());
    }
    if (!usable) {
        std::printf("the gateway does not publish with these settings\n");
        return 1;
    }
    PublishConfig config;
    publish_config(settings, host.hostname.c_str(), config);
    std::printf(
        "broker %s port %u%s%s, client %s, %s topics under %s, queue %s (%u KB)\n",
        config.host.c_str(), static_cast<unsigned>(config.port), config.tls ? " over TLS" : "",
        config.user.empty() ? "" : (", user " + config.user).c_str(), config.client_id.c_str(),
        config.format == PublishFormat::sparkplug ? "Sparkplug B" : "JSON",
        config.format == PublishFormat::sparkplug
            ? ("spBv1.0/" + config.group + "/.../" + config.node).c_str()
            : config.prefix.c_str(),
        config.queue.c_str(), static_cast<unsigned>(config.queue_bytes / 1024));
    std::string reason;
    if (!publish_probe(config, settings, ANSWER_SECONDS, reason)) {
        std::printf("broker not reached: %s\n", reason.c_str());
        return 1;
    }
    std::printf("broker reached: the connection was accepted\n");
    return 0;
}
