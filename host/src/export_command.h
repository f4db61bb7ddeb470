#pragma once

#include <string>
#include <vector>

struct export_options {
    std::string listen;
    std::vector<std::string> vms;    // NAME=ENDPOINT
    std::vector<std::string> globs;  // patterns of channel sockets
    int interval_seconds = 15;
    double timeout_seconds = 10.0;
};

// vorna-stats-host export: polls the VMs and serves /metrics until SIGINT or SIGTERM; an
// exit_status.
int run_export(const export_options& options);
