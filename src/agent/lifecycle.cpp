#include "agent/lifecycle.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>
#include <process.h>

#include "agent/command_line.h"
#include "agent/command_loop.h"
#include "agent/context.h"
#include "device/device_channel.h"
#include "service/error_report.h"
#include "service/event_log.h"
#include "service/service_runtime.h"
#include "util/log.h"
#include "util/xalloc.h"

namespace {

const char* g_program_name = "";

// Who ends the process. Exactly one of the interrupt handler and the main flow (its normal end,
// help, version, install, removal, a fatal failure) claims the end and calls exit; the other
// never returns, so two exits never run at once and the PID file is removed once.
enum ctl_phase : int {
    CTL_STARTING,     // ctl_init: no PID file yet
    CTL_WRITING_PID,  // ctl_run is writing the PID file; the handler waits until it is written
    CTL_RUNNING,      // the PID file, if any, is there
    CTL_ENDING,       // claimed
};
std::atomic<int> g_phase{CTL_STARTING};

void remove_pid_file(const char* path) {
    if (_unlink(path) != 0) log_failure("unlink `%s': %s\n", path, std::strerror(errno));
}

// Claims the end unless it is claimed; returns the phase it was claimed from, or CTL_ENDING.
int claim_end() {
    int phase = g_phase.load();
    for (;;) {
        if (phase == CTL_ENDING) return CTL_ENDING;
        if (phase == CTL_WRITING_PID) {
            Sleep(1);
            phase = g_phase.load();
            continue;
        }
        if (g_phase.compare_exchange_weak(phase, CTL_ENDING)) return phase;
    }
}

[[noreturn]] void wait_for_the_end() {
    for (;;) Sleep(INFINITE);
}

}  // namespace

// A service leaves logoff (any user's) and shutdown to the service control manager, which stops
// it in order.
BOOL WINAPI ctl_console_control(DWORD event) {
    if (event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        ctl_context* ctx = ctl_current();
        if (ctx != nullptr && (ctx->flags & CTL_FLAG_SERVICE)) return FALSE;
    }
    exitbysignal(static_cast<int>(event));
}

const char* ctl_program_name() {
    return g_program_name;
}

void ctl_init(int argc, char** argv, ctl_context* ctx) {
    g_program_name = argv[0];
    ctl_set_current(ctx);
    // ctx was constructed zero-filled.
    ctx->device = dev_init(CTL_DEFAULT_DEVICE_PATH);
    log_use_error_text(system_error_text);
    SetConsoleCtrlHandler(ctl_console_control, TRUE);
    parse_program_arguments(argc, argv, ctx);
}

void ctl_run(ctl_context* ctx) {
    if (ctx->flags & CTL_FLAG_SERVICE) {
        // The service writes its PID file on a thread of its own (service_main).
        int starting = CTL_STARTING;
        if (!g_phase.compare_exchange_strong(starting, CTL_RUNNING)) wait_for_the_end();
        daemonize_process();
        return;
    }
    int starting = CTL_STARTING;
    if (!g_phase.compare_exchange_strong(starting, CTL_WRITING_PID)) wait_for_the_end();
    if (ctx->pid_file_path != nullptr) pid_write(ctx->pid_file_path);
    g_phase.store(CTL_RUNNING);
    ctl_command_loop();
}

void ctl_free(ctl_context* ctx) {
    if (claim_end() == CTL_ENDING) wait_for_the_end();  // the handler is ending the process
    if (ctx->pid_file_path != nullptr) {
        remove_pid_file(ctx->pid_file_path);
        xfree(ctx->pid_file_path);
        ctx->pid_file_path = nullptr;
    }
    dev_free(ctx->device);
    ctx->device = nullptr;
    xfree(ctx->output.data);
    ctx->output = output_buffer{0, 0, nullptr};
    event_log_close();  // last: the PID file's removal above may still report
}

void ctl_exit(int status) {
    if (claim_end() == CTL_ENDING) wait_for_the_end();
    std::exit(status);
}

// Runs on a thread of its own while the interrupted flow may be inside a read or halfway through
// a reply: freeing the device or the buffer under it would be a use after free. The handler
// therefore removes the PID file and ends the process, whose exit closes the device and
// returns the memory.
void exitbysignal(int) {
    int phase = claim_end();
    if (phase == CTL_ENDING) wait_for_the_end();  // the main flow is ending the process
    ctl_context* ctx = ctl_current();
    if (phase == CTL_RUNNING && ctx->pid_file_path != nullptr) remove_pid_file(ctx->pid_file_path);
    std::exit(0);
}

void pid_write(const char* path) {
    FILE* file = std::fopen(path, "w+");
    if (file == nullptr) {
        log_failure("error: open `%s': %s\n", path, std::strerror(errno));
        return;
    }
    std::fprintf(file, "%d", _getpid());
    std::fclose(file);
}
