#include "metrics/platform.h"

metrics_platform g_metrics_platform = {
    GetSystemTimes, GetSystemInfo, GlobalMemoryStatusEx, GetDiskFreeSpaceExA, Sleep,
};
