#include "metrics/platform.h"

namespace {

// Looked up at run time, so that the program still loads where kernel32 lacks them.
template <typename Function>
Function find_kernel32(const char* name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
    // Through the generic function type, which converts to any other without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

metrics_platform g_metrics_platform = {
    GetSystemTimes,
    GetSystemInfo,
    find_kernel32<active_processor_count_fn>("GetActiveProcessorCount"),
    find_kernel32<active_processor_group_count_fn>("GetActiveProcessorGroupCount"),
    find_kernel32<set_thread_group_affinity_fn>("SetThreadGroupAffinity"),
    GlobalMemoryStatusEx,
    GetDiskFreeSpaceExA,
    Sleep,
    FindFirstVolumeW,
    FindNextVolumeW,
    FindVolumeClose,
    GetVolumePathNamesForVolumeNameW,
    GetDriveTypeW,
    GetVolumeInformationW,
    GetDiskFreeSpaceExW,
};
