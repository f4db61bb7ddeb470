#pragma once

#include <string>

// vorna-stats-host query: one command, its reply on standard output (pretty JSON on a terminal,
// the raw reply otherwise); an exit_status.
int run_query(const std::string& endpoint, const std::string& command, double timeout_seconds);
