#include "export_command.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>

#include "channel_glob.h"
#include "exit_status.h"
#include "fleet.h"
#include "libvirt_discovery.h"
#include "poller.h"
#include "web_server.h"

namespace {

int failed(int status, const std::string& message) {
    std::fprintf(stderr, "vorna-stats-host: %s\n", message.c_str());
    return status;
}

// VMs found through the patterns come and go with their sockets: libvirt makes a channel's
// socket when the domain starts and removes it when the domain stops.
void follow_globs(const std::vector<std::string>& patterns, vm_pollers& pollers,
                  std::set<std::string>& from_globs) {
    std::set<std::string> seen;
    const auto running = pollers.endpoints();
    for (const vm_endpoint& vm : scan_channel_globs(patterns)) {
        seen.insert(vm.name);
        auto same = running.find(vm.name);
        if (same != running.end()) {
            if (same->second != endpoint_text(vm.where) && from_globs.count(vm.name) != 0) {
                pollers.stop(vm.name);  // the domain restarted under a new folder
            } else {
                continue;
            }
        }
        pollers.start(vm);
        from_globs.insert(vm.name);
        std::fprintf(stderr, "vorna-stats-host: %s: polling %s\n", vm.name.c_str(),
                     vm.where.path.c_str());
    }
    for (auto name = from_globs.begin(); name != from_globs.end();) {
        if (seen.count(*name) != 0) {
            ++name;
            continue;
        }
        std::fprintf(stderr, "vorna-stats-host: %s: channel gone, no longer polled\n",
                     name->c_str());
        pollers.stop(*name);
        name = from_globs.erase(name);
    }
}

}  // namespace

int run_export(const export_options& options) {
    std::string host, port;
    bool any_address = !options.listen.empty() && options.listen.front() == ':';
    if (!split_host_port(any_address ? "*" + options.listen : options.listen, true, &host, &port))
        return failed(kExitUsage, "not an ADDR:PORT or :PORT to listen on: " + options.listen);
    web_config web;
    std::string web_error;
    if (!options.web_config_file.empty() &&
        !load_web_config(options.web_config_file, &web, &web_error))
        return failed(kExitUsage, options.web_config_file + ": " + web_error);
    std::vector<vm_endpoint> vms;
    std::set<std::string> names;
    for (const std::string& text : options.vms) {
        std::optional<vm_endpoint> vm = parse_vm_endpoint(text);
        if (!vm) return failed(kExitUsage, "not NAME=ENDPOINT: " + text);
        if (!names.insert(vm->name).second)
            return failed(kExitUsage, "two VMs named " + vm->name);
        vms.push_back(*vm);
    }
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
        start_web_server(options.listen, web, {"num_threads", "2"}, sink, &web_error);
    if (!exposer)
        return failed(kExitCannotServe, "cannot serve on " + options.listen + ": " + web_error);
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
    std::set<std::string> from_globs;
    for (;;) {
        if (!options.globs.empty()) follow_globs(options.globs, pollers, from_globs);
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
