#include "channel.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The agent waits 1 s before each read.
constexpr auto kMessageSpacing = std::chrono::seconds(1);

int new_socket(int family) {
    return socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

}  // namespace

void guest_channel::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

exchange_result guest_channel::fail(exchange_status status, std::string detail) {
    close();
    return {status, {}, std::move(detail)};
}

exchange_status guest_channel::wait_socket(short events, clock_type::time_point deadline,
                                           int stop_fd) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) return exchange_status::timeout;
        pollfd watched[2] = {{fd_, events, 0}, {stop_fd, POLLIN, 0}};
        int ready = poll(watched, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (watched[1].revents != 0) return exchange_status::stopped;
        if (ready > 0) return exchange_status::ok;
    }
}

exchange_status guest_channel::connect_to(const sockaddr* address, socklen_t size,
                                          clock_type::time_point deadline, int stop_fd,
                                          std::string* detail) {
    fd_ = new_socket(address->sa_family);
    if (fd_ < 0) {
        *detail = std::string("socket: ") + std::strerror(errno);
        return exchange_status::connect_failed;
    }
    int result = connect(fd_, address, size);
    if (result != 0 && errno == EINPROGRESS) {
        exchange_status waited = wait_socket(POLLOUT, deadline, stop_fd);
        if (waited != exchange_status::ok) {
            close();
            return waited;
        }
        int error = 0;
        socklen_t error_size = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &error_size);
        errno = error;
        result = error == 0 ? 0 : -1;
    }
    if (result != 0) {
        *detail = std::strerror(errno);
        close();
        return exchange_status::connect_failed;
    }
    return exchange_status::ok;
}

exchange_status guest_channel::connect_by(clock_type::time_point deadline, int stop_fd,
                                          std::string* detail) {
    std::string target = endpoint_text(where_);
    exchange_status status = exchange_status::connect_failed;
    if (where_.kind == endpoint::kind_type::unix_socket) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (where_.path.size() >= sizeof address.sun_path) {
            *detail = target + ": path too long for a UNIX socket";
            return exchange_status::connect_failed;
        }
        std::memcpy(address.sun_path, where_.path.c_str(), where_.path.size() + 1);
        status = connect_to(reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline,
                            stop_fd, detail);
    } else {
        addrinfo hints = {};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int lookup = getaddrinfo(where_.host.c_str(), where_.port.c_str(), &hints, &found);
        if (lookup != 0) {
            *detail = target + ": " + gai_strerror(lookup);
            return exchange_status::connect_failed;
        }
        // A name can stand for several addresses (localhost: ::1 and 127.0.0.1); QEMU listens
        // on one of them.
        for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
            status = connect_to(address->ai_addr, address->ai_addrlen, deadline, stop_fd, detail);
            if (status != exchange_status::connect_failed) break;
        }
        freeaddrinfo(found);
    }
    if (status == exchange_status::connect_failed) *detail = target + ": " + *detail;
    return status;
}

// Whatever arrived between exchanges is late, from an exchange that had given up on it. False
// when the other end has closed the connection meanwhile (QEMU restarted, say).
bool guest_channel::discard_pending() {
    char buffer[4096];
    for (;;) {
        ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
        if (count > 0) continue;
        return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

exchange_result guest_channel::exchange(std::string_view command, reply_kind kind,
                                        std::chrono::milliseconds timeout, int stop_fd) {
    // Also across connections: a message that got no reply may still wait in the guest.
    auto due = last_send_ + kMessageSpacing;
    pollfd watched = {stop_fd, POLLIN, 0};
    while (clock_type::now() < due) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - clock_type::now());
        if (poll(&watched, 1, static_cast<int>(left.count()) + 1) > 0)
            return fail(exchange_status::stopped, "stopped");
    }
    auto deadline = clock_type::now() + timeout;
    std::string target = endpoint_text(where_);
    if (fd_ >= 0 && !discard_pending()) close();
    if (fd_ < 0) {
        std::string detail;
        exchange_status connected = connect_by(deadline, stop_fd, &detail);
        if (connected == exchange_status::timeout) detail = target + ": no connection in time";
        if (connected != exchange_status::ok) return fail(connected, detail);
    }

    std::size_t sent = 0;
    while (sent < command.size()) {
        ssize_t count = send(fd_, command.data() + sent, command.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            exchange_status waited = wait_socket(POLLOUT, deadline, stop_fd);
            if (waited != exchange_status::ok) return fail(waited, target + ": send timed out");
            continue;
        }
        if (count < 0) return fail(exchange_status::closed, target + ": " + std::strerror(errno));
        sent += static_cast<std::size_t>(count);
    }
    last_send_ = clock_type::now();

    std::string reply;
    for (;;) {
        scan_result scanned = scan_reply(kind, reply);
        if (scanned.status == scan_status::complete) {
            reply.resize(scanned.length);  // anything after it belongs to no exchange of ours
            return {exchange_status::ok, reply, {}};
        }
        if (scanned.status == scan_status::invalid)
            return fail(exchange_status::invalid, target + ": not a reply: " + printable(reply));
        exchange_status waited = wait_socket(POLLIN, deadline, stop_fd);
        if (waited == exchange_status::timeout)
            return fail(waited, target + ": no complete reply in time" +
                                    (reply.empty() ? "" : " (got " + printable(reply) + ")"));
        if (waited != exchange_status::ok) return fail(waited, "stopped");
        char buffer[4096];
        ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (count <= 0)
            return fail(exchange_status::closed,
                        target + ": connection closed before the reply was complete");
        reply.append(buffer, static_cast<std::size_t>(count));
    }
}
