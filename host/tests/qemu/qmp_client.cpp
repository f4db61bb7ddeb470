#include "qemu/qmp_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/process.h"

namespace {

int connect_unix(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

}  // namespace

qmp_client::qmp_client(const std::string& path, std::chrono::milliseconds time) {
    eventually(time, [&] { return (fd_ = connect_unix(path)) >= 0; });
    if (fd_ < 0) throw std::runtime_error("no QMP socket at " + path);
    reader_ = std::thread([this] { read_messages(); });
    // The greeting comes as a reply-less message; the negotiation's reply follows.
    try {
        execute("qmp_capabilities");
    } catch (...) {
        // QEMU can fail after it listens (KVM refusing the processor model, for one).
        shutdown(fd_, SHUT_RDWR);
        reader_.join();
        close(fd_);
        throw;
    }
}

qmp_client::~qmp_client() {
    shutdown(fd_, SHUT_RDWR);
    reader_.join();
    close(fd_);
}

void qmp_client::read_messages() {
    std::string pending;
    char buffer[4096];
    ssize_t count;
    while ((count = recv(fd_, buffer, sizeof buffer, 0)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(count));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            nlohmann::json message = nlohmann::json::parse(pending.substr(0, end), nullptr, false);
            pending.erase(0, end + 1);
            std::lock_guard<std::mutex> lock(mutex_);
            if (message.contains("event"))
                events_.push_back({clock::now(), message});
            else if (message.contains("return") || message.contains("error"))
                replies_.push_back(message);
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

nlohmann::json qmp_client::execute(const std::string& command) {
    std::string line = nlohmann::json{{"execute", command}}.dump() + "\n";
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        throw std::runtime_error("QMP: cannot send " + command);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(30), [&] { return !replies_.empty() || closed_; }) ||
        replies_.empty())
        throw std::runtime_error("QMP: no reply to " + command);
    nlohmann::json reply = replies_.front();
    replies_.pop_front();
    if (reply.contains("error")) throw std::runtime_error("QMP: " + command + ": " + reply.dump());
    return reply["return"];
}

std::optional<qmp_client::clock::time_point> qmp_client::wait_event(
    const std::string& name, clock::time_point since,
    const std::function<bool(const nlohmann::json&)>& match, std::chrono::milliseconds time) {
    std::optional<clock::time_point> found;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, time, [&] {
        for (const event& seen : events_)
            if (seen.arrived >= since && seen.message["event"] == name &&
                match(seen.message.value("data", nlohmann::json::object()))) {
                found = seen.arrived;
                return true;
            }
        return closed_;
    });
    return found;
}
