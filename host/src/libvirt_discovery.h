#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include "libvirt_channel.h"

struct _virConnect;
class fleet;
class vm_pollers;

// A running domain as libvirt lists it.
struct discovered_domain {
    std::string name;  // in full, as libvirt has it
    std::string uuid;
    domain_channel channel;
};

// libvirt's list of running domains through one read-only connection, made again when lost.
// The connection's loss and return are each reported once on standard error. libvirt's event
// loop runs on a thread of its own for the keepalive alone: a libvirtd that stops answering
// fails the call that waits on it within about 20 s instead of never.
class libvirt_source {
public:
    explicit libvirt_source(std::string uri);
    ~libvirt_source();
    libvirt_source(const libvirt_source&) = delete;
    libvirt_source& operator=(const libvirt_source&) = delete;

    // Lists the running domains: whether they changed since the last listing (true after a
    // new connection); nothing while libvirt cannot be reached.
    std::optional<bool> list();
    // The running domains at the last listing.
    const std::vector<discovered_domain>& domains() const { return domains_; }

private:
    bool connect();
    void disconnect(const std::string& why);
    bool running_ids(std::vector<int>* ids, bool* complete);

    std::string uri_;
    std::atomic<bool> stopping_{false};
    std::thread event_loop_;
    _virConnect* connection_ = nullptr;
    bool reported_down_ = false;
    bool was_connected_ = false;
    // A running domain's XML is read once: its channel stays while it runs (uuid and id).
    struct known_domain {
        std::string uuid;
        std::string name;
        domain_channel channel;
    };
    std::map<std::string, known_domain> known_;
    std::optional<std::vector<int>> listed_ids_;  // the running ids when known_ was made
    bool relist_ = false;
    std::vector<discovered_domain> domains_;
};

// How often the domains are listed again: a domain that starts is polled, and one that stops
// leaves the exposition, within this time; a restarted libvirtd is found again within it.
constexpr std::chrono::seconds kLibvirtRelist{2};

// Keeps one poller a running domain that has the agent's channel, named after the domain.
// Domains without the channel are counted; a channel the exporter cannot use is reported once,
// with the fix. Names given with --vm are left alone.
class libvirt_follower {
public:
    libvirt_follower(std::string uri, vm_pollers& pollers, fleet& sink,
                     std::set<std::string> fixed_names);
    void refresh();

private:
    void report_once(const std::string& name, const std::string& problem);

    libvirt_source source_;
    vm_pollers& pollers_;
    fleet& sink_;
    std::set<std::string> fixed_names_;
    std::set<std::string> polled_;
    std::map<std::string, std::string> reported_;  // name: the problem last reported
    int without_channel_ = 0;
};
