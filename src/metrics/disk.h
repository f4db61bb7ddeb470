#pragma once

#include <cstdint>

// A volume's space in KiB (bytes >> 10, truncated). used = total - free on the KiB figures, so
// the three always add up.
struct disk_kib {
    std::uint64_t total;
    std::uint64_t free;
    std::uint64_t used;
};

disk_kib disk_kib_of(std::uint64_t total_bytes, std::uint64_t free_bytes);

// Size, free and used space of drive C: in KiB, as disk_kib_of gives them. All three 0 when the
// drive cannot be queried.
void get_disk_usage_windows(std::uint64_t* total, std::uint64_t* free_kib, std::uint64_t* used);
