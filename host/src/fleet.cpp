#include "fleet.h"

#include <cstdint>

namespace {

// What a figure comes from; the guest's memory and disk probes can fail on their own.
enum class source { cpu, memory, disk };

struct figure_metric {
    const char* name;
    const char* help;
    source from;
    double (*value)(const guest_figures&);
};

double of(std::uint64_t value) {
    return static_cast<double>(value);
}

const figure_metric kFigures[] = {
    {"vorna_cpus", "Processors of the guest.", source::cpu,
     [](const guest_figures& f) { return of(f.cpu_count); }},
    {"vorna_cpu_busy_ratio", "Share of CPU time the guest spent busy over 2 s, 0 to 1.",
     source::cpu, [](const guest_figures& f) { return f.cpu_busy_ratio; }},
    {"vorna_memory_total_bytes", "Physical memory of the guest.", source::memory,
     [](const guest_figures& f) { return of(f.memory_total_bytes); }},
    {"vorna_memory_available_bytes", "Physical memory available in the guest.", source::memory,
     [](const guest_figures& f) { return of(f.memory_available_bytes); }},
    {"vorna_swap_total_bytes", "Commit limit of the guest: physical memory and page files.",
     source::memory,
     [](const guest_figures& f) { return of(f.swap_total_bytes); }},
    {"vorna_swap_free_bytes", "Commit available in the guest.", source::memory,
     [](const guest_figures& f) { return of(f.swap_free_bytes); }},
    {"vorna_disk_used_bytes", "Used space of the guest's drive C:.", source::disk,
     [](const guest_figures& f) { return of(f.disk_used_bytes); }},
    {"vorna_disk_free_bytes", "Free space of the guest's drive C:.", source::disk,
     [](const guest_figures& f) { return of(f.disk_free_bytes); }},
    {"vorna_disk_total_bytes", "Size of the guest's drive C:.", source::disk,
     [](const guest_figures& f) { return of(f.disk_total_bytes); }},
};

struct probe_metric {
    source from;
    const char* fragment;
    bool (*failed)(const guest_figures&);
};

const probe_metric kProbes[] = {
    {source::memory, "memory", [](const guest_figures& f) { return f.memory_probe_failed; }},
    {source::disk, "disk", [](const guest_figures& f) { return f.disk_probe_failed; }},
};

bool served(const guest_figures& figures, source from) {
    for (const probe_metric& probe : kProbes)
        if (probe.from == from && probe.failed(figures)) return false;
    return true;
}

prometheus::MetricFamily gauge_family(const char* name, const char* help) {
    return {name, help, prometheus::MetricType::Gauge, {}};
}

void add_sample(prometheus::MetricFamily* family, const std::string& vm, double value,
                const char* fragment = nullptr) {
    prometheus::ClientMetric sample;
    sample.label.push_back({"vm", vm});
    if (fragment != nullptr) sample.label.push_back({"fragment", fragment});
    sample.gauge.value = value;
    family->metric.push_back(sample);
}

}  // namespace

std::vector<prometheus::MetricFamily> render_families(const std::map<std::string, vm_state>& vms,
                                                      steady_time now) {
    std::vector<prometheus::MetricFamily> families;
    families.push_back(gauge_family(
        "vorna_up", "1 when the last poll of the VM's agent got a valid report, else 0."));
    families.push_back(gauge_family("vorna_last_success_age_seconds",
                                    "Seconds since the VM's agent last gave a valid report."));
    for (const figure_metric& figure : kFigures)
        families.push_back(gauge_family(figure.name, figure.help));
    families.push_back(gauge_family(
        "vorna_probe_failed",
        "1 when the guest's probe for the fragment failed (its figures are then not served)."));
    prometheus::MetricFamily& probes = families.back();

    for (const auto& [vm, state] : vms) {
        add_sample(&families[0], vm, state.up ? 1.0 : 0.0);
        if (state.last_good)
            add_sample(&families[1], vm,
                       std::chrono::duration<double>(now - *state.last_good).count());
        if (!state.up) continue;
        for (std::size_t i = 0; i < std::size(kFigures); ++i)
            if (served(state.figures, kFigures[i].from))
                add_sample(&families[2 + i], vm, kFigures[i].value(state.figures));
        for (const probe_metric& probe : kProbes)
            add_sample(&probes, vm, probe.failed(state.figures) ? 1.0 : 0.0, probe.fragment);
    }
    // A family without samples would still print its HELP and TYPE lines: leave it out.
    std::vector<prometheus::MetricFamily> shown;
    for (auto& family : families)
        if (!family.metric.empty()) shown.push_back(std::move(family));
    return shown;
}

void fleet::add(const std::string& vm) {
    std::lock_guard<std::mutex> lock(mutex_);
    vms_.emplace(vm, vm_state{});
}

void fleet::remove(const std::string& vm) {
    std::lock_guard<std::mutex> lock(mutex_);
    vms_.erase(vm);
}

void fleet::record_success(const std::string& vm, const guest_figures& figures,
                           steady_time when) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = vms_.find(vm);
    if (found == vms_.end()) return;  // removed while its last poll ran
    vm_state& state = found->second;
    state.up = true;
    state.figures = figures;
    state.last_good = when;
}

void fleet::record_failure(const std::string& vm, poll_failure /*reason*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = vms_.find(vm);
    if (found != vms_.end()) found->second.up = false;
}

std::vector<prometheus::MetricFamily> fleet::Collect() const {
    std::map<std::string, vm_state> copy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        copy = vms_;
    }
    return render_families(copy, std::chrono::steady_clock::now());
}
