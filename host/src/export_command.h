#pragma once

#include <optional>
#include <string>
#include <vector>

// The port that the Prometheus wiki's default port allocations leave free after the exporters
// allocated there (9100 the node exporter, 9177 libvirt, 9182 Windows, ... 9637).
constexpr char kDefaultListen[] = ":9638";
constexpr char kDefaultLibvirtUri[] = "qemu:///system";

struct export_options {
    std::vector<std::string> listen = {kDefaultListen};  // ADDR:PORT or :PORT (every address)
    bool systemd_socket = false;     // serve on the sockets systemd passed instead
    std::string telemetry_path = "/metrics";
    int max_requests = 40;           // scrapes answered at once; 0: no cap
    std::string web_config_file;     // the exporter toolkit's format; empty: plain HTTP, no auth
    std::optional<std::string> libvirt;  // URI of the libvirt whose domains are polled
    std::vector<std::string> vms;    // NAME=ENDPOINT
    std::vector<std::string> globs;  // patterns of channel sockets
    int interval_seconds = 15;
    double timeout_seconds = 10.0;
};

// vorna-stats-host export: polls the VMs and serves /metrics until SIGINT or SIGTERM; an
// exit_status.
int run_export(const export_options& options);
