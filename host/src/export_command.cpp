#include "export_command.h"

#include <prometheus/text_serializer.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "channel_glob.h"
#include "descriptor_limit.h"
#include "exit_status.h"
#include "fleet.h"
#include "libvirt_discovery.h"
#include "listen_socket.h"
#include "poller.h"
#include "process_metrics.h"
#include "status_page.h"
#include "protocol.h"
#include "report.h"
#include "vm_name.h"
#include "web_figures.h"
#include "web_handler.h"
#include "web_server.h"

namespace {

int failed(int status, const std::string& message) {
    report("%s", message.c_str());
    return status;
}

// VMs found through the patterns come and go with their sockets: libvirt makes a channel's
// socket when the domain starts and removes it when the domain stops. Each keeps the name it was
// given for as long as its socket stays (from_globs: name to path); a path whose VM cannot be
// named is passed over, with one message, for as long as it stays (refused).
void follow_globs(const std::vector<std::string>& patterns, vm_pollers& pollers,
                  std::map<std::string, std::string>& from_globs, std::set<std::string>& refused) {
    std::vector<vm_endpoint> matches = scan_channel_globs(patterns);
    std::set<std::string> paths;
    for (const vm_endpoint& vm : matches) paths.insert(vm.where.path);
    for (auto polled = from_globs.begin(); polled != from_globs.end();) {
        if (paths.count(polled->second) != 0) {
            ++polled;
            continue;
        }
        report("%s: channel gone, no longer polled", polled->first.c_str());
        pollers.stop(polled->first);
        polled = from_globs.erase(polled);
    }
    for (auto path = refused.begin(); path != refused.end();)
        path = paths.count(*path) != 0 ? std::next(path) : refused.erase(path);

    std::set<std::string> polled_paths;
    for (const auto& [name, path] : from_globs) polled_paths.insert(path);
    std::vector<vm_endpoint> fresh;
    std::vector<found_vm> found;
    for (const vm_endpoint& vm : matches) {
        const std::string& path = vm.where.path;
        if (polled_paths.count(path) != 0 || refused.count(path) != 0) continue;
        if (std::optional<std::string> problem = vm_name_problem(vm.name)) {
            report("%s: not polled: its VM name is %s", printable(path, 300).c_str(),
                   problem->c_str());
            refused.insert(path);
            continue;
        }
        fresh.push_back(vm);
        found.push_back({vm.name, channel_folder_of(path)});
    }
    std::set<std::string> in_use;
    for (const auto& [name, endpoint] : pollers.endpoints()) in_use.insert(name);
    std::vector<std::string> warnings;
    std::vector<std::string> names = assign_vm_names(found, in_use, &warnings);
    for (const std::string& warning : warnings)
        report("%s", warning.c_str());
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (names[i].empty()) {
            refused.insert(fresh[i].where.path);
            continue;
        }
        fresh[i].name = names[i];
        pollers.start(fresh[i]);
        from_globs[names[i]] = fresh[i].where.path;
        report("%s: polling %s", names[i].c_str(), printable(fresh[i].where.path, 300).c_str());
    }
}

// The exposition at the moment of the scrape: every VM's figures, the process's, the HTTP
// side's own.
std::string exposition(const fleet& vms, const web_figures& web) {
    std::vector<prometheus::MetricFamily> families = vms.Collect();
    auto append = [&families](std::vector<prometheus::MetricFamily> more) {
        families.insert(families.end(), std::make_move_iterator(more.begin()),
                        std::make_move_iterator(more.end()));
    };
    append(render_process_metrics());
    append(render_web_figures(web));
    return prometheus::TextSerializer().Serialize(families);
}

}  // namespace

