#pragma once

struct dev_channel;

// An outage of the device: it could not be opened at the last attempt. In service mode the
// system log hears of each outage once, at its start, and once more when the device opens
// again; a reconnection that succeeds at once is no outage.
struct device_outage {
    bool ongoing = false;
};

// After each connection attempt of the command loop.
void device_outage_connect_failed(device_outage* outage, const dev_channel* dev);
void device_outage_connected(device_outage* outage, const dev_channel* dev);
