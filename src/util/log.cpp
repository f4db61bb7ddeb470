#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const log_sink* g_sink = nullptr;
log_error_text_fn g_error_text = nullptr;

// Enough for a path and a system message; a longer report is cut in the event only.
constexpr std::size_t kEventTextSize = 1024;

}  // namespace

void log_to_system(const log_sink* sink) {
    g_sink = sink;
}

int log_failure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int printed = std::vfprintf(stderr, format, args);
    va_end(args);
    if (g_sink != nullptr) {
        char text[kEventTextSize];
        std::vsnprintf(text, sizeof text, format, copy);
        // An event is a record of its own: no line end after the text.
        std::size_t length = std::strlen(text);
        while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
            text[--length] = '\0';
        const char* inserts[] = {text};
        g_sink->write(LOG_FAILURE, inserts, 1);
    }
    va_end(copy);
    return printed;
}

void log_use_error_text(log_error_text_fn error_text) {
    g_error_text = error_text;
}

// The texts of the event log's message table (event_messages.mc), for standard error.
void log_device_missing(const char* path, unsigned long error_code) {
    char text[kEventTextSize];
    if (g_sink != nullptr) {
        g_sink->error_text(error_code, text, sizeof text);
    } else if (g_error_text != nullptr) {
        g_error_text(error_code, text, sizeof text);
    } else {
        std::snprintf(text, sizeof text, "Error %lu.", error_code);
    }
    const char* inserts[] = {path != nullptr ? path : "", text};
    if (g_sink != nullptr) {
        g_sink->write(LOG_DEVICE_MISSING, inserts, 2);
        return;
    }
    std::fprintf(stderr,
                 "The device %s cannot be opened: %s The agent tries again every 4 seconds and "
                 "reports here when the device is open again.\n",
                 inserts[0], inserts[1]);
}

void log_device_back(const char* path) {
    const char* inserts[] = {path != nullptr ? path : ""};
    if (g_sink != nullptr) {
        g_sink->write(LOG_DEVICE_BACK, inserts, 1);
        return;
    }
    std::fprintf(stderr, "The device %s is open again.\n", inserts[0]);
}
