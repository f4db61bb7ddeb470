#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device/device_channel.h"

// A recording stand-in for the serial device: every write is kept as one reply.
struct dev_channel {
    std::string path;
    bool has_path = false;
    bool open = false;
    unsigned long connect_error = 0;  // what dev_connect_error answers
    bool cancelled = false;
    std::vector<std::string> writes;
    int write_attempts = 0;
    int fail_write_from = -1;  // the attempt (0-based) from which writes fail; -1: never
    std::function<void()> after_write;  // runs after each successful write, when set
};
