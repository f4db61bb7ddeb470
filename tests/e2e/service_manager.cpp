#include "e2e/service_manager.h"

#include <algorithm>
#include <cstring>

namespace {

// Far above what a stop takes; only a hung service waits this long.
constexpr int kRemoveTimeoutMs = 20000;

std::string text_or_empty(const char* text) {
    return text == nullptr ? std::string() : std::string(text);
}

// A double-NUL-terminated list as one text, entries separated by '|'.
std::string multi_string(const char* list) {
    std::string text;
    if (list == nullptr) return text;
    for (const char* entry = list; *entry != '\0'; entry += std::strlen(entry) + 1) {
        if (!text.empty()) text += '|';
        text += entry;
    }
    return text;
}

}  // namespace

ULONGLONG monotonic_ms() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<ULONGLONG>(counter.QuadPart / (frequency / 1000));
}

sc_handle open_manager() {
    return sc_handle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

sc_handle open_service() {
    sc_handle manager = open_manager();
    if (!manager) return nullptr;
    return sc_handle(OpenServiceA(manager.get(), SERVICE_NAME_UNDER_TEST, SERVICE_ALL_ACCESS));
}

bool service_exists() {
    if (open_service()) return true;
    return GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

bool read_registration(service_registration* registration) {
    sc_handle service = open_service();
    if (!service) return false;

    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<char> config_storage(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config_storage.data());
    if (!QueryServiceConfigA(service.get(), config, needed, &needed)) return false;
    registration->service_type = config->dwServiceType;
    registration->start_type = config->dwStartType;
    registration->error_control = config->dwErrorControl;
    registration->tag_id = config->dwTagId;
    registration->binary_path = text_or_empty(config->lpBinaryPathName);
    registration->load_order_group = text_or_empty(config->lpLoadOrderGroup);
    registration->dependencies = multi_string(config->lpDependencies);
    registration->start_name = text_or_empty(config->lpServiceStartName);
    registration->display_name = text_or_empty(config->lpDisplayName);

    needed = 0;
    QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> description_storage(std::max<DWORD>(needed, sizeof(SERVICE_DESCRIPTIONA)));
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(description_storage.data());
    if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, description_storage.data(),
                              static_cast<DWORD>(description_storage.size()), &needed))
        return false;
    registration->description = text_or_empty(description->lpDescription);
    return true;
}

bool read_event_source(event_source_registration* registration) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vorna-stats-client",
                      0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    char file[1024] = {};
    DWORD size = sizeof file - 1;
    if (RegQueryValueExA(key, "EventMessageFile", nullptr, &registration->message_file_type,
                         reinterpret_cast<BYTE*>(file), &size) == ERROR_SUCCESS)
        registration->message_file = file;
    size = sizeof registration->types;
    RegQueryValueExA(key, "TypesSupported", nullptr, &registration->types_type,
                     reinterpret_cast<BYTE*>(&registration->types), &size);
    RegCloseKey(key);
    return true;
}

SERVICE_STATUS_PROCESS query_status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    return status;
}

const char* state_name(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "STOPPED";
        case SERVICE_START_PENDING: return "START_PENDING";
        case SERVICE_STOP_PENDING: return "STOP_PENDING";
        case SERVICE_RUNNING: return "RUNNING";
        case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
        case SERVICE_PAUSED: return "PAUSED";
        default: return "UNKNOWN";
    }
}

std::string describe(const std::vector<state_seen>& states) {
    std::string text;
    for (const state_seen& s : states) {
        if (!text.empty()) text += ", ";
        text += std::string(state_name(s.state)) + " at " + std::to_string(s.at_ms) + " ms";
    }
    return text;
}

std::vector<state_seen> watch_until(SC_HANDLE service, DWORD target, ULONGLONG since,
                                    int timeout_ms) {
    std::vector<state_seen> seen;
    ULONGLONG deadline = monotonic_ms() + static_cast<ULONGLONG>(timeout_ms);
    for (;;) {
        DWORD state = query_status(service).dwCurrentState;
        ULONGLONG now = monotonic_ms();
        if (seen.empty() || seen.back().state != state) seen.push_back({state, now - since});
        if (state == target || now >= deadline) return seen;
        Sleep(20);
    }
}

std::vector<state_seen> start_and_watch(SC_HANDLE service, int timeout_ms) {
    ULONGLONG since = monotonic_ms();
    if (!StartServiceA(service, 0, nullptr)) return {};
    std::vector<state_seen> seen = {{query_status(service).dwCurrentState, monotonic_ms() - since}};
    for (const state_seen& s : watch_until(service, SERVICE_RUNNING, since, timeout_ms))
        if (s.state != seen.back().state) seen.push_back(s);
    return seen;
}

std::vector<state_seen> stop_and_watch(SC_HANDLE service, int timeout_ms, DWORD* error) {
    ULONGLONG since = monotonic_ms();
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        *error = GetLastError();
        return {};
    }
    *error = NO_ERROR;
    std::vector<state_seen> seen = {{status.dwCurrentState, monotonic_ms() - since}};
    for (const state_seen& s : watch_until(service, SERVICE_STOPPED, since, timeout_ms))
        if (s.state != seen.back().state) seen.push_back(s);
    return seen;
}

unique_handle open_service_process(SC_HANDLE service) {
    return unique_handle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     query_status(service).dwProcessId));
}

bool wait_for_exit(const unique_handle& process, int timeout_ms, DWORD* status) {
    if (!process.valid() ||
        WaitForSingleObject(process.get(), static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(process.get(), status);
    return true;
}

void remove_service() {
    sc_handle service = open_service();
    if (!service) return;
    SERVICE_STATUS_PROCESS status = query_status(service.get());
    if (status.dwCurrentState != SERVICE_STOPPED) {
        DWORD error = NO_ERROR;
        std::vector<state_seen> seen = stop_and_watch(service.get(), kRemoveTimeoutMs, &error);
        if (seen.empty() || seen.back().state != SERVICE_STOPPED) {
            unique_handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                              status.dwProcessId));
            if (process.valid()) {
                TerminateProcess(process.get(), 255);
                WaitForSingleObject(process.get(), 5000);
            }
        }
    }
    DeleteService(service.get());
    service.reset();
    // The manager drops the registration once the last handle to it is closed.
    for (int i = 0; i < 200 && service_exists(); ++i) Sleep(50);
}
