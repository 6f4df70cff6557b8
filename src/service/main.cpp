// kovex4: Modbus TCP gateway for one field device on a serial line. No options, no environment:
// everything comes from the settings file.
#include <syslog.h>
#include <unistd.h>

#include "service/service.h"
#include "sys/log.h"

int main() {
    setsid();
    openlog("kovex4", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log_msg(LOG_NOTICE, "started");
    static Service service;
    if (!service_start(service, SETTINGS_PATH))
        return 1;
    for (;;)
        service_iterate(service);
}
