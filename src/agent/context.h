#pragma once

#include <atomic>

#include "agent/output_buffer.h"

struct dev_channel;

// Bit 0 of ctl_context::flags: run under the service control manager.
constexpr int CTL_FLAG_SERVICE = 1;

// The agent's one context, declared on the stack of main. Constructed zero-filled.
struct ctl_context {
    std::atomic<int> stop{0};  // written once, 0 -> 1, by the stop request; read by the loop
    int flags = 0;
    dev_channel* device = nullptr;       // owned
    char* pid_file_path = nullptr;       // owned, or null
    output_buffer output = {0, 0, nullptr};
};

// The process's current context, for code the platform calls without one (the command loop,
// the service entry and its control handler).
ctl_context* ctl_current();
void ctl_set_current(ctl_context* ctx);
