#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "metrics/memory.h"

// A volume as the fake probe delivers it. paths holds each path NUL-terminated (the list's own
// end is added), as Windows gives them.
struct fake_volume {
    std::u16string paths;
    std::u16string name;
    std::u16string label;
    std::u16string fs;
    std::uint64_t total, free, used;
};

// Stand-ins for the host probes: they deliver these figures and count their calls.
struct fake_probe_figures {
    int ncpus = 4;
    double percent = 12.5;
    mem_stats memory = {8388608, 4194304, 9437184, 5242880};
    std::uint64_t disk_total = 10;
    std::uint64_t disk_free = 4;
    std::uint64_t disk_used = 6;
    std::vector<fake_volume> volumes = {
        {std::u16string(u"C:\\\0", 4), u"\\\\?\\Volume{c}\\", u"", u"NTFS", 10, 4, 6}};

    int cpu_calls = 0;  // of get_cpu_usage_percent, the probe that waits
    int memory_calls = 0;
    int disk_calls = 0;
    int volume_calls = 0;
};

// Reset to the defaults by each test.
extern fake_probe_figures g_fake_probes;
