#include "channel.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

// The agent waits 1 s before each read.
constexpr auto kMessageSpacing = std::chrono::seconds(1);
// Longer than the agent takes to answer: its read at most 1 s after a message comes, then the
// 2 s CPU window.
constexpr auto kQuietPeriod = std::chrono::seconds(4);
// A channel that does not go quiet within this, or sends this much meanwhile, is not polled.
constexpr auto kQuietLimit = std::chrono::seconds(15);
constexpr std::size_t kQuietBytes = 4 * kMaxReplyBytes;
// Reads at most this often: a guest that writes a byte at a time costs few reads, not one a byte.
constexpr auto kReadSpacing = std::chrono::milliseconds(5);

int new_socket(int family) {
    return socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// The process or the system ran out of something the connection needs.
exchange_status lacking(int error) {
    bool short_of = error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
    return short_of ? exchange_status::resources : exchange_status::connect_failed;
}

bool would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Waits until the time; false when stopped first.
bool pause_until(std::chrono::steady_clock::time_point until, int stop_fd) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd watched = {stop_fd, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left.count())) > 0) return false;
    }
}

}  // namespace

// getaddrinfo cannot be interrupted, so it runs on a thread of its own that the exchange waits
// for with its deadline and stop; a lookup given up on ends by itself and frees its result.
struct name_lookup {
    std::string host;
    std::string port;
    int done_fd = -1;  // an eventfd, readable once the lookup has ended
    std::atomic<bool> done{false};
    int status = 0;
    addrinfo* found = nullptr;

    ~name_lookup() {
        if (found != nullptr) freeaddrinfo(found);
        if (done_fd >= 0) ::close(done_fd);
    }
};

void guest_channel::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    settled_ = false;
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
        int ready = poll(watched, 2, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) return exchange_status::closed;
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
        return lacking(errno);
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
        if (errno == EACCES && address->sa_family == AF_UNIX)
            *detail += " (the user needs write access to the socket, through its group)";
        close();
        return exchange_status::connect_failed;
    }
    return exchange_status::ok;
}

exchange_status guest_channel::wait_to_read(clock_type::time_point last_read,
                                            clock_type::time_point deadline, int stop_fd) {
    if (!pause_until(std::min(deadline, last_read + kReadSpacing), stop_fd))
        return exchange_status::stopped;
    return wait_socket(POLLIN, deadline, stop_fd);
}

exchange_status guest_channel::look_up(clock_type::time_point deadline, int stop_fd,
                                       std::string* detail) {
    if (!lookup_) {
        auto job = std::make_shared<name_lookup>();
        job->host = where_.host;
        job->port = where_.port;
        job->done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (job->done_fd < 0) {
            *detail = std::string("eventfd: ") + std::strerror(errno);
            return lacking(errno);
        }
        try {
            std::thread([job] {
                addrinfo hints = {};
                hints.ai_socktype = SOCK_STREAM;
                job->status =
                    getaddrinfo(job->host.c_str(), job->port.c_str(), &hints, &job->found);
                job->done.store(true, std::memory_order_release);
                std::uint64_t one = 1;
                [[maybe_unused]] ssize_t written = write(job->done_fd, &one, sizeof one);
            }).detach();
        } catch (const std::system_error& error) {
            *detail = std::string("name lookup: ") + error.what();
            return exchange_status::resources;
        }
        lookup_ = job;
    }
    // Only one lookup at a time: one that outlives its exchange is waited for by the next.
    while (!lookup_->done.load(std::memory_order_acquire)) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) {
            *detail = "name lookup took too long";
            return exchange_status::timeout;
        }
        pollfd watched[2] = {{lookup_->done_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int ready = poll(watched, 2, static_cast<int>(left.count()) + 1);
        if (ready > 0 && watched[1].revents != 0) return exchange_status::stopped;
    }
    return exchange_status::ok;
}

exchange_status guest_channel::connect_by(clock_type::time_point deadline, int stop_fd,
                                          std::string* detail) {
    std::string target = printable(endpoint_text(where_), 300);
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
        status = look_up(deadline, stop_fd, detail);
        if (status != exchange_status::ok) {
            if (status != exchange_status::stopped) *detail = target + ": " + *detail;
            return status;
        }
        std::shared_ptr<name_lookup> job = std::move(lookup_);
        if (job->status != 0) {
            *detail = target + ": " + gai_strerror(job->status);
            return exchange_status::connect_failed;
        }
        // A name can stand for several addresses (localhost: ::1 and 127.0.0.1); QEMU listens
        // on one of them.
        status = exchange_status::connect_failed;
        for (addrinfo* address = job->found; address != nullptr; address = address->ai_next) {
            status = connect_to(address->ai_addr, address->ai_addrlen, deadline, stop_fd, detail);
            if (status != exchange_status::connect_failed) break;  // connected, or no use trying
        }
    }
    if (status == exchange_status::connect_failed || status == exchange_status::resources)
        *detail = target + ": " + *detail;
    return status;
}

