#include "metrics/platform.h"

namespace {

// Looked up at run time, so that the program still loads where kernel32 lacks it.
active_processor_count_fn find_active_processor_count() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "GetActiveProcessorCount") : nullptr;
    // Through the generic function type, which converts to any other without a warning.
    return reinterpret_cast<active_processor_count_fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

metrics_platform g_metrics_platform = {
    GetSystemTimes,       GetSystemInfo,       find_active_processor_count(),
    GlobalMemoryStatusEx, GetDiskFreeSpaceExA, Sleep,
};
