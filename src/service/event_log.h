#pragma once

#include <windows.h>

// The Windows event log as the sink of the agent's reports (log.h), under the event source
// EVENT_SOURCE_NAME; the texts come from the executable's message table (event_messages.mc).

// The Win32 calls behind it. Written through this table so that tests can see the events;
// nothing else changes it.
struct event_log_api {
    decltype(&RegisterEventSourceA) register_event_source;
    decltype(&ReportEventA) report_event;
    decltype(&DeregisterEventSource) deregister_event_source;
};
extern event_log_api g_event_log_api;

// Opens the event source and makes it the reports' sink: from then on each report is also an
// event. A source that cannot be opened is reported on standard error alone. Call it before the
// threads that report start.
void event_log_open();
// Back to standard error alone; closes the source. Nothing when it is not open.
void event_log_close();
