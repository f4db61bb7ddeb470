#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <string_view>

#include "endpoint.h"
#include "protocol.h"

enum class exchange_status { ok, connect_failed, closed, timeout, invalid, stopped };

struct exchange_result {
    exchange_status status;
    std::string reply;   // the complete reply when ok
    std::string detail;  // what went wrong otherwise
};

// One connection to a guest's channel, made when an exchange needs it. After any failure it is
// closed, so that nothing late of a failed exchange is taken for the next reply.
class guest_channel {
public:
    explicit guest_channel(endpoint where) : where_(std::move(where)) {}
    ~guest_channel() { close(); }
    guest_channel(const guest_channel&) = delete;
    guest_channel& operator=(const guest_channel&) = delete;

    // Sends the command as one message and reads its reply, all within the timeout. Waits, when
    // needed, so that messages are at least a second apart: the agent reads once a second and
    // two messages in one read would be one command. stop_fd (or -1) ends the wait at once.
    exchange_result exchange(std::string_view command, reply_kind kind,
                             std::chrono::milliseconds timeout, int stop_fd);
    void close();

private:
    using clock_type = std::chrono::steady_clock;

    exchange_result fail(exchange_status status, std::string detail);
    exchange_status connect_to(const sockaddr* address, socklen_t size,
                               clock_type::time_point deadline, int stop_fd, std::string* detail);
    exchange_status connect_by(clock_type::time_point deadline, int stop_fd, std::string* detail);
    // Waits for events on the socket; ok, timeout or stopped.
    exchange_status wait_socket(short events, clock_type::time_point deadline, int stop_fd);
    bool discard_pending();

    endpoint where_;
    int fd_ = -1;
    clock_type::time_point last_send_{};
};
