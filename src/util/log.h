#pragma once

#include <cstddef>

// The one report of the agent's failures. Reports always go to standard error; once the agent
// runs as a service, whose standard error no one reads, they also go to the system log (the
// Windows event log), through a sink the service side installs. The device's outages go to the
// system log in a service and to standard error in the foreground, in the system log's words.

// The events of the system log.
enum log_event {
    LOG_FAILURE,         // error; insert: the report's text
    LOG_DEVICE_MISSING,  // warning; inserts: the device path, the system's text of why
    LOG_DEVICE_BACK,     // information; insert: the device path
};

struct log_sink {
    // Writes one event with its inserts, in the order of the list above.
    void (*write)(log_event event, const char* const* inserts, int count);
    // The system's text for an error code, with no line end.
    void (*error_text)(unsigned long code, char* text, std::size_t size);
};

// From now on reports go to sink as well; null: standard error alone. Set it before any thread
// that reports starts, or after the last has ended.
void log_to_system(const log_sink* sink);

// Prints the formatted report on standard error, exactly as given, and writes it to the system
// log as a failure event (without its final line end). Returns the characters printed.
int log_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The system's text for an error code, with no line end, for reports on standard error.
using log_error_text_fn = void (*)(unsigned long code, char* text, std::size_t size);
void log_use_error_text(log_error_text_fn error_text);

// The device could not be opened (error_code: the system's code) or is open again after that:
// an event once the sink is set, otherwise a line on standard error.
void log_device_missing(const char* path, unsigned long error_code);
void log_device_back(const char* path);
