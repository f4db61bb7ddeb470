#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "guest_report.h"
#include "poll_failure.h"

using steady_time = std::chrono::steady_clock::time_point;

// What the exporter knows of one VM.
struct vm_state {
    bool up = false;                       // the last poll got a valid report
    guest_figures figures;                 // from that poll; meaningful only while up
    std::optional<steady_time> last_good;  // when the last valid report arrived
};

// The exposition of the VMs' states at one moment: vorna_up and the age of the last good
// report for every VM, the figures only for VMs that are up, so that none is ever stale.
std::vector<prometheus::MetricFamily> render_families(const std::map<std::string, vm_state>& vms,
                                                      steady_time now);

// Every polled VM's state, written by the pollers and read at each scrape.
class fleet : public prometheus::Collectable {
public:
    void add(const std::string& vm);
    void remove(const std::string& vm);
    void record_success(const std::string& vm, const guest_figures& figures, steady_time when);
    void record_failure(const std::string& vm, poll_failure reason);
    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, vm_state> vms_;
};
