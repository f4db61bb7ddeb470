#pragma once

// The service control manager as the tests and the demo drive it: the real one, through the
// Win32 API.
#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "e2e/pipe_host.h"

// The one name the agent runs and registers its service under.
constexpr char SERVICE_NAME_UNDER_TEST[] = "vorna-stats-client";

struct sc_handle_closer {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
// A manager or service handle, closed when it goes.
using sc_handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, sc_handle_closer>;

sc_handle open_manager();
// The service with all access, or none (GetLastError tells why).
sc_handle open_service();
bool service_exists();

SERVICE_STATUS_PROCESS query_status(SC_HANDLE service);

// The service's registration as the service control manager reports it.
struct service_registration {
    DWORD service_type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    DWORD tag_id = 0;
    std::string binary_path;
    std::string load_order_group;
    std::string dependencies;  // entries separated by '|'
    std::string start_name;
    std::string display_name;
    std::string description;
};
// False when there is no such service or its registration cannot be read.
bool read_registration(service_registration* registration);

// The agent's event source as the registry holds it: the key vorna-stats-client under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application.
struct event_source_registration {
    DWORD message_file_type = REG_NONE;
    std::string message_file;  // EventMessageFile
    DWORD types_type = REG_NONE;
    DWORD types = 0;  // TypesSupported
};
// False when the key is not there.
bool read_event_source(event_source_registration* registration);

// Milliseconds of the performance counter, which every process reads alike.
ULONGLONG monotonic_ms();

// One state as a poller saw it, with the milliseconds since a start time.
struct state_seen {
    DWORD state;
    ULONGLONG at_ms;
};
const char* state_name(DWORD state);
// "STOP_PENDING at 0 ms, STOPPED at 2031 ms"
std::string describe(const std::vector<state_seen>& states);

// Polls every 20 ms until the service is in target or timeout_ms have passed; returns each
// distinct state in the order seen, timed from since (a monotonic_ms value).
std::vector<state_seen> watch_until(SC_HANDLE service, DWORD target, ULONGLONG since,
                                    int timeout_ms);

// Starts the service and watches it until it runs; the first entry is what StartService left.
std::vector<state_seen> start_and_watch(SC_HANDLE service, int timeout_ms);

// Sends the stop control and watches the service until it has stopped. The first entry is the
// state that ControlService returned (or nothing when the control failed; see *error).
std::vector<state_seen> stop_and_watch(SC_HANDLE service, int timeout_ms, DWORD* error);

// The process of the running service, opened to wait for its end.
unique_handle open_service_process(SC_HANDLE service);
// True when the process has ended within the time; its exit status is then in *status.
bool wait_for_exit(const unique_handle& process, int timeout_ms, DWORD* status);

// Removes the service if it exists, however it was left: stops it first (a service marked for
// deletion lives on while it runs) and kills its process when it does not stop.
void remove_service();
