#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "e2e/pipe_host.h"

// Reads one JSON object from the host's end, byte by byte so that nothing after it is taken.
// What arrived when the time is up, which is then not a whole object.
std::string receive_object(pipe_host& host, int timeout_ms);

// A known CPU load: busy threads while it lives.
class busy_load {
public:
    explicit busy_load(unsigned threads);
    ~busy_load();
    busy_load(const busy_load&) = delete;
    busy_load& operator=(const busy_load&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> workers_;
};
