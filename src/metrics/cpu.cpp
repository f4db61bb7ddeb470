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

namespace {

// The times of each processor group, read while this thread is in that group: GetSystemTimes
// sums the calling thread's group only. The thread goes back to its own group afterwards.
// Returns the number of groups read; 0 when there is one group or the group calls are missing
// or fail; -1 when a group's times cannot be read.
int get_group_times(cpu_sample* sample) {
    const metrics_platform& win = g_metrics_platform;
    if (win.get_active_processor_group_count == nullptr || win.set_thread_group_affinity == nullptr ||
        win.get_active_processor_count == nullptr) {
        return 0;
    }
    WORD groups = win.get_active_processor_group_count();
    if (groups < 2) return 0;
    HANDLE self = GetCurrentThread();
    GROUP_AFFINITY own = {};
    cpu_sample total = {0, 0};
    int result = groups;
    for (WORD group = 0; group < groups && result > 0; ++group) {
        // Any processors of the group will do: the times are the whole group's. A 32-bit
        // mask (WOW64) names the first 32 of them.
        DWORD processors = win.get_active_processor_count(group);
        GROUP_AFFINITY affinity = {};
        affinity.Group = group;
        affinity.Mask = processors >= sizeof(KAFFINITY) * 8 ? ~KAFFINITY{0}
                                                           : (KAFFINITY{1} << processors) - 1;
        if (processors == 0 ||
            !win.set_thread_group_affinity(self, &affinity, group == 0 ? &own : nullptr)) {
            if (group == 0) return 0;
            result = 0;
            break;
        }
        std::uint64_t busy, idle;
        if (get_cpu_times(&busy, &idle) != 0) {
            result = -1;
            break;
        }
        total.busy += busy;
        total.idle += idle;
    }
    win.set_thread_group_affinity(self, &own, nullptr);
    if (result > 0) *sample = total;
    return result;
}

}  // namespace

int get_cpu_sample(cpu_sample* sample) {
    int groups = get_group_times(sample);
    if (groups != 0) return groups;
    return get_cpu_times(&sample->busy, &sample->idle) == 0 ? 1 : -1;
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
    int groups = get_cpu_sample(&first);
    if (groups < 0) return 0.0;
    g_metrics_platform.sleep(2000);
    // Samples of different coverage (a group call failing in between) do not compare.
    if (get_cpu_sample(&second) != groups) return 0.0;
    return cpu_busy_percent(first, second);
}
