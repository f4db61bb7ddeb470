#include "agent/device_outage.h"

#include "device/device_channel.h"
#include "util/log.h"

void device_outage_connect_failed(device_outage* outage, const dev_channel* dev) {
    if (outage->ongoing) return;  // one event for the whole outage, not one every 4 s
    outage->ongoing = true;
    log_device_missing(dev_path(dev), dev_connect_error(dev));
}

void device_outage_connected(device_outage* outage, const dev_channel* dev) {
    if (!outage->ongoing) return;
    outage->ongoing = false;
    log_device_back(dev_path(dev));
}
