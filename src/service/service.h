#pragma once
// The gateway service: start-up and the select loop that serves one Modbus TCP client at a time.
#include <string>

#include "modbus/mbap.h"
#include "service/push.h"
#include "settings/settings.h"

// How long one answer may wait for room in the client's socket before the client is dropped.
inline constexpr int SERVICE_SEND_SECONDS = 10;

struct Service {
    Settings settings;
    int listen_fd = -1;
    int client_fd = -1;
    int serial_fd = -1;
    MbapParser server_parser;
    PushState push;
};

// "/dev/" followed by the whole device setting.
std::string service_device_path(const Settings& settings);

// Loads the settings from `settings_path`, opens the listening socket, locks and opens the serial
// device. 1 on success; 0 when the device cannot be locked or opened (already logged).
int service_start(Service& service, const char* settings_path);

// One loop iteration: waits up to 1 s, accepts or serves the client, then the push check.
void service_iterate(Service& service);
