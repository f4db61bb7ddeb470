// The host probes with the Win32 calls replaced through their seam.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "agent/output_buffer.h"
#include "agent/stats_report.h"
#include "metrics/cpu.h"
#include "metrics/cpu_win.h"
#include "metrics/disk.h"
#include "metrics/memory.h"
#include "metrics/platform.h"
#include "metrics/volumes.h"
#include "util/xalloc.h"

namespace {

using Calls = std::vector<std::string>;

struct system_times {
    std::uint64_t idle, kernel, user;
};

// What the fake Win32 calls deliver, and what they were asked.
struct fake_win32 {
    std::deque<std::optional<system_times>> times;  // one per call; nullopt: the call fails
    DWORD processors = 1;         // GetSystemInfo's count
    DWORD active_processors = 0;  // GetActiveProcessorCount's; 0: the call fails
    WORD group_seen = 0;
    std::vector<DWORD> group_processors;  // one per processor group; none: a single group
    WORD failing_group = 0xffff;           // SetThreadGroupAffinity fails for this group
    std::optional<MEMORYSTATUSEX> memory;  // nullopt: the call fails
    DWORD memory_length_seen = 0;
    bool disk_ok = true;
    std::uint64_t disk_available = 0, disk_total = 0, disk_free = 0;
    std::string disk_path_seen;
    Calls calls;
};
fake_win32 g_fake;

FILETIME filetime_of(std::uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

BOOL WINAPI fake_get_system_times(FILETIME* idle, FILETIME* kernel, FILETIME* user) {
    g_fake.calls.push_back("times");
    std::optional<system_times> next;
    if (!g_fake.times.empty()) {
        next = g_fake.times.front();
        g_fake.times.pop_front();
    }
    if (!next) return FALSE;
    *idle = filetime_of(next->idle);
    *kernel = filetime_of(next->kernel);
    *user = filetime_of(next->user);
    return TRUE;
}

void WINAPI fake_get_system_info(SYSTEM_INFO* info) {
    std::memset(info, 0, sizeof *info);
    info->dwNumberOfProcessors = g_fake.processors;
}

DWORD WINAPI fake_get_active_processor_count(WORD group) {
    g_fake.group_seen = group;
    if (group != METRICS_ALL_PROCESSOR_GROUPS && group < g_fake.group_processors.size()) {
        return g_fake.group_processors[group];
    }
    return g_fake.active_processors;
}

WORD WINAPI fake_get_active_processor_group_count() {
    return static_cast<WORD>(g_fake.group_processors.size());
}

BOOL WINAPI fake_set_thread_group_affinity(HANDLE, const GROUP_AFFINITY* affinity,
                                           GROUP_AFFINITY* previous) {
    g_fake.calls.push_back("group " + std::to_string(affinity->Group) + " mask " +
                           std::to_string(affinity->Mask));
    if (affinity->Group == g_fake.failing_group) return FALSE;
    if (previous != nullptr) *previous = GROUP_AFFINITY{0x7, 5, {0, 0, 0}};  // the thread's own
    return TRUE;
}

BOOL WINAPI fake_global_memory_status_ex(MEMORYSTATUSEX* status) {
    g_fake.memory_length_seen = status->dwLength;
    if (!g_fake.memory || status->dwLength != sizeof(MEMORYSTATUSEX)) {
        std::memset(status, 0xAB, sizeof *status);  // a failed call promises nothing
        return FALSE;
    }
    *status = *g_fake.memory;
    return TRUE;
}

BOOL WINAPI fake_get_disk_free_space_ex(const char* path, ULARGE_INTEGER* available,
                                        ULARGE_INTEGER* total, ULARGE_INTEGER* total_free) {
    g_fake.disk_path_seen = path;
    if (!g_fake.disk_ok) return FALSE;
    if (available != nullptr) available->QuadPart = g_fake.disk_available;
    if (total != nullptr) total->QuadPart = g_fake.disk_total;
    if (total_free != nullptr) total_free->QuadPart = g_fake.disk_free;
    return TRUE;
}

void WINAPI fake_sleep(DWORD milliseconds) {
    g_fake.calls.push_back("sleep " + std::to_string(milliseconds));
}

// A volume as the fake volume calls deliver it. They answer as Wine does: a volume's name has
// an unknown type when it has a path.
struct scripted_volume {
    std::wstring name;
    std::wstring paths = L"";  // each NUL-terminated, in the order Windows lists them
    UINT type = DRIVE_FIXED;  // of its first path, or of its name when it has none
    bool ready = true;        // false: label, file system and space cannot be read
    std::wstring label = L"";
    std::uint64_t free = 5119;  // bytes, of 10240
};

struct fake_volumes {
    std::vector<scripted_volume> volumes;
    std::size_t next = 0;  // the next one FindNextVolumeW gives
    bool closed = false;
};
fake_volumes g_volumes;

const scripted_volume& volume_named(const wchar_t* name) {
    static const scripted_volume none;
    for (const scripted_volume& v : g_volumes.volumes)
        if (v.name == name) return v;
    ADD_FAILURE() << "no such volume";
    return none;
}

BOOL copy_out(const std::wstring& text, wchar_t* buffer, DWORD size) {
    if (text.size() >= size) return FALSE;
    std::wcscpy(buffer, text.c_str());
    return TRUE;
}

BOOL next_volume(wchar_t* name, DWORD size) {
    if (g_volumes.next == g_volumes.volumes.size()) return FALSE;
    return copy_out(g_volumes.volumes[g_volumes.next++].name, name, size);
}

HANDLE WINAPI fake_find_first_volume(wchar_t* name, DWORD size) {
    return next_volume(name, size) ? reinterpret_cast<HANDLE>(1) : INVALID_HANDLE_VALUE;
}

BOOL WINAPI fake_find_next_volume(HANDLE, wchar_t* name, DWORD size) {
    return next_volume(name, size);
}

BOOL WINAPI fake_find_volume_close(HANDLE) {
    g_volumes.closed = true;
    return TRUE;
}

BOOL WINAPI fake_get_volume_path_names(const wchar_t* name, wchar_t* paths, DWORD size,
                                       DWORD* needed) {
    std::wstring list = volume_named(name).paths + L'\0';
    *needed = static_cast<DWORD>(list.size());
    if (size < list.size()) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    list.copy(paths, list.size());
    return TRUE;
}

UINT WINAPI fake_get_drive_type(const wchar_t* path) {
    for (const scripted_volume& v : g_volumes.volumes) {
        if (v.name == path) return v.paths.empty() ? v.type : DRIVE_UNKNOWN;
        if (!v.paths.empty() && v.paths.c_str() == std::wstring(path)) return v.type;
    }
    return DRIVE_NO_ROOT_DIR;
}

BOOL WINAPI fake_get_volume_information(const wchar_t* name, wchar_t* label, DWORD label_size,
                                        DWORD*, DWORD*, DWORD*, wchar_t* fs, DWORD fs_size) {
    const scripted_volume& v = volume_named(name);
    return v.ready && copy_out(v.label, label, label_size) && copy_out(L"NTFS", fs, fs_size);
}

BOOL WINAPI fake_get_volume_free_space(const wchar_t* name, ULARGE_INTEGER* available,
                                       ULARGE_INTEGER* total, ULARGE_INTEGER* total_free) {
    const scripted_volume& v = volume_named(name);
    available->QuadPart = 0;  // this caller's share: not reported
    total->QuadPart = 10240;
    total_free->QuadPart = v.free;
    return v.ready;
}

// What the probe visits, a line a volume: name [paths joined with |] label fs used/free/total.
std::u16string visited_volumes() {
    std::u16string seen;
    get_volumes_windows(
        [](const volume_info* v, void* context) {
            auto& text = *static_cast<std::u16string*>(context);
            std::u16string paths;
            for (const char16_t* path = v->paths; *path != u'\0';
                 path += std::char_traits<char16_t>::length(path) + 1)
                paths += (paths.empty() ? u"" : u"|") + std::u16string(path);
            std::string figures = " " + std::to_string(v->used) + "/" + std::to_string(v->free) +
                                  "/" + std::to_string(v->total) + "\n";
            text += v->name + (u" [" + paths + u"] ") + v->label + u" " + v->fs +
                    std::u16string(figures.begin(), figures.end());
        },
        &seen);
    return seen;
}

// A sample whose busy and idle are the given figures: all busy time counted as user time.
system_times sample(std::uint64_t busy, std::uint64_t idle) {
    return {idle, idle, busy};  // the kernel figure includes the idle time
}

class MetricsTest : public testing::Test {
protected:
    MetricsTest() : saved_(g_metrics_platform) {
        g_fake = fake_win32{};
        g_volumes = fake_volumes{};
        g_metrics_platform = {fake_get_system_times,
                              fake_get_system_info,
                              fake_get_active_processor_count,
                              fake_get_active_processor_group_count,
                              fake_set_thread_group_affinity,
                              fake_global_memory_status_ex,
                              fake_get_disk_free_space_ex,
                              fake_sleep,
                              fake_find_first_volume,
                              fake_find_next_volume,
                              fake_find_volume_close,
                              fake_get_volume_path_names,
                              fake_get_drive_type,
                              fake_get_volume_information,
                              fake_get_volume_free_space};
    }
    ~MetricsTest() override { g_metrics_platform = saved_; }

private:
    metrics_platform saved_;
};

TEST(CpuTimeTest, FileTimeHalvesJoinIntoOneUnsignedCount) {
    FILETIME time = {0x89ABCDEFu, 0x01234567u};  // low word, high word
    EXPECT_EQ(get_cpu_timeby_struct(&time), 0x0123456789ABCDEFull);
    time = {0u, 0x80000000u};
    EXPECT_EQ(get_cpu_timeby_struct(&time), 1ull << 63);
    time = {0xFFFFFFFFu, 0xFFFFFFFFu};
    EXPECT_EQ(get_cpu_timeby_struct(&time), UINT64_MAX);
}

TEST_F(MetricsTest, BusyIsUserPlusKernelMinusIdle) {
    std::uint64_t busy = 0, idle = 0;
    g_fake.times = {system_times{1000, 1600, 400}};
    ASSERT_EQ(get_cpu_times(&busy, &idle), 0);
    EXPECT_EQ(busy, 1000u);  // 400 user + 600 kernel
    EXPECT_EQ(idle, 1000u);

    // Figures past 32 bits, and a kernel figure below the idle one: the subtraction wraps.
    g_fake.times = {system_times{(5ull << 32) + 10, (5ull << 32) + 5, 20}};
    ASSERT_EQ(get_cpu_times(&busy, &idle), 0);
    EXPECT_EQ(busy, 15u);
    EXPECT_EQ(idle, (5ull << 32) + 10);
}

TEST_F(MetricsTest, FailedTimesCallLeavesTheOutputsAlone) {
    std::uint64_t busy = 7, idle = 8;
    g_fake.times = {std::nullopt};
    EXPECT_EQ(get_cpu_times(&busy, &idle), -1);
    EXPECT_EQ(busy, 7u);
    EXPECT_EQ(idle, 8u);
}

TEST_F(MetricsTest, PercentIsTheBusyShareOfTwoSamplesTwoSecondsApart) {
    g_fake.times = {sample(1000, 3000), sample(1000 + 250, 3000 + 750)};
    EXPECT_EQ(get_cpu_usage_percent(), 25.0);
    EXPECT_EQ(g_fake.calls, Calls({"times", "sleep 2000", "times"}));

    g_fake.times = {sample(500, 500), sample(500, 500 + 20000000)};
    EXPECT_EQ(get_cpu_usage_percent(), 0.0);  // idle machine
    g_fake.times = {sample(500, 500), sample(500 + 40000000, 500)};
    EXPECT_EQ(get_cpu_usage_percent(), 100.0);  // fully busy
}

TEST_F(MetricsTest, DifferencesWrapWhenTheCountersOverflow) {
    g_fake.times = {sample(UINT64_MAX - 99, UINT64_MAX - 299), sample(50, 100)};
    // 150 busy and 400 idle units elapsed.
    EXPECT_DOUBLE_EQ(get_cpu_usage_percent(), 27.272727272727273);
}

TEST_F(MetricsTest, FiguresAreRoundedToSinglePrecisionBeforeTheDivision) {
    // 2^24 + 1 busy units round to 2^24, the total 2^24 + 2 stays: 100 * 2^24 / (2^24 + 2),
    // where exact arithmetic would give 99.99999403953623.
    std::uint64_t busy = (1u << 24) + 1;
    g_fake.times = {sample(0, 0), sample(busy, 1)};
    EXPECT_DOUBLE_EQ(get_cpu_usage_percent(), 99.99998807907247);
}

TEST_F(MetricsTest, FirstSampleFailingGivesZeroAtOnce) {
    g_fake.times = {std::nullopt, sample(1, 1)};
    EXPECT_EQ(get_cpu_usage_percent(), 0.0);
    EXPECT_EQ(g_fake.calls, Calls({"times"}));  // no wait
}

TEST_F(MetricsTest, SecondSampleFailingGivesZeroAfterTheWait) {
    g_fake.times = {sample(100, 100), std::nullopt};
    EXPECT_EQ(get_cpu_usage_percent(), 0.0);
    EXPECT_EQ(g_fake.calls, Calls({"times", "sleep 2000", "times"}));
}

TEST_F(MetricsTest, NoElapsedTimeIsNotANumberAndIsReportedAsZero) {
    g_fake.times = {sample(100, 100), sample(100, 100)};
    EXPECT_TRUE(std::isnan(get_cpu_usage_percent()));

    g_fake.processors = 3;
    g_fake.times = {sample(100, 100), sample(100, 100)};
    output_buffer out = {0, 0, nullptr};
    get_cpu_stats(&out, ' ');
    EXPECT_STREQ(out.data, R"("cpu": {"ncpus": 3,"percent": 0.00} )");
    xfree(out.data);
}

void WINAPI refuse_group_1(DWORD) {
    g_fake.failing_group = 1;
}

// 2 seconds of a processor, in 100 ns units.
constexpr std::uint64_t WINDOW = 20000000;

TEST_F(MetricsTest, PercentCoversEveryProcessorGroupWeightedByItsProcessors) {
    // 64 processors a quarter busy and 32 fully busy: 50 %, where the caller's group alone
    // says 25 % and the plain mean of the groups' shares 62.5 %.
    g_fake.group_processors = {64, 32};
    g_fake.times = {sample(1000, 3000), sample(500, 0),  // first sample: group 0, group 1
                    sample(1000 + 16 * WINDOW, 3000 + 48 * WINDOW),
                    sample(500 + 32 * WINDOW, 0)};
    EXPECT_EQ(get_cpu_usage_percent(), 50.0);
    // Each group's times read in that group, then the thread back in its own.
    const char* back = "group 5 mask 7";
    EXPECT_EQ(g_fake.calls, Calls({"group 0 mask 18446744073709551615", "times",
                                   "group 1 mask 4294967295", "times", back, "sleep 2000",
                                   "group 0 mask 18446744073709551615", "times",
                                   "group 1 mask 4294967295", "times", back}));
}

TEST_F(MetricsTest, PercentFallsBackToOneCallWithoutGroups) {
    struct {
        const char* system;
        std::vector<DWORD> groups;
        WORD failing_group;
        Calls calls;
    } cases[] = {
        {"one group", {8}, 0xffff, {"times", "sleep 2000", "times"}},
        {"group count fails", {}, 0xffff, {"times", "sleep 2000", "times"}},
        {"first group refuses the thread", {64, 32}, 0,
         {"group 0 mask 18446744073709551615", "times", "sleep 2000",
          "group 0 mask 18446744073709551615", "times"}},
    };
    for (const auto& c : cases) {
        g_fake.calls.clear();
        g_fake.group_processors = c.groups;
        g_fake.failing_group = c.failing_group;
        g_fake.times = {sample(1000, 3000), sample(1000 + 250, 3000 + 750)};
        EXPECT_EQ(get_cpu_usage_percent(), 25.0) << c.system;
        EXPECT_EQ(g_fake.calls, c.calls) << c.system;
    }
    // Vista: none of the group calls.
    g_fake.calls.clear();
    g_metrics_platform.get_active_processor_group_count = nullptr;
    g_metrics_platform.set_thread_group_affinity = nullptr;
    g_fake.group_processors = {64, 32};
    g_fake.times = {sample(1000, 3000), sample(1000 + 250, 3000 + 750)};
    EXPECT_EQ(get_cpu_usage_percent(), 25.0);
    EXPECT_EQ(g_fake.calls, Calls({"times", "sleep 2000", "times"}));
}

TEST_F(MetricsTest, GroupCallFailingBetweenTheSamplesGivesZero) {
    // The second group refuses the thread in the second sample only: a one-group figure
    // would not compare with the first sample's two.
    g_fake.group_processors = {64, 32};
    g_fake.times = {sample(1, 1), sample(1, 1), sample(2, 2), sample(3, 3)};
    g_metrics_platform.sleep = refuse_group_1;
    EXPECT_EQ(get_cpu_usage_percent(), 0.0);
    EXPECT_TRUE(g_fake.times.empty());  // the fallback's own call was made
}

TEST_F(MetricsTest, CpuCountIsEveryActiveProcessorOfTheSystem) {
    struct {
        const char* system;
        DWORD system_info;                  // the caller's group, capped at 32 under WOW64
        std::optional<DWORD> active_count;  // nullopt: kernel32 lacks the call
        int expected;
    } cases[] = {
        {"48 processors, 32-bit process under WOW64", 32, 48, 48},
        {"96 processors in two groups", 48, 96, 96},
        {"Vista: no GetActiveProcessorCount", 6, std::nullopt, 6},
        {"GetActiveProcessorCount fails", 6, 0, 6},
    };
    for (const auto& c : cases) {
        g_fake.processors = c.system_info;
        g_fake.active_processors = c.active_count.value_or(0);
        g_metrics_platform.get_active_processor_count =
            c.active_count ? fake_get_active_processor_count : nullptr;
        g_fake.group_seen = 0;
        EXPECT_EQ(get_cpu_count(), c.expected) << c.system;
        if (c.active_count) {
            EXPECT_EQ(g_fake.group_seen, 0xffff) << c.system;
        }
    }
}

TEST_F(MetricsTest, MemoryFiguresAreTruncatedToKiB) {
    MEMORYSTATUSEX status = {};
    status.ullTotalPhys = 1048575;                   // 1023 KiB and 1023 bytes
    status.ullAvailPhys = 2048;                      // 2 KiB
    status.ullTotalPageFile = 1023;                  // less than 1 KiB
    status.ullAvailPageFile = (1ull << 63) + 1023;  // 2^53 KiB
    status.ullTotalVirtual = 1 << 20;                // not reported
    g_fake.memory = status;
    mem_stats stats;
    get_mem_stats_os(&stats);
    EXPECT_EQ(g_fake.memory_length_seen, 64u);
    EXPECT_EQ(stats.total, 1023u);
    EXPECT_EQ(stats.free, 2u);
    EXPECT_EQ(stats.swap_total, 0u);
    EXPECT_EQ(stats.swap_free, 1ull << 53);
}

TEST_F(MetricsTest, MemoryStatusFailingGivesZeros) {
    mem_stats stats;
    std::memset(&stats, 0xFF, sizeof stats);
    get_mem_stats_os(&stats);
    EXPECT_EQ(stats.total, 0u);
    EXPECT_EQ(stats.free, 0u);
    EXPECT_EQ(stats.swap_total, 0u);
    EXPECT_EQ(stats.swap_free, 0u);
}

TEST_F(MetricsTest, DiskFiguresAreTheVolumesInKiBAndUsedIsTheirDifference) {
    g_fake.disk_total = 10240;
    g_fake.disk_free = 5119;
    g_fake.disk_available = 1024;  // this caller's share: not reported
    std::uint64_t total = 0, free_kib = 0, used = 0;
    get_disk_usage_windows(&total, &free_kib, &used);
    EXPECT_EQ(g_fake.disk_path_seen, "C:");
    EXPECT_EQ(total, 10u);
    EXPECT_EQ(free_kib, 4u);
    EXPECT_EQ(used, 6u);  // from the KiB figures; the bytes would give 5

    g_fake.disk_total = 1048575;
    g_fake.disk_free = 0;
    get_disk_usage_windows(&total, &free_kib, &used);
    EXPECT_EQ(total, 1023u);
    EXPECT_EQ(used, 1023u);
}

TEST_F(MetricsTest, DiskQueryFailingGivesZeros) {
    g_fake.disk_ok = false;
    std::uint64_t total = 1, free_kib = 2, used = 3;
    get_disk_usage_windows(&total, &free_kib, &used);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(free_kib, 0u);
    EXPECT_EQ(used, 0u);
}

TEST_F(MetricsTest, ReportFragmentsFromTheProbes) {
    MEMORYSTATUSEX status = {};
    status.ullTotalPhys = 16ull << 40;  // 16 TiB: KiB figures past 32 bits
    status.ullAvailPhys = 5ull << 40;
    status.ullTotalPageFile = 20ull << 40;
    status.ullAvailPageFile = 7ull << 40;
    g_fake.memory = status;
    g_fake.disk_total = 1ull << 62;
    g_fake.disk_free = 1ull << 61;
    output_buffer out = {0, 0, nullptr};
    get_mem_stats(&out, ',');
    get_disk_stats(&out);
    EXPECT_STREQ(out.data,
                 R"("memory": {"mem_total": 17179869184,"mem_free": 5368709120,)"
                 R"("swap_total": 21474836480,"swap_free": 7516192768},)"
                 R"("disk": {"used": 2251799813685248,"free": 2251799813685248,)"
                 R"("total": 4503599627370496,"unit": "kB"})");
    xfree(out.data);
}

TEST_F(MetricsTest, VolumesAreTheFixedOnesWithEveryPathAndTheirFigures) {
    using namespace std::string_literals;
    std::wstring long_list;
    std::u16string long_seen;
    for (char16_t i = u'0'; i <= u'9'; ++i) {
        long_list += L"C:\\Mounted\\folder number "s + static_cast<wchar_t>(i) + L"\\" + L'\0';
        long_seen += (i == u'0' ? u"" : u"|") + u"C:\\Mounted\\folder number "s + i + u"\\";
    }
    ASSERT_GT(long_list.size(), MAX_PATH + 1u);  // longer than the first buffer
    std::vector<scripted_volume> many;
    std::u16string first_64;
    for (int i = 0; i < VOLUMES_MAX + 6; ++i) {
        many.push_back({L"v" + std::to_wstring(i)});
        std::string line = "v" + std::to_string(i) + " []  NTFS 6/4/10\n";
        if (i < VOLUMES_MAX) first_64 += std::u16string(line.begin(), line.end());
    }
    struct {
        const char* what;
        std::vector<scripted_volume> volumes;
        std::u16string seen;
    } cases[] = {
        {"no volume at all", {}, u""},
        {"letters and mount folders; KiB as for drive C:",
         {{L"v1", L"D:\\\0E:\\\0C:\\Data\\Logs\\\0"s, DRIVE_FIXED, true, L"Data"},
          {L"v2", L"C:\\\0"s}},
         u"v1 [D:\\|E:\\|C:\\Data\\Logs\\] Data NTFS 6/4/10\nv2 [C:\\]  NTFS 6/4/10\n"},
        {"no path: its name's type counts, and unknown is not fixed",
         {{L"v1", L"", DRIVE_FIXED}, {L"v2", L"", DRIVE_UNKNOWN}}, u"v1 []  NTFS 6/4/10\n"},
        {"a label beyond ASCII",
         {{L"v1", L"D:\\\0"s, DRIVE_FIXED, true, L"Donn\u00e9es \U0001F4BE"}},
         u"v1 [D:\\] Donn\u00e9es \U0001F4BE NTFS 6/4/10\n"},
        {"a path list longer than the first buffer", {{L"v1", long_list}},
         u"v1 [" + long_seen + u"]  NTFS 6/4/10\n"},
        {"a volume not ready keeps its names, and the next one follows",
         {{L"v1", L"D:\\\0"s, DRIVE_FIXED, false, L"Data"}, {L"v2", L"C:\\\0"s}},
         u"v1 [D:\\]   0/0/0\nv2 [C:\\]  NTFS 6/4/10\n"},
        {"0 bytes free", {{L"v1", L"C:\\\0"s, DRIVE_FIXED, true, L"", 0}},
         u"v1 [C:\\]  NTFS 10/0/10\n"},
        {"optical, removable, network, RAM disk and no root left out",
         {{L"v1", L"D:\\\0"s, DRIVE_CDROM}, {L"v2", L"E:\\\0"s, DRIVE_REMOVABLE},
          {L"v3", L"F:\\\0"s, DRIVE_REMOTE}, {L"v4", L"G:\\\0"s, DRIVE_RAMDISK},
          {L"v5", L"H:\\\0"s, DRIVE_NO_ROOT_DIR}, {L"v6", L"C:\\\0"s}},
         u"v6 [C:\\]  NTFS 6/4/10\n"},
        {"more than 64: the first 64 in enumeration order", many, first_64},
    };
    for (const auto& c : cases) {
        g_volumes = fake_volumes{c.volumes};
        EXPECT_EQ(visited_volumes(), c.seen) << c.what;
        EXPECT_EQ(g_volumes.closed, !c.volumes.empty()) << c.what;
    }
}

}  // namespace
