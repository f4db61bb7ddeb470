#include "agent/lifecycle.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>
#include <process.h>

#include "agent/command_line.h"
#include "agent/command_loop.h"
#include "agent/context.h"
#include "device/device_channel.h"
#include "service/event_log.h"
#include "service/service_runtime.h"
#include "util/log.h"
#include "util/xalloc.h"

namespace {

const char* g_program_name = "";

// Armed by ctl_run, then claimed exactly once: by the interrupt handler or by the normal end,
// so the two never release the context both.
std::atomic<ctl_context*> g_releasable{nullptr};

void remove_pid_file(const char* path) {
    if (_unlink(path) != 0) log_failure("unlink `%s': %s\n", path, std::strerror(errno));
}

}  // namespace

const char* ctl_program_name() {
    return g_program_name;
}

void ctl_init(int argc, char** argv, ctl_context* ctx) {
    g_program_name = argv[0];
    ctl_set_current(ctx);
    // ctx was constructed zero-filled.
    ctx->device = dev_init(CTL_DEFAULT_DEVICE_PATH);
    std::signal(SIGINT, exitbysignal);
    parse_program_arguments(argc, argv, ctx);
}

void ctl_run(ctl_context* ctx) {
    g_releasable.store(ctx);
    if (ctx->flags & CTL_FLAG_SERVICE) {
        daemonize_process();
        return;
    }
    if (ctx->pid_file_path != nullptr) pid_write(ctx->pid_file_path);
    ctl_command_loop();
}

void ctl_free(ctl_context* ctx) {
    if (g_releasable.exchange(nullptr) == nullptr) {
        // The interrupt handler has claimed the context and is ending the process.
        for (;;) Sleep(INFINITE);
    }
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

// Runs on a thread of its own while the interrupted flow may be inside a read or halfway through
// a reply: freeing the device or the buffer under it would be a use after free. The handler
// therefore removes the PID file and ends the process, whose exit closes the device and
// returns the memory.
void exitbysignal(int) {
    if (ctl_context* ctx = g_releasable.exchange(nullptr)) {
        if (ctx->pid_file_path != nullptr) remove_pid_file(ctx->pid_file_path);
    }
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
