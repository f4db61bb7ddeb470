#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fleet.h"

// One VM's line on the status page, from the state /metrics serves at the same moment.
struct status_row {
    std::string vm;
    bool up = false;
    std::string reason;  // why the last poll failed, while down
    std::optional<double> seconds_since_report;
    std::optional<std::uint64_t> cpus;
    std::optional<double> cpu_busy;  // 0 to 1
    std::optional<std::uint64_t> memory_available_bytes;
    std::optional<double> fullest_volume_free;  // 0 to 1, of the volume with the least free share
    std::string fullest_volume;
};

// The rows of the VMs' states at one moment (Unix time now): the figures only of VMs that are up
// and of probes that worked; the fullest volume is drive C: for an agent from before V.
std::vector<status_row> status_rows(const std::map<std::string, vm_state>& vms, double now);

// The page at /: what this is, the link to the metrics, and one table of the VMs, the down ones
// first, then the fullest volumes. Plain HTML, no script and nothing fetched from elsewhere;
// every name and text escaped.
std::string status_page_html(std::vector<status_row> rows, const std::string& telemetry_path);
