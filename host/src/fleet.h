#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "guest_report.h"
#include "poll_failure.h"

constexpr std::size_t kPollFailureCount = static_cast<std::size_t>(poll_failure::resources) + 1;

// What the exporter knows of one VM.
struct vm_state {
    std::string uuid;                      // of its libvirt domain, when it is one
    bool up = false;                       // the last poll got a valid report
    guest_figures figures;                 // from that poll; meaningful only while up
    std::optional<double> last_good_unix;  // when the last valid report arrived, Unix seconds
    std::optional<double> poll_seconds;    // how long the last poll took
    std::array<std::uint64_t, kPollFailureCount> failures{};  // polls failed, by reason
    std::optional<poll_failure> last_failure;  // why the last poll failed, while down
};

// What libvirt discovery adds to the exposition.
struct discovery_state {
    bool active = false;  // the VMs are listed through libvirt
    bool connected = false;
    int without_channel = 0;  // running domains without the agent's channel
};

// The exposition of the VMs' states at one moment: vorna_up, the time of the last good report
// and the failures for every VM, the figures only for VMs that are up, so that none is ever
// stale; a volume's figures only while its probe works, its names (vorna_volume_info) always.
std::vector<prometheus::MetricFamily> render_families(const std::map<std::string, vm_state>& vms,
                                                      const discovery_state& discovery);

// Every polled VM's state, written by the pollers and read at each scrape.
class fleet : public prometheus::Collectable {
public:
    void add(const std::string& vm, const std::string& uuid = {});
    void remove(const std::string& vm);
    void record_success(const std::string& vm, const guest_figures& figures);
    void record_failure(const std::string& vm, poll_failure reason);
    void record_duration(const std::string& vm, std::chrono::steady_clock::duration took);
    void set_libvirt_state(bool connected, int without_channel);
    std::vector<prometheus::MetricFamily> Collect() const override;
    // Every VM's state at one moment, as Collect() renders it.
    std::map<std::string, vm_state> snapshot() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, vm_state> vms_;
    discovery_state discovery_;
};
