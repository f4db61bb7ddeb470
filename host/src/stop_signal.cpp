#include "stop_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <stdexcept>

stop_signal::stop_signal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

stop_signal::~stop_signal() {
    close(fd_);
}

void stop_signal::raise() {
    std::uint64_t one = 1;
    // Only a counter at its maximum refuses, and then the stop is raised already.
    [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
}

bool stop_signal::raised() const {
    return wait_for(std::chrono::milliseconds(0));
}

bool stop_signal::wait_for(std::chrono::milliseconds time) const {
    auto deadline = std::chrono::steady_clock::now() + time;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watched = {fd_, POLLIN, 0};
        int ready = poll(&watched, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}
