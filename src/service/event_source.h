#pragma once

// The agent's event source in the Application log. Its registry key tells Event Viewer where
// the texts of the agent's events are: the message table of the installed executable. It is the
// one registry entry of the agent's own besides the service's registration.
constexpr char EVENT_SOURCE_NAME[] = "vorna-stats-client";
constexpr char EVENT_SOURCE_KEY[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vorna-stats-client";
// Error, warning and information: the types of the agent's events.
constexpr unsigned long EVENT_SOURCE_TYPES = 7;

// Creates the key under HKEY_LOCAL_MACHINE with EventMessageFile (REG_EXPAND_SZ, exe_path) and
// TypesSupported (REG_DWORD, EVENT_SOURCE_TYPES). 0, or -1 after a report.
int event_source_register(const char* exe_path);
// Deletes the key; a key that is not there is nothing to do. 0, or -1 after a report.
int event_source_remove();
