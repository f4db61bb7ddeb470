#include "libvirt_discovery.h"

#include <libvirt/libvirt.h>
#include <libvirt/virterror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <memory>

#include "fleet.h"
#include "poller.h"
#include "protocol.h"
#include "report.h"
#include "vm_name.h"

namespace {

// libvirt prints every error on standard error unless told otherwise; ours are reported once.
void ignore_error(void*, virErrorPtr) {}

// libvirt's messages quote names and paths of the host's domains: shown escaped.
std::string last_error() {
    virErrorPtr error = virGetLastError();
    if (error == nullptr || error->message == nullptr) return "unknown libvirt error";
    std::string text = printable(error->message, 300);
    bool denied = (error->code == VIR_ERR_SYSTEM_ERROR && error->int1 == EACCES) ||
                  text.find("Permission denied") != std::string::npos;
    if (denied)
        text += " (the user needs the group libvirt: usermod -aG libvirt USER, then log in again)";
    return text;
}

struct domain_deleter {
    void operator()(virDomainPtr domain) const { virDomainFree(domain); }
};

// Why the exporter cannot use a channel socket that is there, with the fix; empty when it can.
std::string socket_problem(const endpoint& where) {
    if (where.kind != endpoint::kind_type::unix_socket) return {};
    struct stat info = {};
    if (stat(where.path.c_str(), &info) != 0) {
        if (errno == EACCES)
            return printable(where.path, 300) + ": permission denied on its folder (the user needs the group "
                                "libvirt-qemu: usermod -aG libvirt-qemu USER)";
        return {};  // not made yet, or gone: the poller reports it as a failed connection
    }
    if (!S_ISSOCK(info.st_mode))
        return printable(where.path, 300) + " is not a socket; give the channel <source mode='bind'/> so that "
                            "QEMU makes it";
    if (access(where.path.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
        return printable(where.path, 300) + ": permission denied (QEMU's sockets belong to the group "
                            "libvirt-qemu: usermod -aG libvirt-qemu USER)";
    return {};
}

}  // namespace

libvirt_source::libvirt_source(std::string uri) : uri_(std::move(uri)) {
    virSetErrorFunc(nullptr, ignore_error);
    if (virEventRegisterDefaultImpl() == 0)
        event_loop_ = std::thread([this] {
            while (!stopping_) virEventRunDefaultImpl();
        });
}

libvirt_source::~libvirt_source() {
    if (connection_ != nullptr) virConnectClose(connection_);
    if (!event_loop_.joinable()) return;
    stopping_ = true;
    // A timer due at once wakes the loop to see the stop.
    int timer = virEventAddTimeout(0, [](int, void*) {}, nullptr, nullptr);
    event_loop_.join();
    if (timer >= 0) virEventRemoveTimeout(timer);
}

bool libvirt_source::connect() {
    if (connection_ != nullptr) return true;
    connection_ = virConnectOpenReadOnly(uri_.c_str());
    if (connection_ == nullptr) {
        if (!reported_down_)
            report("libvirt %s: %s; trying again", printable(uri_, 300).c_str(),
                   last_error().c_str());
        reported_down_ = true;
        return false;
    }
    // Checks every 5 s; three checks unanswered close the connection.
    virConnectSetKeepAlive(connection_, 5, 3);
    if (reported_down_ || was_connected_)
        report("libvirt %s: connected again", printable(uri_, 300).c_str());
    else
        report("libvirt %s: connected", printable(uri_, 300).c_str());
    reported_down_ = false;
    was_connected_ = true;
    return true;
}

void libvirt_source::disconnect(const std::string& why) {
    report("libvirt %s: connection lost: %s; trying again", printable(uri_, 300).c_str(),
           why.c_str());
    reported_down_ = true;
    virConnectClose(connection_);
    connection_ = nullptr;
    known_.clear();
    listed_ids_.reset();
    relist_ = true;  // domains may have stopped meanwhile: the next listing replaces them all
}

bool libvirt_source::running_ids(std::vector<int>* ids, bool* complete) {
    int running = virConnectNumOfDomains(connection_);
    if (running < 0) return false;
    ids->assign(static_cast<std::size_t>(running) + 16, 0);  // room for domains started meanwhile
    int count = virConnectListDomains(connection_, ids->data(), static_cast<int>(ids->size()));
    if (count < 0) return false;
    *complete = static_cast<std::size_t>(count) < ids->size();
    ids->resize(static_cast<std::size_t>(count));
    std::sort(ids->begin(), ids->end());
    return true;
}

std::optional<bool> libvirt_source::list() {
    if (!connect()) return std::nullopt;
    // The ids first: one small reply and no domain objects. A running domain keeps its id, and
    // one that starts, again or anew, gets a new one: the same ids are the same domains.
    std::vector<int> ids;
    bool complete = false;
    if (!running_ids(&ids, &complete)) {
        disconnect(last_error());
        return std::nullopt;
    }
    if (complete && listed_ids_ == ids) return false;
    // Kept only when every domain is read below; a domain that comes or goes meanwhile makes the
    // next ids differ.
    listed_ids_.reset();
    if (complete) listed_ids_ = std::move(ids);

    virDomainPtr* listed = nullptr;
    int count = virConnectListAllDomains(connection_, &listed, VIR_CONNECT_LIST_DOMAINS_ACTIVE);
    if (count < 0) {
        disconnect(last_error());
        return std::nullopt;
    }
    std::vector<std::unique_ptr<virDomain, domain_deleter>> domains;
    for (int i = 0; i < count; ++i) domains.emplace_back(listed[i]);
    free(listed);

    std::map<std::string, known_domain> known;
    for (const auto& domain : domains) {
        unsigned char uuid[VIR_UUID_BUFLEN];
        const char* name = virDomainGetName(domain.get());
        if (name == nullptr || virDomainGetUUID(domain.get(), uuid) != 0) {
            listed_ids_.reset();  // read it again next time
            continue;
        }
        // A domain that started again has a new id, and may have a new channel path.
        std::string key(reinterpret_cast<const char*>(uuid), sizeof uuid);
        key += std::to_string(virDomainGetID(domain.get()));
        auto same = known_.find(key);
        if (same != known_.end()) {
            known.insert(*same);
        } else {
            char uuid_text[VIR_UUID_STRING_BUFLEN] = {};
            char* xml = virDomainGetXMLDesc(domain.get(), 0);
            if (xml == nullptr || virDomainGetUUIDString(domain.get(), uuid_text) != 0) {
                free(xml);
                listed_ids_.reset();  // stopped since the listing, or read it again next time
                continue;
            }
            std::optional<domain_channel> channel = find_agent_channel(xml);
            free(xml);
            if (!channel) {
                listed_ids_.reset();
                continue;
            }
            known.emplace(key, known_domain{uuid_text, name, *channel});
        }
    }
    // A running domain keeps its name and channel: the same uuids and ids, the same domains.
    bool changed = known.size() != known_.size() ||
                   !std::equal(known.begin(), known.end(), known_.begin(),
                               [](const auto& a, const auto& b) { return a.first == b.first; });
    changed = changed || relist_;
    relist_ = false;
    known_ = std::move(known);
    if (!changed) return false;
    domains_.clear();
    for (const auto& [key, domain] : known_)
        domains_.push_back({domain.name, domain.uuid, domain.channel});
    return true;
}

libvirt_follower::libvirt_follower(std::string uri, vm_pollers& pollers, fleet& sink,
                                   std::set<std::string> fixed_names)
    : source_(std::move(uri)), pollers_(pollers), sink_(sink),
      fixed_names_(std::move(fixed_names)) {}

void libvirt_follower::report_once(const std::string& name, const std::string& problem) {
    auto& last = reported_[name];
    if (last == problem) return;
    last = problem;
    report("%s: %s", shown_name(name).c_str(), problem.c_str());
}

void libvirt_follower::refresh() {
    std::optional<bool> changed = source_.list();
    if (!changed) {
        // The domains run on without libvirtd: their pollers go on until it is back.
        sink_.set_libvirt_state(false, without_channel_);
        return;
    }
    if (!*changed) {
        sink_.set_libvirt_state(true, without_channel_);
        return;
    }
    const std::vector<discovered_domain>* domains = &source_.domains();
    int without_channel = 0;
    std::set<std::string> seen;
    const auto running = pollers_.endpoints();
    for (const discovered_domain& domain : *domains) {
        if (domain.channel.kind != domain_channel::kind_type::found) {
            ++without_channel;
            if (domain.channel.kind == domain_channel::kind_type::not_a_socket)
                report_once(domain.name, domain.channel.problem);
            continue;
        }
        // Names from libvirt become labels and words of messages like those of the command line.
        if (std::optional<std::string> problem = vm_name_problem(domain.name)) {
            report_once(domain.name, "not polled: its VM name is " + *problem);
            continue;
        }
        if (fixed_names_.count(domain.name) != 0) {
            report_once(domain.name, "a libvirt domain of the name of a --vm; only the --vm is "
                                     "polled");
            continue;
        }
        seen.insert(domain.name);
        vm_endpoint vm{domain.name, domain.channel.where, domain.uuid};
        auto same = running.find(vm.name);
        if (same != running.end()) {
            if (same->second == endpoint_text(vm.where)) continue;
            pollers_.stop(vm.name);  // started again, with a new channel path
        }
        std::string problem = socket_problem(vm.where);
        if (!problem.empty()) report_once(vm.name, problem);
        pollers_.start(vm);
        polled_.insert(vm.name);
        report("%s: polling %s", vm.name.c_str(), printable(endpoint_text(vm.where), 300).c_str());
    }
    for (auto name = polled_.begin(); name != polled_.end();) {
        if (seen.count(*name) != 0) {
            ++name;
            continue;
        }
        report("%s: domain stopped, no longer polled", name->c_str());
        pollers_.stop(*name);
        reported_.erase(*name);
        name = polled_.erase(name);
    }
    without_channel_ = without_channel;
    sink_.set_libvirt_state(true, without_channel);
}
