#include "service/failure_actions.h"

#include "service/error_report.h"

namespace {

constexpr DWORD kFirstRestartDelayMs = 5000;
constexpr DWORD kLaterRestartDelayMs = 60000;
constexpr DWORD kResetPeriodSeconds = 24 * 60 * 60;

}  // namespace

void service_failure_actions(failure_actions_record* record) {
    // The manager repeats the last action for every failure after the third.
    record->actions[0] = {SC_ACTION_RESTART, kFirstRestartDelayMs};
    record->actions[1] = {SC_ACTION_RESTART, kFirstRestartDelayMs};
    record->actions[2] = {SC_ACTION_RESTART, kLaterRestartDelayMs};
    record->config.dwResetPeriod = kResetPeriodSeconds;
    record->config.lpRebootMsg = nullptr;
    record->config.lpCommand = nullptr;
    record->config.cActions = 3;
    record->config.lpsaActions = record->actions;
}

int service_set_failure_actions(SC_HANDLE service) {
    failure_actions_record record;
    service_failure_actions(&record);
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &record.config)) {
        windows_print_error("ChangeServiceConfig2:");
        return -1;
    }
    return 0;
}
