#pragma once

#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "endpoint.h"
#include "protocol.h"

enum class exchange_status {
    ok,
    connect_failed,
    closed,
    timeout,
    invalid,    // not a reply of the shape asked for
    oversized,  // no reply within kMaxReplyBytes
    noisy,      // bytes that cannot be told from a late reply
    resources,  // no descriptor or thread left for the connection
    stopped,
};

struct exchange_result {
    exchange_status status;
    std::string reply;   // the complete reply when ok
    std::string detail;  // what went wrong otherwise, printable
};

struct name_lookup;

// One connection to a guest's channel, made when an exchange needs it. The channel carries no
// request ids, and QEMU hands on to the next connection what the guest wrote while none was
// open, so a reply is only taken as the answer to a request when nothing else can be: the
// channel has been quiet for longer than the agent takes to answer (after each new connection,
// after any failure, and whenever bytes came between exchanges), and the reply comes no sooner
// than the agent can make it and alone. After any failure the connection is closed.
class guest_channel {
public:
    explicit guest_channel(endpoint where) : where_(std::move(where)) {}
    ~guest_channel() { close(); }
    guest_channel(const guest_channel&) = delete;
    guest_channel& operator=(const guest_channel&) = delete;

    // Sends the command as one message and reads its reply; the timeout bounds the connection
    // and, from the send, the reply (the wait for quiet has its own bound). Waits, when needed,
    // so that messages are at least a second apart: the agent reads once a second and two
    // messages in one read would be one command. stop_fd (or -1) ends every wait at once.
    exchange_result exchange(std::string_view command, reply_kind kind,
                             std::chrono::milliseconds timeout, int stop_fd);
    void close();

private:
    using clock_type = std::chrono::steady_clock;

    exchange_result fail(exchange_status status, std::string detail);
    exchange_status connect_to(const sockaddr* address, socklen_t size,
                               clock_type::time_point deadline, int stop_fd, std::string* detail);
    exchange_status connect_by(clock_type::time_point deadline, int stop_fd, std::string* detail);
    exchange_status look_up(clock_type::time_point deadline, int stop_fd, std::string* detail);
    // Waits for events on the socket; ok, timeout or stopped.
    exchange_status wait_socket(short events, clock_type::time_point deadline, int stop_fd);
    // Waits until the socket is readable, no sooner than kReadSpacing after the last read.
    exchange_status wait_to_read(clock_type::time_point last_read, clock_type::time_point deadline,
                                 int stop_fd);
    // Whether bytes came since the last exchange; false, and the connection closed, when the
    // other end closed it meanwhile (QEMU restarted, say).
    bool still_open(bool* bytes_came);
    // Reads and drops bytes until none came for longer than the agent takes to answer.
    exchange_status settle(int stop_fd, std::string* detail);

    endpoint where_;
    int fd_ = -1;
    bool settled_ = false;
    clock_type::time_point last_send_{};
    std::shared_ptr<name_lookup> lookup_;  // a lookup that outlived the exchange that began it
};
