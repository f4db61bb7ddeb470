#pragma once

#include <windows.h>

// What the service control manager does when the service fails (its process ends without
// reporting stopped): restart it 5 s after the first and the second failure and 60 s after each
// later one; the count starts again after a day without failures. No reboot, no command.
struct failure_actions_record {
    SC_ACTION actions[3];
    SERVICE_FAILURE_ACTIONSA config;  // points at actions
};

// Fills the record that service_set_failure_actions hands to the manager.
void service_failure_actions(failure_actions_record* record);

// Sets them on the service (ChangeServiceConfig2A); 0, or -1 after a report.
int service_set_failure_actions(SC_HANDLE service);
