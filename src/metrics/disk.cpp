#include "metrics/disk.h"

#include "metrics/platform.h"

disk_kib disk_kib_of(std::uint64_t total_bytes, std::uint64_t free_bytes) {
    disk_kib kib;
    kib.total = total_bytes >> 10;
    kib.free = free_bytes >> 10;
    kib.used = kib.total - kib.free;
    return kib;
}

void get_disk_usage_windows(std::uint64_t* total, std::uint64_t* free_kib, std::uint64_t* used) {
    // The share available to this caller is asked for but not reported: free is the volume's.
    ULARGE_INTEGER available, total_bytes, free_bytes;
    if (!g_metrics_platform.get_disk_free_space_ex("C:", &available, &total_bytes, &free_bytes)) {
        *total = *free_kib = *used = 0;
        return;
    }
    disk_kib kib = disk_kib_of(total_bytes.QuadPart, free_bytes.QuadPart);
    *total = kib.total;
    *free_kib = kib.free;
    *used = kib.used;
}
