#pragma once

#include <windows.h>

// GetActiveProcessorCount (Windows 7 and later), and its argument for all groups together.
using active_processor_count_fn = DWORD(WINAPI*)(WORD group);
constexpr WORD METRICS_ALL_PROCESSOR_GROUPS = 0xffff;
// GetActiveProcessorGroupCount and SetThreadGroupAffinity (Windows 7 and later).
using active_processor_group_count_fn = WORD(WINAPI*)();
using set_thread_group_affinity_fn = BOOL(WINAPI*)(HANDLE thread, const GROUP_AFFINITY* affinity,
                                                   GROUP_AFFINITY* previous);

// The Win32 calls behind the probes. The probes call them through this table so that tests can
// make them fail or feed them figures; nothing else changes it.
struct metrics_platform {
    decltype(&GetSystemTimes) get_system_times;
    decltype(&GetSystemInfo) get_system_info;
    active_processor_count_fn get_active_processor_count;  // null where Windows lacks it
    active_processor_group_count_fn get_active_processor_group_count;  // null where lacking
    set_thread_group_affinity_fn set_thread_group_affinity;            // null where lacking
    decltype(&GlobalMemoryStatusEx) global_memory_status_ex;
    decltype(&GetDiskFreeSpaceExA) get_disk_free_space_ex;
    decltype(&Sleep) sleep;
    // The volumes: wide-character forms, for labels and folder names beyond the code page.
    decltype(&FindFirstVolumeW) find_first_volume;
    decltype(&FindNextVolumeW) find_next_volume;
    decltype(&FindVolumeClose) find_volume_close;
    decltype(&GetVolumePathNamesForVolumeNameW) get_volume_path_names;
    decltype(&GetDriveTypeW) get_drive_type;
    decltype(&GetVolumeInformationW) get_volume_information;
    decltype(&GetDiskFreeSpaceExW) get_volume_free_space;
};

// Holds the real calls.
extern metrics_platform g_metrics_platform;
