#pragma once

#include <string>

// vorna-stats-host query: one command, its reply on standard output once checked (pretty JSON on
// a terminal, the reply as it came otherwise); an exit_status.
int run_query(const std::string& endpoint, const std::string& command, double timeout_seconds);
