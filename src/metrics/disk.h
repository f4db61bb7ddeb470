#pragma once

#include <cstdint>

// Size, free and used space of drive C: in KiB (bytes >> 10, truncated). used = total - free on
// the KiB figures, so the three always add up. All three 0 when the drive cannot be queried.
void get_disk_usage_windows(std::uint64_t* total, std::uint64_t* free_kib, std::uint64_t* used);
