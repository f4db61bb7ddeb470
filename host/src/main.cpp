// vorna-stats-host: the KVM host's side of vorna-stats-agent's channel.
#include <CLI/CLI.hpp>

#include "exit_status.h"
#include "export_command.h"
#include "query_command.h"

int main(int argc, char** argv) {
    CLI::App app{"Asks vorna-stats-agent in Windows guests for their figures, once (query) or "
                 "for Prometheus (export)."};
    app.set_version_flag("--version", "vorna-stats-host " VORNA_VERSION);
    app.require_subcommand(1);

    std::string endpoint;
    std::string command = "GSTATS:CMD";
    double query_timeout = 10.0;
    CLI::App* query = app.add_subcommand("query", "Send one command and print the reply.");
    query->add_option("ENDPOINT", endpoint, "The guest's channel: unix:PATH or tcp:HOST:PORT")
        ->required();
    query->add_option("COMMAND", command, "PING, or GSTATS: and letters among C, M, D, V")
        ->capture_default_str();
    query->add_option("--timeout", query_timeout, "Seconds to wait for the whole reply")
        ->check(CLI::Range(0.001, 3600.0))
        ->capture_default_str();

    export_options exported;
    CLI::App* serve = app.add_subcommand("export", "Poll VMs and serve their figures on /metrics.");
    serve->add_option("--web.listen-address,--listen", exported.listen,
                      "ADDR:PORT, [ADDR6]:PORT or :PORT (every address, IPv6 and IPv4) for the "
                      "metrics (port 0: any free; repeatable)")
        ->capture_default_str();
    serve->add_flag("--web.systemd-socket", exported.systemd_socket,
                    "Serve on the sockets systemd passes (socket activation) instead of the "
                    "listen addresses");
    serve->add_option("--web.telemetry-path", exported.telemetry_path,
                      "The path of the metrics")
        ->capture_default_str();
    serve->add_option("--web.max-requests", exported.max_requests,
                      "Scrapes answered at once; more get 503 (0: no limit)")
        ->check(CLI::Range(0, 100000))
        ->capture_default_str();
    serve->add_option("--web.config.file", exported.web_config_file,
                      "TLS and basic authentication, in the Prometheus exporters' format");
    std::string libvirt_uri;
    CLI::Option* libvirt = serve->add_option(
        "--libvirt", libvirt_uri,
        "Poll the running domains of this libvirt (default qemu:///system, also when no VM is "
        "named otherwise)")
        ->expected(0, 1);
    serve->add_option("--vm", exported.vms, "NAME=ENDPOINT of a VM to poll (repeatable)");
    serve->add_option("--vm-glob", exported.globs,
                      "Pattern of libvirt channel sockets; each VM is named after its folder "
                      "domain-<id>-<name> (repeatable)");
    serve->add_option("--interval", exported.interval_seconds, "Seconds between polls of a VM")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    serve->add_option("--timeout", exported.timeout_seconds, "Seconds to wait for a VM's reply")
        ->check(CLI::Range(0.001, 3600.0))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kExitOk : kExitUsage;
    }
    if (query->parsed()) return run_query(endpoint, command, query_timeout);
    if (libvirt->count() > 0) exported.libvirt = libvirt_uri.empty() ? kDefaultLibvirtUri : libvirt_uri;
    return run_export(exported);
}
