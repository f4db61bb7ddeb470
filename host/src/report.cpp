#include "report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

void report(const char* format, ...) {
    char message[2048];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    std::string line = "vorna-stats-host: ";
    line.append(message, std::min(static_cast<std::size_t>(length), sizeof message - 1));
    line += '\n';
    // One write: lines of several threads never interleave.
    for (std::size_t done = 0; done < line.size();) {
        ssize_t written = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}
