#include "export_command.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "channel_glob.h"
#include "exit_status.h"
#include "fleet.h"
#include "libvirt_discovery.h"
#include "poller.h"
#include "protocol.h"
#include "vm_name.h"
#include "web_server.h"

namespace {

int failed(int status, const std::string& message) {
    std::fprintf(stderr, "vorna-stats-host: %s\n", message.c_str());
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
        std::fprintf(stderr, "vorna-stats-host: %s: channel gone, no longer polled\n",
                     polled->first.c_str());
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
            std::fprintf(stderr, "vorna-stats-host: %s: not polled: its VM name is %s\n",
                         printable(path, 300).c_str(), problem->c_str());
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
        std::fprintf(stderr, "vorna-stats-host: %s\n", warning.c_str());
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (names[i].empty()) {
            refused.insert(fresh[i].where.path);
            continue;
        }
        fresh[i].name = names[i];
        pollers.start(fresh[i]);
        from_globs[names[i]] = fresh[i].where.path;
        std::fprintf(stderr, "vorna-stats-host: %s: polling %s\n", names[i].c_str(),
                     printable(fresh[i].where.path, 300).c_str());
    }
}

// Enough server threads that a few clients which send their request slowly, or never, leave
// scrapes an idle one; each gives up on a request not read within 2 s.
const std::vector<std::string> kHttpOptions = {"num_threads", "8", "request_timeout_ms", "2000"};

}  // namespace

int run_export(const export_options& options) {
    std::string host, port;
    bool any_address = !options.listen.empty() && options.listen.front() == ':';
    if (!split_host_port(any_address ? "*" + options.listen : options.listen, true, &host, &port))
        return failed(kExitUsage,
                      "not an ADDR:PORT or :PORT to listen on: " + printable(options.listen, 300));
    web_config web;
    std::string web_error;
    if (!options.web_config_file.empty() &&
        !load_web_config(options.web_config_file, &web, &web_error))
        return failed(kExitUsage, printable(options.web_config_file, 300) + ": " + web_error);
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

    auto sink = std::make_shared<fleet>();
    std::unique_ptr<web_server> exposer =
        start_web_server(options.listen, web, kHttpOptions, sink, &web_error);
    if (!exposer)
        return failed(kExitCannotServe,
                      "cannot serve on " + printable(options.listen, 300) + ": " + web_error);
    std::fprintf(stderr, "vorna-stats-host: serving /metrics on %s:%d%s\n", host.c_str(),
                 exposer->port(), web.tls ? " (TLS)" : "");

    poll_settings settings;
    settings.interval = std::chrono::seconds(options.interval_seconds);
    settings.timeout =
        std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds * 1000));
    vm_pollers pollers(settings, *sink);
    for (const vm_endpoint& vm : vms) pollers.start(vm);

    std::unique_ptr<libvirt_follower> domains;
    if (libvirt) domains = std::make_unique<libvirt_follower>(*libvirt, pollers, *sink, names);
    std::map<std::string, std::string> from_globs;
    std::set<std::string> refused;
    for (;;) {
        if (!options.globs.empty()) follow_globs(options.globs, pollers, from_globs, refused);
        if (domains) domains->refresh();
        timespec wait = {domains ? kLibvirtRelist.count() : options.interval_seconds, 0};
        int taken = sigtimedwait(&signals, nullptr, &wait);
        if (taken == SIGINT || taken == SIGTERM) break;
    }
    std::fprintf(stderr, "vorna-stats-host: stopping\n");
    domains.reset();
    pollers.stop_all();
    exposer.reset();
    return kExitOk;
}
