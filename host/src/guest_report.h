#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One guest's figures from a full report (GSTATS:CMD), in the units the exporter serves: bytes
// where the agent reports KiB, a ratio where it reports percent.
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
};

// Parses a complete reply to GSTATS:CMD. False, with the reason in *error, unless it is a JSON
// object with all three fragments and every figure in range.
bool parse_full_report(std::string_view text, guest_figures* figures, std::string* error);
