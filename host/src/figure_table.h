#pragma once

#include <cstddef>
#include <string_view>

// The agent's report as one table: its fragments, and every figure with where the agent writes
// it, how the host checks it and the series it is served as. The check, the exposition, query's
// notes, the poll's log lines and the simulated guest all follow these rows; a new figure is a
// new row (and its value in the simulated guest, and its line in the manual and README).

// The fragments, in the order the agent writes them. The volumes fragment is a list of objects,
// one a volume, whose figures are its rows; an agent from before V leaves it out.
enum class fragment_id { cpu, memory, disk, volumes };
constexpr std::size_t kFragmentCount = 4;

struct fragment_row {
    fragment_id id;
    char letter;       // of the selector
    const char* name;  // its key in the reply and its fragment label of vorna_probe_failed
    bool probed;       // a probe of the guest that can fail: the agent reports zeros (volumes: [])
};

inline constexpr fragment_row kFragments[kFragmentCount] = {
    {fragment_id::cpu, 'C', "cpu", false},
    {fragment_id::memory, 'M', "memory", true},
    {fragment_id::disk, 'D', "disk", true},
    {fragment_id::volumes, 'V', "volumes", true},
};

enum class figure_id {
    cpus,
    cpu_percent,
    mem_total,
    mem_free,
    commit_limit,
    commit_available,
    disk_used,
    disk_free,
    disk_total,
    disk_unit,
    volume_used,
    volume_free,
    volume_total,
};
constexpr std::size_t kFigureCount = 13;

enum class figure_check {
    processors,  // a count, at least 1
    percent,     // a number, 0 to 100
    total,       // KiB; a fragment's totals are all 0 (its probe failed in the guest) or none
    at_most,     // KiB, at most its total
    share,       // KiB, at most its total, and its total's shares add up to it within a KiB
    kib_unit,    // the text "kB", which says the fragment's figures are KiB
};

struct figure_row {
    figure_id id;
    fragment_id fragment;
    const char* key;     // in the fragment, in the agent's order
    figure_check check;
    const char* total;   // the key of its total, for at_most and share
    double scale;        // from the agent's unit to the served one
    const char* metric;  // null: checked, not served
    const char* help;
};

constexpr double kKib = 1024;  // KiB to bytes

inline constexpr figure_row kFigures[kFigureCount] = {
    {figure_id::cpus, fragment_id::cpu, "ncpus", figure_check::processors, nullptr, 1,
     "vorna_cpus", "Processors of the guest, at the last poll."},
    {figure_id::cpu_percent, fragment_id::cpu, "percent", figure_check::percent, nullptr, 0.01,
     "vorna_cpu_busy_ratio",
     "Share of CPU time the guest spent busy over the 2 s before the last poll, 0 to 1."},
    {figure_id::mem_total, fragment_id::memory, "mem_total", figure_check::total, nullptr, kKib,
     "vorna_memory_total_bytes", "Physical memory of the guest, at the last poll."},
    {figure_id::mem_free, fragment_id::memory, "mem_free", figure_check::at_most, "mem_total",
     kKib, "vorna_memory_available_bytes",
     "Physical memory available in the guest, at the last poll."},
    // The agent's swap figures are the commit limit (memory and page files) and what is left.
    {figure_id::commit_limit, fragment_id::memory, "swap_total", figure_check::total, nullptr,
     kKib, "vorna_commit_limit_bytes",
     "Commit limit of the guest (physical memory and page files), at the last poll."},
    {figure_id::commit_available, fragment_id::memory, "swap_free", figure_check::at_most,
     "swap_total", kKib, "vorna_commit_available_bytes",
     "What is left of the guest's commit limit, at the last poll."},
    {figure_id::disk_used, fragment_id::disk, "used", figure_check::share, "total", kKib,
     "vorna_disk_used_bytes", "Used space of the guest's drive C:, at the last poll."},
    {figure_id::disk_free, fragment_id::disk, "free", figure_check::share, "total", kKib,
     "vorna_disk_free_bytes", "Free space of the guest's drive C:, at the last poll."},
    {figure_id::disk_total, fragment_id::disk, "total", figure_check::total, nullptr, kKib,
     "vorna_disk_total_bytes", "Size of the guest's drive C:, at the last poll."},
    {figure_id::disk_unit, fragment_id::disk, "unit", figure_check::kib_unit, nullptr, 1, nullptr,
     nullptr},
    // Each volume's, after its names; served with the label volume.
    {figure_id::volume_used, fragment_id::volumes, "used", figure_check::share, "total", kKib,
     nullptr, nullptr},
    {figure_id::volume_free, fragment_id::volumes, "free", figure_check::share, "total", kKib,
     "vorna_volume_free_bytes", "Free space of the guest's volume, at the last poll."},
    {figure_id::volume_total, fragment_id::volumes, "total", figure_check::total, nullptr, kKib,
     "vorna_volume_total_bytes", "Size of the guest's volume, at the last poll."},
};

// Each row at its id's place, so that figure_of() finds it; fragments likewise.
constexpr bool rows_in_order() {
    for (std::size_t i = 0; i < kFigureCount; ++i)
        if (static_cast<std::size_t>(kFigures[i].id) != i) return false;
    for (std::size_t i = 0; i < kFragmentCount; ++i)
        if (static_cast<std::size_t>(kFragments[i].id) != i) return false;
    return true;
}
static_assert(rows_in_order(), "a row of the figure table is out of place");

inline const fragment_row& fragment_of(fragment_id id) {
    return kFragments[static_cast<std::size_t>(id)];
}

inline const figure_row& figure_of(figure_id id) {
    return kFigures[static_cast<std::size_t>(id)];
}

inline bool selects(std::string_view selector, fragment_id id) {
    return selector.find(fragment_of(id).letter) != std::string_view::npos;
}
