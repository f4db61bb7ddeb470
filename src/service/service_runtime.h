#pragma once

#include <windows.h>

// The one service of the process; the installation registers it under the same name.
constexpr char SERVICE_NAME[] = "vorna-stats-client";

// Hands the process to the service dispatcher; returns when the service has stopped. When the
// dispatcher cannot start (the process was not started by the service control manager), reports
// it and ends the process with status 1.
void daemonize_process();

// The service's entry, run by the dispatcher on a thread of its own; arguments are ignored.
void WINAPI service_main(DWORD argc, LPSTR* argv);

// Stop and shutdown end the command loop and report stop pending (NO_ERROR); every other
// control, interrogate included, is not implemented and changes nothing.
DWORD WINAPI service_ctrl_handler(DWORD control, DWORD event_type, LPVOID event_data,
                                  LPVOID context);

// A copy of the process-wide status record, as last reported.
SERVICE_STATUS service_status();
