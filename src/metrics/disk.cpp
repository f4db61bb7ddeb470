#include "metrics/disk.h"

#include "metrics/platform.h"

void get_disk_usage_windows(std::uint64_t* total, std::uint64_t* free_kib, std::uint64_t* used) {
    // The share available to this caller is asked for but not reported: free is the volume's.
    ULARGE_INTEGER available, total_bytes, free_bytes;
    if (!g_metrics_platform.get_disk_free_space_ex("C:", &available, &total_bytes, &free_bytes)) {
        *total = *free_kib = *used = 0;
        return;
    }
    *total = total_bytes.QuadPart >> 10;
    *free_kib = free_bytes.QuadPart >> 10;
    *used = *total - *free_kib;
}
