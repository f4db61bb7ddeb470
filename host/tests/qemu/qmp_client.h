#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// QEMU's machine protocol (QMP) on a UNIX socket: commands, and the events QEMU sends, each kept
// with the time it arrived.
class qmp_client {
public:
    using clock = std::chrono::steady_clock;

    // Connects (waiting for the socket to appear) and leaves capability negotiation; throws
    // std::runtime_error when it cannot.
    qmp_client(const std::string& path, std::chrono::milliseconds time);
    ~qmp_client();
    qmp_client(const qmp_client&) = delete;
    qmp_client& operator=(const qmp_client&) = delete;

    // The command's "return"; throws on an error reply, or when QEMU goes or stays silent.
    nlohmann::json execute(const std::string& command);

    // The arrival of the first event named name, at or after since, whose data passes match.
    std::optional<clock::time_point> wait_event(
        const std::string& name, clock::time_point since,
        const std::function<bool(const nlohmann::json&)>& match, std::chrono::milliseconds time);

private:
    struct event {
        clock::time_point arrived;
        nlohmann::json message;
    };
    void read_messages();

    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<nlohmann::json> replies_;
    std::vector<event> events_;
    bool closed_ = false;
    std::thread reader_;
};
