#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const log_sink* g_sink = nullptr;

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

void log_device_missing(const char* path, unsigned long error_code) {
    if (g_sink == nullptr) return;
    char text[kEventTextSize];
    g_sink->error_text(error_code, text, sizeof text);
    const char* inserts[] = {path != nullptr ? path : "", text};
    g_sink->write(LOG_DEVICE_MISSING, inserts, 2);
}

void log_device_back(const char* path) {
    if (g_sink == nullptr) return;
    const char* inserts[] = {path != nullptr ? path : ""};
    g_sink->write(LOG_DEVICE_BACK, inserts, 1);
}
