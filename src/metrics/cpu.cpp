#include "metrics/cpu.h"

#include "metrics/cpu_win.h"
#include "metrics/platform.h"

cpu_sample cpu_sample_of(std::uint64_t idle, std::uint64_t kernel, std::uint64_t user) {
    return {user + (kernel - idle), idle};
}

double cpu_busy_percent(const cpu_sample& first, const cpu_sample& second) {
    std::uint64_t busy = second.busy - first.busy;
    std::uint64_t idle = second.idle - first.idle;
    // Rounded to single precision first; in double the product by 100 is then exact.
    auto b = static_cast<double>(static_cast<float>(busy));
    auto t = static_cast<double>(static_cast<float>(busy + idle));
    return (b * 100.0) / t;
}

std::uint64_t get_cpu_timeby_struct(const FILETIME* time) {
    return (static_cast<std::uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime;
}

int get_cpu_times(std::uint64_t* busy, std::uint64_t* idle) {
    FILETIME idle_time, kernel_time, user_time;
    if (!g_metrics_platform.get_system_times(&idle_time, &kernel_time, &user_time)) return -1;
    cpu_sample sample = cpu_sample_of(get_cpu_timeby_struct(&idle_time),
                                      get_cpu_timeby_struct(&kernel_time),
                                      get_cpu_timeby_struct(&user_time));
    *busy = sample.busy;
    *idle = sample.idle;
    return 0;
}

int get_cpu_count() {
    // Every active processor of every group. GetSystemInfo counts the caller's group only, and
    // for a 32-bit process under WOW64 at most 32 of them: it serves only where the call is
    // missing (before Windows 7) or fails.
    if (g_metrics_platform.get_active_processor_count != nullptr) {
        DWORD count = g_metrics_platform.get_active_processor_count(METRICS_ALL_PROCESSOR_GROUPS);
        if (count != 0) return static_cast<int>(count);
    }
    SYSTEM_INFO info;
    g_metrics_platform.get_system_info(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

double get_cpu_usage_percent() {
    cpu_sample first, second;
    if (get_cpu_times(&first.busy, &first.idle) != 0) return 0.0;
    g_metrics_platform.sleep(2000);
    if (get_cpu_times(&second.busy, &second.idle) != 0) return 0.0;
    return cpu_busy_percent(first, second);
}
