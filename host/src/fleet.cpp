#include "fleet.h"

#include <cstdint>

namespace {

struct figure_metric {
    const char* name;
    const char* help;
    double (*value)(const guest_figures&);
};

double of(std::uint64_t value) {
    return static_cast<double>(value);
}

const figure_metric kFigures[] = {
    {"vorna_cpus", "Processors of the guest.",
     [](const guest_figures& f) { return of(f.cpu_count); }},
    {"vorna_cpu_busy_ratio", "Share of CPU time the guest spent busy over 2 s, 0 to 1.",
     [](const guest_figures& f) { return f.cpu_busy_ratio; }},
    {"vorna_memory_total_bytes", "Physical memory of the guest.",
     [](const guest_figures& f) { return of(f.memory_total_bytes); }},
    {"vorna_memory_available_bytes", "Physical memory available in the guest.",
     [](const guest_figures& f) { return of(f.memory_available_bytes); }},
    {"vorna_swap_total_bytes", "Commit limit of the guest: physical memory and page files.",
     [](const guest_figures& f) { return of(f.swap_total_bytes); }},
    {"vorna_swap_free_bytes", "Commit available in the guest.",
     [](const guest_figures& f) { return of(f.swap_free_bytes); }},
    {"vorna_disk_used_bytes", "Used space of the guest's drive C:.",
     [](const guest_figures& f) { return of(f.disk_used_bytes); }},
    {"vorna_disk_free_bytes", "Free space of the guest's drive C:.",
     [](const guest_figures& f) { return of(f.disk_free_bytes); }},
    {"vorna_disk_total_bytes", "Size of the guest's drive C:.",
     [](const guest_figures& f) { return of(f.disk_total_bytes); }},
};

prometheus::MetricFamily gauge_family(const char* name, const char* help) {
    return {name, help, prometheus::MetricType::Gauge, {}};
}

void add_sample(prometheus::MetricFamily* family, const std::string& vm, double value) {
    prometheus::ClientMetric sample;
    sample.label.push_back({"vm", vm});
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

    for (const auto& [vm, state] : vms) {
        add_sample(&families[0], vm, state.up ? 1.0 : 0.0);
        if (state.last_good)
            add_sample(&families[1], vm,
                       std::chrono::duration<double>(now - *state.last_good).count());
        if (!state.up) continue;
        for (std::size_t i = 0; i < std::size(kFigures); ++i)
            add_sample(&families[2 + i], vm, kFigures[i].value(state.figures));
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
