#pragma once

#include <chrono>

// A stop request that waits in poll() beside sockets can see: an eventfd, set once.
class stop_signal {
public:
    stop_signal();
    ~stop_signal();
    stop_signal(const stop_signal&) = delete;
    stop_signal& operator=(const stop_signal&) = delete;

    void raise();
    bool raised() const;
    // Waits until the time has passed (false) or the stop is raised (true).
    bool wait_for(std::chrono::milliseconds time) const;
    int fd() const { return fd_; }

private:
    int fd_;
};
