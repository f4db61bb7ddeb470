#pragma once

#include <cstdint>

// The guest's volumes with fixed media: fixed disks, mount folders and cluster shared volumes
// included; optical, removable and network drives left out.

// The most volumes one report lists: the first ones in the system's enumeration order.
constexpr int VOLUMES_MAX = 64;

// One volume. The strings are NUL-terminated UTF-16 and live only during the visit.
struct volume_info {
    const char16_t* paths;  // its mount paths, each NUL-terminated, the list ended by an empty one
    const char16_t* name;   // the volume GUID path, "\\?\Volume{...}\"
    const char16_t* label;  // empty when the volume cannot be read
    const char16_t* fs;     // likewise
    std::uint64_t total;    // KiB, as the disk figures; all three 0 when they cannot be read
    std::uint64_t free;
    std::uint64_t used;
};

using volume_visitor = void (*)(const volume_info* volume, void* context);

// Calls visit for each volume in enumeration order, at most VOLUMES_MAX times. A volume that
// cannot be read is visited all the same; none when the volumes cannot be listed at all.
void get_volumes_windows(volume_visitor visit, void* context);
