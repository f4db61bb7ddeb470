#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "figure_table.h"

// One guest's figures from a report, in the units the exporter serves (each row's scale: bytes
// where the agent reports KiB, a ratio where it reports percent). Only the fragments the report
// had are filled.
struct guest_figures {
    std::array<bool, kFragmentCount> reported{};
    // The agent reports a probe that failed inside the guest as zeros: those figures mean nothing.
    std::array<bool, kFragmentCount> probe_failed{};
    std::array<double, kFigureCount> values{};  // by row of kFigures
};

inline double value_of(const guest_figures& figures, figure_id id) {
    return figures.values[static_cast<std::size_t>(id)];
}

inline bool reported(const guest_figures& figures, fragment_id id) {
    return figures.reported[static_cast<std::size_t>(id)];
}

inline bool probe_failed(const guest_figures& figures, fragment_id id) {
    return figures.probe_failed[static_cast<std::size_t>(id)];
}

// The probes that failed in the guest, by name ("memory", "disk"), for messages.
std::vector<std::string> failed_probes(const guest_figures& figures);

enum class report_verdict {
    valid,
    invalid,      // not the shape the agent sends for the selector
    implausible,  // the shape, with figures no agent can send
};

// Checks a complete reply to "GSTATS:" + selector against what the agent sends: printable ASCII,
// one JSON object with the fragments the selector asks for, in the agent's order, each with its
// keys once and in its order; then each figure as its row of kFigures says (ncpus at least 1,
// percent 0 to 100, each free figure at most its total, disk used + free equal to total within
// rounding, unit kB). Fills *figures when valid; the reason in *error otherwise.
report_verdict check_report(std::string_view text, std::string_view selector,
                            guest_figures* figures, std::string* error);
