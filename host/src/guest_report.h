#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One guest's figures from a report, in the units the exporter serves: bytes where the agent
// reports KiB, a ratio where it reports percent. Only the fragments asked for are filled.
struct guest_figures {
    std::uint64_t cpu_count = 0;
    double cpu_busy_ratio = 0.0;
    std::uint64_t memory_total_bytes = 0;
    std::uint64_t memory_available_bytes = 0;
    std::uint64_t swap_total_bytes = 0;
    std::uint64_t swap_free_bytes = 0;
    std::uint64_t disk_used_bytes = 0;
    std::uint64_t disk_free_bytes = 0;
    std::uint64_t disk_total_bytes = 0;
    // The agent reports a probe that failed inside the guest as zeros: those figures mean nothing.
    bool memory_probe_failed = false;
    bool disk_probe_failed = false;
};

enum class report_verdict {
    valid,
    invalid,      // not the shape the agent sends for the selector
    implausible,  // the shape, with figures no agent can send
};

// Checks a complete reply to "GSTATS:" + selector against what the agent sends: printable ASCII,
// one JSON object with the fragments the selector asks for, in the agent's order, each with its
// keys once and in its order; then the figures: ncpus at least 1, percent 0 to 100, each free
// figure at most its total, disk used + free equal to total (within rounding), unit kB. Fills
// *figures when valid; the reason in *error otherwise.
report_verdict check_report(std::string_view text, std::string_view selector,
                            guest_figures* figures, std::string* error);
