#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "endpoint.h"
#include "fleet.h"
#include "stop_signal.h"

struct poll_settings {
    std::chrono::seconds interval{15};
    std::chrono::milliseconds timeout{10000};
};

// Polls one VM with GSTATS:CMD every interval until stopped, over one connection that is made
// again after any failure, and records each outcome in the fleet. Changes of state are
// reported on standard error.
void poll_vm(const vm_endpoint& vm, const poll_settings& settings, fleet& sink,
             const stop_signal& stop);

// One thread a VM: a silent guest delays no other.
class vm_pollers {
public:
    vm_pollers(const poll_settings& settings, fleet& sink) : settings_(settings), sink_(sink) {}
    ~vm_pollers() { stop_all(); }

    bool has(const std::string& name) const { return running_.count(name) != 0; }
    // False when a VM of that name is polled already.
    bool start(const vm_endpoint& vm);
    void stop(const std::string& name);
    void stop_all();
    std::map<std::string, std::string> endpoints() const;

private:
    struct running_poller {
        std::string endpoint;
        stop_signal stop;
        std::thread thread;
    };

    poll_settings settings_;
    fleet& sink_;
    std::map<std::string, std::unique_ptr<running_poller>> running_;
};
