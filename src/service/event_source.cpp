#include "service/event_source.h"

#include <windows.h>

#include <cstring>

#include "service/error_report.h"

namespace {

// The registry calls return their error instead of setting it.
int report_registry_error(LONG result, const char* prefix) {
    SetLastError(static_cast<DWORD>(result));
    windows_print_error(prefix);
    return -1;
}

}  // namespace

int event_source_register(const char* exe_path) {
    HKEY key = nullptr;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) return report_registry_error(result, "RegCreateKeyEx:");
    const DWORD types = EVENT_SOURCE_TYPES;
    result = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(exe_path),
                            static_cast<DWORD>(std::strlen(exe_path) + 1));
    if (result == ERROR_SUCCESS)
        result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return report_registry_error(result, "RegSetValueEx:");
    return 0;
}

int event_source_remove() {
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        return report_registry_error(result, "RegDeleteKey:");
    return 0;
}
