#pragma once

#include <windows.h>

struct ctl_context;

// The three reverse-DNS labels at the head of the agent's serial port name.
#define CTL_PORT_LABELS "com.vorna.vm"
// The port in the Windows global device namespace: \\.\Global\com.vorna.vm.stats_agent.0
constexpr char CTL_DEFAULT_DEVICE_PATH[] = "\\\\.\\Global\\" CTL_PORT_LABELS ".stats_agent.0";

constexpr char CTL_VERSION[] = VORNA_VERSION;  // from the VERSION file

// Builds the context: defaults, interrupt handler, command line. Help, version, install and
// removal end the process from inside.
void ctl_init(int argc, char** argv, ctl_context* ctx);
// Runs the foreground command loop or the service; returns when the work has ended.
void ctl_run(ctl_context* ctx);
// Deletes the PID file and releases the device and the output buffer.
void ctl_free(ctl_context* ctx);

// The console control handler ctl_init installs: Ctrl-C, Ctrl-Break, the console window closed,
// the user logging off, the system shutting down. The system runs it on a thread of its own.
BOOL WINAPI ctl_console_control(DWORD event);

// The one way out on a console control event (Ctrl-C, Ctrl-Break, the console closed, logoff,
// shutdown), on whatever thread the system runs it: removes the PID file once, exits with 0.
[[noreturn]] void exitbysignal(int event);

// Ends the process with status from the main flow (help, version, install, removal, fatal
// failures), unless an interrupt is already ending it.
[[noreturn]] void ctl_exit(int status);

// Writes the process id in decimal, no line end. A file that cannot be opened is reported and
// otherwise ignored.
void pid_write(const char* path);

// argv[0] as the process received it.
const char* ctl_program_name();
