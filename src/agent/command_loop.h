#pragma once

struct ctl_context;

// Keeps the agent attached to the device and serves it until the stop flag of the current
// context is set. Reports nothing but the device's outages, which in service mode reach the
// system log (device_outage.h).
void ctl_command_loop();

// Serves one open connection until a read or reply fails or the stop flag is set.
void ctl_wait_command(ctl_context* ctx);

// The stop request: sets the stop flag and releases the device read the loop is in or begins
// next. Callable from any thread.
void ctl_stop_command_loop();

// Size of one device read: one message.
constexpr int CTL_MESSAGE_SIZE = 512;
