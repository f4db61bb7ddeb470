#pragma once

#include <cstdint>

// The guest's memory figures in KiB (bytes >> 10, truncated).
struct mem_stats {
    std::uint64_t total;       // physical memory
    std::uint64_t free;        // available physical memory
    std::uint64_t swap_total;  // commit limit (page file figure)
    std::uint64_t swap_free;   // available part of it
};

// Fills the record; all fields 0 when the memory status cannot be read.
void get_mem_stats_os(mem_stats* stats);
