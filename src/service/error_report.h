#pragma once

// Reports the last failed system call on standard error as "<prefix> (Error: <code>) <text>",
// with the system's message text for the code (which brings its own line end), or
// "unknown error" and a line end when the system has none. Returns the characters printed.
int windows_print_error(const char* prefix);
