#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "figure_table.h"

// The most volumes a report lists, as the agent caps them.
constexpr std::size_t kMaxVolumes = 64;

// One volume of a guest. Its strings passed the check: valid UTF-8 without controls, so they
// may stand as they are in labels and messages.
struct guest_volume {
    std::vector<std::string> paths;  // its mount paths as the agent gives them: "D:\", "C:\Data\"
    std::string name;                // "\\?\Volume{...}\"
    std::string label;
    std::string fs;
    std::array<double, kFigureCount> values{};  // by row of kFigures: the volumes rows
    bool probe_failed = false;                  // its figures were all 0
};

// One guest's figures from a report, in the units the exporter serves (each row's scale: bytes
// where the agent reports KiB, a ratio where it reports percent). Only the fragments the report
// had are filled: an agent from before V reports no volumes.
struct guest_figures {
    std::array<bool, kFragmentCount> reported{};
    // The agent reports a probe that failed inside the guest as zeros, and a listing of volumes
    // that failed as none: those figures mean nothing.
    std::array<bool, kFragmentCount> probe_failed{};
    std::array<double, kFigureCount> values{};  // by row of kFigures
    std::vector<guest_volume> volumes;
};

inline double value_of(const guest_figures& figures, figure_id id) {
    return figures.values[static_cast<std::size_t>(id)];
}

inline double value_of(const guest_volume& volume, figure_id id) {
    return volume.values[static_cast<std::size_t>(id)];
}

inline bool reported(const guest_figures& figures, fragment_id id) {
    return figures.reported[static_cast<std::size_t>(id)];
}

inline bool probe_failed(const guest_figures& figures, fragment_id id) {
    return figures.probe_failed[static_cast<std::size_t>(id)];
}

// What a volume is called in the label volume: its first mount path without the trailing
// backslash ("C:", "C:\Data\Logs"), or its volume name when it has no path. Unique in a report.
std::string volume_label(const guest_volume& volume);

// The probes that failed in the guest, for messages: "memory", "disk", "volumes" (no volume
// could be listed), "volume D:".
std::vector<std::string> failed_probes(const guest_figures& figures);

enum class report_verdict {
    valid,
    invalid,      // not the shape the agent sends for the selector
    implausible,  // the shape, with figures or names no agent can send
};

// Checks a complete reply to "GSTATS:" + selector against what the agent sends: one JSON object
// with the fragments the selector asks for, in the agent's order, each with its keys once and in
// its order, and printable ASCII but for the volumes' strings; then each figure as its row of
// kFigures says (ncpus at least 1, percent 0 to 100, each free figure at most its total, used +
// free equal to total within rounding, unit kB); then the volumes: at most 64, their strings
// valid UTF-8 without controls, their paths mount paths and their names volume names, each once
// in the report. A reply without volumes is valid only as an agent from before V sends it: all
// the rest. Fills *figures when valid; the reason in *error otherwise.
report_verdict check_report(std::string_view text, std::string_view selector,
                            guest_figures* figures, std::string* error);
