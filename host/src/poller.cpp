#include "poller.h"

#include "report.h"

#include <algorithm>
#include <stdexcept>

#include "channel.h"
#include "descriptor_limit.h"
#include "guest_report.h"

namespace {

// Every fragment; an agent from before V answers it as GSTATS:CMD.
constexpr std::string_view kPollSelector = "CMDV";

poll_failure failure_of(exchange_status status) {
    switch (status) {
    case exchange_status::connect_failed: return poll_failure::connect;
    case exchange_status::closed: return poll_failure::closed;
    case exchange_status::timeout: return poll_failure::timeout;
    case exchange_status::oversized: return poll_failure::oversized;
    case exchange_status::noisy: return poll_failure::noisy;
    case exchange_status::resources: return poll_failure::resources;
    default: return poll_failure::invalid;
    }
}

void report_change(const std::string& vm, bool up, poll_failure reason,
                   const std::string& detail) {
    if (up)
        report("%s: up", vm.c_str());
    else
        report("%s: down (%s): %s", vm.c_str(), poll_failure_name(reason), detail.c_str());
}

bool listed(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Names of probes in one line, as many as fit a line of a few hundred bytes.
std::string joined(const std::vector<std::string>& names) {
    std::string line;
    std::size_t shown = 0;
    for (; shown < names.size() && line.size() + names[shown].size() < 300; ++shown)
        line += (shown == 0 ? "" : ", ") + names[shown];
    if (shown < names.size())
        line += (shown == 0 ? "" : " and ") + std::to_string(names.size() - shown) + " more";
    return line;
}

// A failed probe is the guest's own state, worth a line when it starts and ends.
void report_probes(const std::string& vm, const std::vector<std::string>& failed,
                   const std::vector<std::string>& failed_before) {
    std::vector<std::string> started, ended;
    for (const std::string& name : failed)
        if (!listed(failed_before, name)) started.push_back(name);
    for (const std::string& name : failed_before)
        if (!listed(failed, name)) ended.push_back(name);
    if (!started.empty())
        report("%s: the guest's probe failed, its figures not served: %s", vm.c_str(),
               joined(started).c_str());
    if (!ended.empty())
        report("%s: the guest's probe works again: %s", vm.c_str(), joined(ended).c_str());
}

// A VM's descriptors: its stop signal and its connection, and a TCP channel's name lookup.
int descriptors_of(const vm_endpoint& vm) {
    return vm.where.kind == endpoint::kind_type::tcp ? 3 : 2;
}

}  // namespace

void poll_vm(const vm_endpoint& vm, const poll_settings& settings, fleet& sink,
             const stop_signal& stop) {
    guest_channel channel(vm.where);
    const std::string command = "GSTATS:" + std::string(kPollSelector);
    std::optional<bool> was_up;
    std::vector<std::string> failed_before;
    std::optional<bool> had_volumes;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        auto began = std::chrono::steady_clock::now();
        exchange_result result =
            channel.exchange(command, reply_kind::report, settings.timeout, stop.fd());
        if (result.status == exchange_status::stopped) return;
        guest_figures figures;
        std::string detail = result.detail;
        poll_failure reason = failure_of(result.status);
        bool up = false;
        if (result.status == exchange_status::ok) {
            report_verdict verdict = check_report(result.reply, kPollSelector, &figures, &detail);
            up = verdict == report_verdict::valid;
            reason = verdict == report_verdict::implausible ? poll_failure::implausible
                                                            : poll_failure::invalid;
            if (!up) detail = "report refused: " + detail;
        }
        if (up) {
            sink.record_success(vm.name, figures);
        } else {
            sink.record_failure(vm.name, reason);
            channel.close();
        }
        sink.record_duration(vm.name, std::chrono::steady_clock::now() - began);
        if (was_up != up) report_change(vm.name, up, reason, detail);
        if (up) {
            std::vector<std::string> failed = failed_probes(figures);
            report_probes(vm.name, failed, failed_before);
            failed_before = std::move(failed);
            bool has_volumes = reported(figures, fragment_id::volumes);
            if (!has_volumes && had_volumes != false)
                report("%s: its agent reports no volumes (it predates V): drive C: alone is "
                       "served", vm.name.c_str());
            if (has_volumes && had_volumes == false)
                report("%s: its agent reports volumes now", vm.name.c_str());
            had_volumes = has_volumes;
        }
        was_up = up;

        // The next poll is due an interval after this one began; one that overran starts now.
        next += settings.interval;
        auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;
        if (stop.wait_for(std::chrono::duration_cast<std::chrono::milliseconds>(next - now)))
            return;
    }
}

bool vm_pollers::start(const vm_endpoint& vm) {
    if (has(vm.name)) return false;
    sink_.add(vm.name, vm.uuid);
    auto poller = std::make_unique<running_poller>();
    poller->vm = vm;
    poller->endpoint = endpoint_text(vm.where);
    launch(*poller);
    running_.emplace(vm.name, std::move(poller));
    return true;
}

void vm_pollers::launch(running_poller& poller) {
    try {
        int needed = descriptors_of(poller.vm);
        if (!take_poller_descriptors(needed))
            throw std::runtime_error("its descriptors are beyond the limit of open files (" +
                                     std::to_string(descriptor_limit()) +
                                     ") less what serving needs; raise LimitNOFILE");
        poller.descriptors = needed;
        poller.stop = std::make_unique<stop_signal>();
        running_poller* raw = &poller;
        poller.thread =
            std::thread([this, raw] { poll_vm(raw->vm, settings_, sink_, *raw->stop); });
    } catch (const std::exception& failure) {
        poller.stop.reset();
        return_poller_descriptors(poller.descriptors);
        poller.descriptors = 0;
        sink_.record_failure(poller.vm.name, poll_failure::resources);
        if (!poller.lacked)
            report("%s: down (resources): cannot start its poller: %s; trying again",
                   poller.vm.name.c_str(), failure.what());
        poller.lacked = true;
        return;
    }
    if (poller.lacked) report("%s: poller started", poller.vm.name.c_str());
    poller.lacked = false;
}

void vm_pollers::retry() {
    for (auto& [name, poller] : running_)
        if (!poller->thread.joinable()) launch(*poller);
}

void vm_pollers::stop(const std::string& name) {
    auto found = running_.find(name);
    if (found == running_.end()) return;
    if (found->second->thread.joinable()) {
        found->second->stop->raise();
        found->second->thread.join();
    }
    return_poller_descriptors(found->second->descriptors);
    running_.erase(found);
    sink_.remove(name);
}

void vm_pollers::stop_all() {
    for (auto& [name, poller] : running_)
        if (poller->thread.joinable()) poller->stop->raise();
    for (auto& [name, poller] : running_) {
        if (poller->thread.joinable()) poller->thread.join();
        return_poller_descriptors(poller->descriptors);
        sink_.remove(name);
    }
    running_.clear();
}

std::map<std::string, std::string> vm_pollers::endpoints() const {
    std::map<std::string, std::string> found;
    for (const auto& [name, poller] : running_) found.emplace(name, poller->endpoint);
    return found;
}
