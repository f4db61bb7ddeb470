#include "service/event_log.h"

#include "event_messages.h"
#include "service/error_report.h"
#include "service/event_source.h"
#include "util/log.h"

event_log_api g_event_log_api = {RegisterEventSourceA, ReportEventA, DeregisterEventSource};

namespace {

struct event_kind {
    WORD type;
    DWORD id;
};

// By log_event.
constexpr event_kind kEvents[] = {
    {EVENTLOG_ERROR_TYPE, MSG_FAILURE},
    {EVENTLOG_WARNING_TYPE, MSG_DEVICE_MISSING},
    {EVENTLOG_INFORMATION_TYPE, MSG_DEVICE_BACK},
};

HANDLE g_source = nullptr;

void write_event(log_event event, const char* const* inserts, int count) {
    const event_kind& kind = kEvents[event];
    // A failed write has nowhere else to go: standard error already has the report.
    g_event_log_api.report_event(g_source, kind.type, 0, kind.id, nullptr,
                                 static_cast<WORD>(count), 0, const_cast<const char**>(inserts),
                                 nullptr);
}

const log_sink kSink = {write_event, system_error_text};

}  // namespace

void event_log_open() {
    if (g_source != nullptr) return;
    g_source = g_event_log_api.register_event_source(nullptr, EVENT_SOURCE_NAME);
    if (g_source == nullptr) {
        windows_print_error("RegisterEventSource:");
        return;
    }
    log_to_system(&kSink);
}

void event_log_close() {
    if (g_source == nullptr) return;
    log_to_system(nullptr);
    g_event_log_api.deregister_event_source(g_source);
    g_source = nullptr;
}
