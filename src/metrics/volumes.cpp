#include "metrics/volumes.h"

#include "metrics/disk.h"
#include "metrics/platform.h"
#include "util/xalloc.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16");

namespace {

const char16_t* utf16(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

// First try in the caller's buffer; a longer list is asked again at the size Windows says it
// needs (owned by the caller then). Null when the paths cannot be read.
wchar_t* path_names_of(const wchar_t* volume, wchar_t* buffer, DWORD size) {
    DWORD needed = 0;
    if (g_metrics_platform.get_volume_path_names(volume, buffer, size, &needed)) return buffer;
    if (GetLastError() != ERROR_MORE_DATA || needed <= size) return nullptr;
    auto* more = static_cast<wchar_t*>(xmalloc(needed * sizeof(wchar_t)));
    if (g_metrics_platform.get_volume_path_names(volume, more, needed, &needed)) return more;
    xfree(more);
    return nullptr;
}

// Wine knows the type of a mount path but not of a volume name (0, unknown): the name is asked
// only when there is no path. Unknown is not fixed: it may be a drive without its medium.
bool is_fixed(const wchar_t* volume, const wchar_t* paths) {
    return g_metrics_platform.get_drive_type(paths[0] != L'\0' ? paths : volume) == DRIVE_FIXED;
}

void visit_volume(const wchar_t* name, const wchar_t* paths, volume_visitor visit,
                  void* context) {
    wchar_t label[MAX_PATH + 1], fs[MAX_PATH + 1];
    if (!g_metrics_platform.get_volume_information(name, label, MAX_PATH + 1, nullptr, nullptr,
                                                   nullptr, fs, MAX_PATH + 1)) {
        label[0] = fs[0] = L'\0';
    }
    label[MAX_PATH] = fs[MAX_PATH] = L'\0';
    // The share available to this caller is asked for but not reported, as for drive C:.
    ULARGE_INTEGER available, total_bytes, free_bytes;
    disk_kib kib = {0, 0, 0};
    if (g_metrics_platform.get_volume_free_space(name, &available, &total_bytes, &free_bytes))
        kib = disk_kib_of(total_bytes.QuadPart, free_bytes.QuadPart);
    volume_info info = {utf16(paths), utf16(name), utf16(label), utf16(fs),
                        kib.total,    kib.free,    kib.used};
    visit(&info, context);
}

}  // namespace

void get_volumes_windows(volume_visitor visit, void* context) {
    wchar_t name[MAX_PATH];
    HANDLE search = g_metrics_platform.find_first_volume(name, MAX_PATH);
    if (search == INVALID_HANDLE_VALUE) return;
    int listed = 0;
    do {
        name[MAX_PATH - 1] = L'\0';
        wchar_t buffer[MAX_PATH + 1];
        wchar_t* read = path_names_of(name, buffer, MAX_PATH + 1);
        const wchar_t* paths = read != nullptr ? read : L"";  // unreadable paths count as none
        if (is_fixed(name, paths)) {
            visit_volume(name, paths, visit, context);
            ++listed;
        }
        if (read != buffer) xfree(read);
    } while (listed < VOLUMES_MAX && g_metrics_platform.find_next_volume(search, name, MAX_PATH));
    g_metrics_platform.find_volume_close(search);
}
