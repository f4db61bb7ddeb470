#include "service/service_install.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "service/error_report.h"
#include "service/event_source.h"
#include "service/failure_actions.h"
#include "service/service_runtime.h"
#include "util/log.h"

namespace {

constexpr char kDisplayName[] = "Vorna VM stats agent.";
constexpr char kDescription[] = "Enables integration with Vorna VM stats server.";

struct sc_handle_closer {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
// A manager or service handle, closed when it goes.
using sc_handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, sc_handle_closer>;

// Writes into a caller's buffer the way snprintf does: what fits before the NUL is kept, the
// rest only counted, so a cut line is seen from its length.
struct line_writer {
    char* line;
    std::size_t limit;  // with the NUL
    std::size_t length;
};

void put(line_writer* out, char c, std::size_t count = 1) {
    for (; count > 0; --count) {
        if (out->length + 1 < out->limit) out->line[out->length] = c;
        ++out->length;
    }
}

// One argument as the C runtime's parser reads it back: unquoted when it holds nothing that
// splits or strips it; else quoted, with backslashes doubled where a quote follows them.
void put_argument(line_writer* out, const char* arg) {
    if (std::strpbrk(arg, " \t\"") == nullptr) {
        for (const char* c = arg; *c != '\0'; ++c) put(out, *c);
        return;
    }
    put(out, '"');
    std::size_t backslashes = 0;
    for (const char* c = arg; *c != '\0'; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        put(out, '\\', *c == '"' ? 2 * backslashes + 1 : backslashes);
        backslashes = 0;
        put(out, *c);
    }
    put(out, '\\', 2 * backslashes);
    put(out, '"');
}

}  // namespace

int service_command_line(char* line, std::size_t limit, const char* exe_path,
                         const char* device_path) {
    // A path with no quotes is run from the first folder whose name matches its head (e.g.
    // C:\Program.exe for C:\Program Files\...): always quote it. A path holds no quote.
    if (device_path == nullptr)
        return std::snprintf(line, limit, "\"%s\" -d", exe_path);  // the default device path
    int head = std::snprintf(line, limit, "\"%s\" -d -p ", exe_path);
    if (head < 0) return head;
    line_writer out = {line, limit, static_cast<std::size_t>(head)};
    put_argument(&out, device_path);
    if (limit > 0) line[out.length < limit ? out.length : limit - 1] = '\0';
    return static_cast<int>(out.length);
}

int win_service_install(const char* device_path) {
    char exe_path[SERVICE_MODULE_PATH_SIZE];
    DWORD length = GetModuleFileNameA(nullptr, exe_path, sizeof exe_path);
    if (length == 0) {
        windows_print_error("GetModuleFileName:");
        return -1;
    }
    if (length >= sizeof exe_path) {
        // The path was cut: a service registered with it could never start.
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        windows_print_error("GetModuleFileName:");
        return -1;
    }

    char command_line[SERVICE_COMMAND_LINE_SIZE] = {};
    const std::size_t limit = sizeof command_line - 1;
    int needed = service_command_line(command_line, limit, exe_path, device_path);
    if (needed < 0 || static_cast<std::size_t>(needed) >= limit) {
        // Cut, it would register a service that starts with the wrong paths or not at all.
        log_failure("Service command line too long: %d characters, at most %d.\n", needed,
                    static_cast<int>(limit) - 1);
        return -1;
    }

    sc_handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        windows_print_error("OpenSCManager:");
        return -1;
    }
    sc_handle service(CreateServiceA(manager.get(), SERVICE_NAME, kDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, command_line, nullptr, nullptr, nullptr,
                                     nullptr, nullptr));
    if (!service) {
        windows_print_error("CreateService:");
        return -1;
    }
    char description_text[sizeof kDescription];
    std::memcpy(description_text, kDescription, sizeof kDescription);
    SERVICE_DESCRIPTIONA description = {description_text};
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);  // optional
    // The service runs without these; their failures are reported and the install stands.
    service_set_failure_actions(service.get());
    event_source_register(exe_path);
    std::puts("Service was installed successfully.");
    return 0;
}

int win_service_uninstall() {
    sc_handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        windows_print_error("OpenSCManager:");
        return -1;
    }
    sc_handle service(OpenServiceA(manager.get(), SERVICE_NAME, DELETE));
    if (!service) {
        windows_print_error("OpenService:");
        return -1;
    }
    if (!DeleteService(service.get())) {
        windows_print_error("DeleteService:");
        return -1;
    }
    event_source_remove();  // reported on failure; the service is gone all the same
    std::puts("Service was deleted successfully.");
    return 0;
}