bool guest_channel::still_open(bool* bytes_came) {
    char buffer[4096];
    ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
    *bytes_came = count > 0;
    if (count > 0 || (count < 0 && would_block())) return true;
    close();
    return false;
}

exchange_status guest_channel::settle(int stop_fd, std::string* detail) {
    auto start = clock_type::now();
    auto quiet_since = start;
    auto last_read = start - kReadSpacing;
    std::size_t dropped = 0;
    for (;;) {
        auto now = clock_type::now();
        if (now - quiet_since >= kQuietPeriod) {
            settled_ = true;
            return exchange_status::ok;
        }
        if (now - start >= kQuietLimit || dropped > kQuietBytes) {
            *detail = "the channel did not go quiet (" + std::to_string(dropped) +
                      " bytes in " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - start)
                                         .count()) +
                      " s), so no reply could be told from a late one";
            return exchange_status::noisy;
        }
        auto until = std::min(quiet_since + kQuietPeriod, start + kQuietLimit);
        exchange_status waited = wait_to_read(last_read, until, stop_fd);
        if (waited == exchange_status::timeout) continue;
        if (waited != exchange_status::ok) return waited;
        char buffer[4096];
        ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
        last_read = clock_type::now();
        if (count < 0 && would_block()) continue;
        if (count <= 0) {
            *detail = "connection closed";
            return exchange_status::closed;
        }
        dropped += static_cast<std::size_t>(count);
        quiet_since = clock_type::now();
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
    std::string target = printable(endpoint_text(where_), 300);
    bool bytes_came = false;
    if (fd_ >= 0 && still_open(&bytes_came) && bytes_came) settled_ = false;
    if (fd_ < 0) {
        std::string detail;
        exchange_status connected = connect_by(clock_type::now() + timeout, stop_fd, &detail);
        if (connected == exchange_status::timeout && detail.empty())
            detail = target + ": no connection in time";
        if (connected != exchange_status::ok) return fail(connected, detail);
    }
    if (!settled_) {
        std::string detail;
        exchange_status settled = settle(stop_fd, &detail);
        if (settled != exchange_status::ok) return fail(settled, target + ": " + detail);
    }

    auto deadline = clock_type::now() + timeout;
    std::size_t sent = 0;
    while (sent < command.size()) {
        ssize_t count = send(fd_, command.data() + sent, command.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && would_block()) {
            exchange_status waited = wait_socket(POLLOUT, deadline, stop_fd);
            if (waited != exchange_status::ok) return fail(waited, target + ": send timed out");
            continue;
        }
        if (count < 0) return fail(exchange_status::closed, target + ": " + std::strerror(errno));
        sent += static_cast<std::size_t>(count);
    }
    last_send_ = clock_type::now();
    settled_ = false;  // until the reply has come, alone

    // Bytes before the agent can have answered are a late reply to an earlier request.
    auto earliest = last_send_ + earliest_reply(command);
    bool early_bytes = false;
    reply_scanner scanner(kind);
    std::string reply;
    auto last_read = last_send_ - kReadSpacing;
    for (;;) {
        exchange_status waited = wait_to_read(last_read, deadline, stop_fd);
        if (waited == exchange_status::timeout)
            return fail(waited, target + ": no complete reply in time" +
                                    (reply.empty() ? "" : " (got " + printable(reply) + ")"));
        if (waited != exchange_status::ok) return fail(waited, target + ": stopped");
        char buffer[4096];
        ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
        last_read = clock_type::now();
        if (count < 0 && would_block()) continue;
        if (count <= 0)
            return fail(exchange_status::closed,
                        target + ": connection closed before the reply was complete");
        std::string_view got(buffer, static_cast<std::size_t>(count));
        if (clock_type::now() < earliest) {
            early_bytes = true;
            continue;
        }
        reply.append(got);
        switch (scanner.feed(got)) {
        case scan_status::incomplete:
            continue;
        case scan_status::invalid:
            return fail(exchange_status::invalid, target + ": not a reply: " + printable(reply));
        case scan_status::oversized:
            return fail(exchange_status::oversized,
                        target + ": no reply within " + std::to_string(kMaxReplyBytes) +
                            " bytes: " + printable(reply));
        case scan_status::complete:
            break;
        }
        // Two replies where one was asked for: which one answers this request is unknowable.
        if (reply.size() > scanner.length)
            return fail(exchange_status::noisy,
                        target + ": more bytes followed the reply: " +
                            printable(reply.substr(scanner.length)));
        settled_ = !early_bytes;
        return {exchange_status::ok, reply, {}};
    }
}
