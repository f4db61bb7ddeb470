#pragma once

#include <cstddef>

// Reports the last failed system call (log.h) as "<prefix> (Error: <code>) <text>", with the
// system's message text for the code (which brings its own line end), or "unknown error" and a
// line end when the system has none. Returns the characters printed on standard error.
int windows_print_error(const char* prefix);

// The system's message text for code into text (size bytes with the NUL), without the line
// end; "unknown error" when the system has none.
void system_error_text(unsigned long code, char* text, std::size_t size);
