#pragma once

#include <cstddef>

// Registers the auto-start service that runs this executable in service mode on device_path
// (null: the default path), with its failure actions and its event source; 0 when the service
// was created, -1 on failure. Failures are reported (log.h), those of the failure actions and
// the event source too, though the install stands.
int win_service_install(const char* device_path);
// Removes the registration and then the event source; 0 when the service was deleted, -1 on
// failure (reported). A running service is not stopped first.
int win_service_uninstall();

// Sizes of the executable path (characters, with the NUL) and of the command line (bytes).
constexpr std::size_t SERVICE_MODULE_PATH_SIZE = 260;
constexpr std::size_t SERVICE_COMMAND_LINE_SIZE = 512;

// Formats the service's command line into line: the quoted executable path, -d, and -p with the
// device path when there is one, quoted when the argument parser would otherwise split or strip
// it. limit counts the NUL, as with snprintf; returns the length the whole line needs, so the
// line is complete only when the result is below limit.
int service_command_line(char* line, std::size_t limit, const char* exe_path,
                         const char* device_path);
