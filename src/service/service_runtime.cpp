#include "service/service_runtime.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "agent/command_loop.h"
#include "agent/context.h"
#include "agent/lifecycle.h"
#include "service/error_report.h"
#include "service/event_log.h"

namespace {

// SERVICE_WIN32: own-process and share-process bits.
constexpr DWORD kStatusServiceType = SERVICE_WIN32;
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

SERVICE_STATUS g_status = {kStatusServiceType, 0, kControlsAccepted, NO_ERROR, 0, 0, 0};
std::atomic<SERVICE_STATUS_HANDLE> g_status_handle{nullptr};

// The service thread and the control handler (main thread) both change and report the record;
// the lock keeps each change and its report together, so a report never carries a half-written
// record and the last report is the last change.
SRWLOCK g_status_lock = SRWLOCK_INIT;

struct status_lock {
    status_lock() { AcquireSRWLockExclusive(&g_status_lock); }
    ~status_lock() { ReleaseSRWLockExclusive(&g_status_lock); }
    status_lock(const status_lock&) = delete;
    status_lock& operator=(const status_lock&) = delete;
};

void report_state(DWORD state) {
    status_lock lock;
    // Stopped is final: a stop handled while the service thread reports stopped must not
    // reopen the service in the manager's eyes.
    if (g_status.dwCurrentState == SERVICE_STOPPED) return;
    g_status.dwCurrentState = state;
    SetServiceStatus(g_status_handle.load(), &g_status);  // a failed report changes nothing here
}

}  // namespace

void daemonize_process() {
    // Under the manager no one reads standard error: from here on reports are events as well.
    event_log_open();
    char name[sizeof SERVICE_NAME];
    std::copy(SERVICE_NAME, SERVICE_NAME + sizeof SERVICE_NAME, name);
    const SERVICE_TABLE_ENTRYA table[] = {
        {name, service_main},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherA(table)) {
        windows_print_error("StartServiceCtrlDispatcher:");
        ctl_exit(1);
    }
}

void WINAPI service_main(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExA(SERVICE_NAME, service_ctrl_handler, nullptr);
    if (handle == nullptr) {
        windows_print_error("Failed to register extended requests function!\n");
        ctl_exit(1);
    }
    g_status_handle.store(handle);
    report_state(SERVICE_RUNNING);

    ctl_context* ctx = ctl_current();
    if (ctx->pid_file_path != nullptr) pid_write(ctx->pid_file_path);
    ctl_command_loop();

    // The dispatcher may return on the main thread as soon as this report is made, and the
    // context is released there: nothing after it may touch the context.
    report_state(SERVICE_STOPPED);
}

DWORD WINAPI service_ctrl_handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN)
        return ERROR_CALL_NOT_IMPLEMENTED;
    ctl_stop_command_loop();
    report_state(SERVICE_STOP_PENDING);
    return NO_ERROR;
}

SERVICE_STATUS service_status() {
    status_lock lock;
    return g_status;
}
