#include "metrics/memory.h"

#include "metrics/platform.h"

static_assert(sizeof(MEMORYSTATUSEX) == 64, "the memory status record is 64 bytes");

void get_mem_stats_os(mem_stats* stats) {
    *stats = mem_stats{};
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    if (!g_metrics_platform.global_memory_status_ex(&status)) return;
    stats->total = status.ullTotalPhys >> 10;
    stats->free = status.ullAvailPhys >> 10;
    stats->swap_total = status.ullTotalPageFile >> 10;
    stats->swap_free = status.ullAvailPageFile >> 10;
}