int run_export(const export_options& options) {
    std::vector<listen_address> addresses;
    if (!options.systemd_socket)
        for (const std::string& text : options.listen) {
            std::optional<listen_address> where = parse_listen_address(text);
            if (!where)
                return failed(kExitUsage, "not a numeric ADDR:PORT, [ADDR]:PORT or :PORT to "
                                          "listen on: " + printable(text, 300));
            addresses.push_back(*where);
        }
    if (options.telemetry_path.empty() || options.telemetry_path.front() != '/' ||
        options.telemetry_path == "/")
        return failed(kExitUsage, "the telemetry path is not a path below /: " +
                                      printable(options.telemetry_path, 300));
    if (options.max_requests < 0)
        return failed(kExitUsage, "--web.max-requests is below 0");
    // A socket of systemd's would stay unanswered while this binds the port itself, and fail.
    const char* listen_pid = std::getenv("LISTEN_PID");
    if (!options.systemd_socket && listen_pid != nullptr && std::atol(listen_pid) == getpid())
        return failed(kExitUsage, "systemd passed a listening socket (vorna-stats-host.socket "
                                  "is active): give --web.systemd-socket, or stop the socket");
    web_config web;
    std::string web_error;
    if (!options.web_config_file.empty() &&
        !load_web_config(options.web_config_file, &web, &web_error))
        return failed(kExitUsage,
                      printable(options.web_config_file, 300) + ": " + printable(web_error, 600));
    std::vector<vm_endpoint> vms;
    std::set<std::string> names;
    for (const std::string& text : options.vms) {
        std::optional<vm_endpoint> vm = parse_vm_endpoint(text);
        if (!vm) return failed(kExitUsage, "not NAME=ENDPOINT: " + printable(text, 300));
        if (std::optional<std::string> problem = vm_name_problem(vm->name))
            return failed(kExitUsage,
                          "the VM name " + printable(vm->name, 300) + " is " + *problem);
        if (!names.insert(vm->name).second)
            return failed(kExitUsage, "two VMs named " + vm->name);
        vms.push_back(*vm);
    }
    if (options.interval_seconds < 1 || options.interval_seconds > 86400 ||
        !(options.timeout_seconds >= 0.001 && options.timeout_seconds <= 3600))
        return failed(kExitUsage,
                      "the interval is not 1 to 86400 s or the timeout not 0.001 to 3600 s");
    // With nothing named, the VMs are the system libvirt's.
    std::optional<std::string> libvirt = options.libvirt;
    if (vms.empty() && options.globs.empty() && !libvirt) libvirt = kDefaultLibvirtUri;

    // The signals are taken by this thread alone, with sigtimedwait; the pollers inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    raise_descriptor_limit();
    std::vector<listen_socket> sockets;
    if (options.systemd_socket && !systemd_listen_sockets(&sockets, &web_error))
        return failed(kExitCannotServe, web_error);
    for (const listen_address& where : addresses) {
        std::optional<listen_socket> socket = open_listen_socket(where, &web_error);
        if (!socket) {
            for (const listen_socket& opened : sockets) close(opened.fd);
            return failed(kExitCannotServe,
                          "cannot listen on " + (where.host.empty() ? "" : where.host) + ":" +
                              where.port + ": " + web_error);
        }
        sockets.push_back(*socket);
    }
    std::vector<std::string> shown;
    for (const listen_socket& socket : sockets) shown.push_back(socket.shown);

    fleet sink;
    web_figures http_figures;
    web_content content;
    content.telemetry_path = options.telemetry_path;
    content.max_requests = options.max_requests;
    content.exposition = [&] { return exposition(sink, http_figures); };
    content.status_page = [&sink, path = options.telemetry_path] {
        double now = std::chrono::duration<double>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
        return status_page_html(status_rows(sink.snapshot(), now), path);
    };
    web_handler handler(content, http_figures);
    std::unique_ptr<web_server> exposer =
        start_web_server(std::move(sockets), web, handler, &web_error);
    if (!exposer) return failed(kExitCannotServe, "cannot serve: " + web_error);
    for (const std::string& address : shown)
        report("serving %s on %s%s", options.telemetry_path.c_str(), address.c_str(),
               web.tls ? " (TLS)" : "");

    poll_settings settings;
    settings.interval = std::chrono::seconds(options.interval_seconds);
    settings.timeout =
        std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds * 1000));
    vm_pollers pollers(settings, sink);
    for (const vm_endpoint& vm : vms) pollers.start(vm);

    std::unique_ptr<libvirt_follower> domains;
    if (libvirt) domains = std::make_unique<libvirt_follower>(*libvirt, pollers, sink, names);
    std::map<std::string, std::string> from_globs;
    std::set<std::string> refused;
    for (;;) {
        pollers.retry();
        if (!options.globs.empty()) follow_globs(options.globs, pollers, from_globs, refused);
        if (domains) domains->refresh();
        timespec wait = {domains ? kLibvirtRelist.count() : options.interval_seconds, 0};
        int taken = sigtimedwait(&signals, nullptr, &wait);
        if (taken == SIGINT || taken == SIGTERM) break;
    }
    report("stopping");
    domains.reset();
    pollers.stop_all();
    exposer.reset();
    return kExitOk;
}
