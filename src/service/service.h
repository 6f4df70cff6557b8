#pragma once
// The gateway service: start-up and the select loop that serves one Modbus TCP client at a time.
#include <string>

#include "device/link.h"
#include "modbus/mbap.h"
#include "modbus/modbus.h"
#include "service/push.h"
#include "settings/settings.h"

// How long one answer may wait for room in the client's socket before the client is dropped.
inline constexpr int SERVICE_SEND_SECONDS = 10;
// How often a lost serial line is tried again.
inline constexpr int SERVICE_REOPEN_SECONDS = 3;

struct Service {
    Settings settings;
    int listen_fd = -1;
    int client_fd = -1;
    std::string device_path; // "/dev/" + the device setting
    DevLine line;            // the serial line to the field device
    int64_t reopen_due_us = 0;
    MbapParser server_parser;
    PushState push;
    // The field device's registers over serial_fd; the context is this record.
    ModbusRegisters registers{};
};

// "/dev/" followed by the whole device setting.
std::string service_device_path(const Settings& settings);

// Loads the settings from `settings_path`, opens the listening socket, locks and opens the serial
// device. 1 on success; 0 when the device cannot be locked or opened (already logged).
int service_start(Service& service, const char* settings_path);

// One loop iteration: waits up to 1 s, accepts or serves the client, then the push check and
// the line check.
void service_iterate(Service& service);

// A line that reported it is gone is closed ("device %s lost: %s") and, from
// SERVICE_REOPEN_SECONDS after that on, locked and opened again at that interval until it works
// ("device %s reopened"). `now_us` is on the monotonic clock (sys/deadline.h).
void service_check_line(Service& service, int64_t now_us);
