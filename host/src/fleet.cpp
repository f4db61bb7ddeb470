#include "fleet.h"

#include <cstdint>

#include "families.h"

namespace {

// A fragment's figures are served unless its probe failed in the guest.
bool served(const guest_figures& figures, fragment_id fragment) {
    return reported(figures, fragment) && !probe_failed(figures, fragment);
}

prometheus::ClientMetric gauge(double value, std::vector<prometheus::ClientMetric::Label> labels) {
    return sample(prometheus::MetricType::Gauge, value, std::move(labels));
}

void add_sample(prometheus::MetricFamily* to, const std::string& vm, double value) {
    to->metric.push_back(gauge(value, {{"vm", vm}}));
}

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::vector<prometheus::MetricFamily> render_families(const std::map<std::string, vm_state>& vms,
                                                      const discovery_state& discovery) {
    std::vector<prometheus::MetricFamily> families;
    families.push_back(family("vorna_build_info", "The exporter's version; always 1."));
    families.back().metric.push_back(gauge(1, {{"version", VORNA_VERSION}}));
    if (discovery.active) {
        families.push_back(family("vorna_libvirt_up",
                                  "1 when the last listing of libvirt's domains succeeded."));
        families.back().metric.push_back(gauge(discovery.connected ? 1 : 0, {}));
        families.push_back(family("vorna_libvirt_domains_without_channel",
                                  "Running domains without the agent's channel "
                                  "com.vorna.vm.stats_agent.0, at the last listing."));
        families.back().metric.push_back(gauge(discovery.without_channel, {}));
    }

    auto info = family("vorna_vm_info", "The VM's libvirt domain UUID; always 1.");
    auto up = family("vorna_up", "1 when the last poll of the VM's agent got a valid report.");
    auto last_success = family("vorna_last_success_timestamp_seconds",
                               "Unix time of the last poll that got a valid report.");
    auto duration = family("vorna_poll_duration_seconds", "How long the last poll took.");
    auto failures = family("vorna_poll_failures_total",
                           "Polls that got no valid report, by reason, since the VM was found.",
                           prometheus::MetricType::Counter);
    std::vector<const figure_row*> served_rows;
    std::vector<prometheus::MetricFamily> figures;
    for (const figure_row& row : kFigures)
        if (row.metric != nullptr) {
            served_rows.push_back(&row);
            figures.push_back(family(row.metric, row.help));
        }
    auto probes = family("vorna_probe_failed",
                         "1 when the guest's probe for the fragment failed at the last poll (its "
                         "figures are then not served); fragment volume: that volume's.");
    auto volume_info = family("vorna_volume_info",
                              "A volume of the guest: its mount paths (joined with ;), label and "
                              "file system; always 1.");

    for (const auto& [vm, state] : vms) {
        if (!state.uuid.empty()) info.metric.push_back(gauge(1, {{"vm", vm}, {"uuid", state.uuid}}));
        add_sample(&up, vm, state.up ? 1.0 : 0.0);
        if (state.last_good_unix) add_sample(&last_success, vm, *state.last_good_unix);
        if (state.poll_seconds) add_sample(&duration, vm, *state.poll_seconds);
        // Every reason from 0 once the VM is found, so that increase() sees its first failure.
        for (std::size_t i = 0; i < kPollFailureCount; ++i) {
            failures.metric.push_back(
                sample(prometheus::MetricType::Counter, static_cast<double>(state.failures[i]),
                       {{"vm", vm}, {"reason", poll_failure_name(static_cast<poll_failure>(i))}}));
        }
        if (!state.up) continue;
        const std::vector<guest_volume>& volumes = state.figures.volumes;
        std::vector<std::string> labels;
        for (const guest_volume& volume : volumes) labels.push_back(volume_label(volume));
        for (std::size_t i = 0; i < served_rows.size(); ++i) {
            const figure_row& row = *served_rows[i];
            if (row.fragment != fragment_id::volumes) {
                if (served(state.figures, row.fragment))
                    add_sample(&figures[i], vm, value_of(state.figures, row.id));
                continue;
            }
            for (std::size_t v = 0; v < volumes.size(); ++v)
                if (!volumes[v].probe_failed)
                    figures[i].metric.push_back(
                        gauge(value_of(volumes[v], row.id), {{"vm", vm}, {"volume", labels[v]}}));
        }
        for (const fragment_row& fragment : kFragments)
            if (fragment.probed && reported(state.figures, fragment.id))
                probes.metric.push_back(
                    gauge(probe_failed(state.figures, fragment.id) ? 1.0 : 0.0,
                          {{"vm", vm}, {"fragment", fragment.name}}));
        // Each volume's probe on its own, so that one volume failing hides no other.
        for (std::size_t v = 0; v < volumes.size(); ++v) {
            probes.metric.push_back(gauge(volumes[v].probe_failed ? 1.0 : 0.0,
                                          {{"vm", vm}, {"fragment", "volume"},
                                           {"volume", labels[v]}}));
            std::string paths;
            for (const std::string& path : volumes[v].paths)
                paths += (paths.empty() ? "" : ";") + path;
            volume_info.metric.push_back(gauge(1, {{"vm", vm},
                                                   {"volume", labels[v]},
                                                   {"paths", paths},
                                                   {"label", volumes[v].label},
                                                   {"fs", volumes[v].fs}}));
        }
    }
    // A family without samples would still print its HELP and TYPE lines: leave it out.
    for (auto* per_vm : {&info, &up, &last_success, &duration, &failures, &probes})
        if (!per_vm->metric.empty()) families.push_back(std::move(*per_vm));
    for (auto& figure : figures)
        if (!figure.metric.empty()) families.push_back(std::move(figure));
    if (!volume_info.metric.empty()) families.push_back(std::move(volume_info));
    return families;
}

void fleet::add(const std::string& vm, const std::string& uuid) {
    std::lock_guard<std::mutex> lock(mutex_);
    vms_.emplace(vm, vm_state{}).first->second.uuid = uuid;
}

void fleet::remove(const std::string& vm) {
    std::lock_guard<std::mutex> lock(mutex_);
    vms_.erase(vm);
}

void fleet::record_success(const std::string& vm, const guest_figures& figures) {
    double now = unix_now();
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = vms_.find(vm);
    if (found == vms_.end()) return;  // removed while its last poll ran
    vm_state& state = found->second;
    state.up = true;
    state.figures = figures;
    state.last_good_unix = now;
    state.last_failure.reset();
}

void fleet::record_failure(const std::string& vm, poll_failure reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = vms_.find(vm);
    if (found == vms_.end()) return;
    found->second.up = false;
    found->second.last_failure = reason;
    auto index = static_cast<std::size_t>(reason);
    if (index < kPollFailureCount) ++found->second.failures[index];
}

void fleet::record_duration(const std::string& vm, std::chrono::steady_clock::duration took) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = vms_.find(vm);
    if (found != vms_.end())
        found->second.poll_seconds = std::chrono::duration<double>(took).count();
}

void fleet::set_libvirt_state(bool connected, int without_channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    discovery_ = {true, connected, without_channel};
}

std::vector<prometheus::MetricFamily> fleet::Collect() const {
    std::map<std::string, vm_state> vms;
    discovery_state discovery;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        vms = vms_;
        discovery = discovery_;
    }
    return render_families(vms, discovery);
}

std::map<std::string, vm_state> fleet::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return vms_;
}
