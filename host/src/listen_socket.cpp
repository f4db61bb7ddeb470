#include "listen_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "endpoint.h"

namespace {

constexpr int kBacklog = 1024;
constexpr int kFirstSystemdSocket = 3;

std::string shown_address(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
    }
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    return "a socket of family " + std::to_string(address.ss_family);
}

std::string shown_of(int fd) {
    sockaddr_storage address = {};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return "?";
    return shown_address(address);
}

// Binds and listens; the descriptor, or -1 with errno set.
int bound(const sockaddr_storage& address, socklen_t size, bool every_family) {
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    int off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, every_family ? &off : &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
        listen(fd, kBacklog) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<listen_address> parse_listen_address(const std::string& text) {
    listen_address where;
    if (!text.empty() && text.front() == ':') {
        std::string host;
        if (!split_host_port("*" + text, true, &host, &where.port)) return std::nullopt;
        return where;
    }
    if (!split_host_port(text, true, &where.host, &where.port)) return std::nullopt;
    in6_addr v6;
    in_addr v4;
    if (inet_pton(AF_INET6, where.host.c_str(), &v6) != 1 &&
        inet_pton(AF_INET, where.host.c_str(), &v4) != 1)
        return std::nullopt;
    // An IPv6 address is written in brackets, so that its port stands apart.
    if (where.host.find(':') != std::string::npos && text.front() != '[') return std::nullopt;
    return where;
}

std::optional<listen_socket> open_listen_socket(const listen_address& where, std::string* error) {
    auto port = static_cast<std::uint16_t>(std::stoul(where.port));
    sockaddr_storage address = {};
    int fd = -1;
    if (where.host.empty()) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_any;
        v6.sin6_port = htons(port);
        fd = bound(address, sizeof v6, true);
        if (fd < 0 && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)) {
            address = {};
            auto& v4 = reinterpret_cast<sockaddr_in&>(address);
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_ANY);
            v4.sin_port = htons(port);
            fd = bound(address, sizeof v4, true);
        }
    } else if (where.host.find(':') != std::string::npos) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, where.host.c_str(), &v6.sin6_addr);
        v6.sin6_port = htons(port);
        fd = bound(address, sizeof v6, false);
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        inet_pton(AF_INET, where.host.c_str(), &v4.sin_addr);
        v4.sin_port = htons(port);
        fd = bound(address, sizeof v4, false);
    }
    if (fd < 0) {
        *error = std::strerror(errno);
        return std::nullopt;
    }
    return listen_socket{fd, shown_of(fd)};
}

bool systemd_listen_sockets(std::vector<listen_socket>* sockets, std::string* error) {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    if (pid == nullptr || count == nullptr || std::atol(pid) != getpid() || std::atoi(count) < 1) {
        *error =
            "systemd passed no socket (LISTEN_PID and LISTEN_FDS); start it through its "
            ".socket unit";
        return false;
    }
    int fds = std::atoi(count);
    // Not for the programs this one might start.
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    for (int fd = kFirstSystemdSocket; fd < kFirstSystemdSocket + fds; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        int type = 0;
        socklen_t type_size = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening ||
            getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_size) != 0 || type != SOCK_STREAM) {
            *error = "systemd's socket " + std::to_string(fd) + " is not a listening stream socket";
            return false;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        sockets->push_back({fd, shown_of(fd)});
    }
    return true;
}
