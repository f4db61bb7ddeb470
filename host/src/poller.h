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

// Polls one VM with GSTATS:CMDV every interval until stopped, over one connection that is made
// again after any failure, and records each outcome in the fleet. Changes of state are
// reported on standard error.
void poll_vm(const vm_endpoint& vm, const poll_settings& settings, fleet& sink,
             const stop_signal& stop);

// One thread a VM: a silent guest delays no other. A VM whose thread or stop signal cannot be
// had (the process is out of descriptors or threads) is down, with one failure of reason
// resources a try; it is reported once and tried again at each retry().
class vm_pollers {
public:
    vm_pollers(const poll_settings& settings, fleet& sink) : settings_(settings), sink_(sink) {}
    ~vm_pollers() { stop_all(); }

    bool has(const std::string& name) const { return running_.count(name) != 0; }
    // False when a VM of that name is polled already.
    bool start(const vm_endpoint& vm);
    // Starts the pollers that could not be started before.
    void retry();
    void stop(const std::string& name);
    void stop_all();
    std::map<std::string, std::string> endpoints() const;

private:
    struct running_poller {
        vm_endpoint vm;
        std::string endpoint;
        std::unique_ptr<stop_signal> stop;
        std::thread thread;
        int descriptors = 0;  // of the pollers' share, while it runs
        bool lacked = false;  // an earlier start found no thread or descriptor
    };
    void launch(running_poller& poller);

    poll_settings settings_;
    fleet& sink_;
    std::map<std::string, std::unique_ptr<running_poller>> running_;
};
