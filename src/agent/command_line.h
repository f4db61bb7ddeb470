#pragma once

struct ctl_context;

// Applies the options in command-line order. Unknown options and missing arguments are skipped
// after the parser's own diagnostic; help, version, install and removal end the process.
void parse_program_arguments(int argc, char** argv, ctl_context* ctx);

[[noreturn]] void usage();
[[noreturn]] void version();
