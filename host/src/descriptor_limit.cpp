#include "descriptor_limit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "report.h"

namespace {

// For HTTP connections, libvirt, name lookups and files read now and then.
constexpr long long kReserved = 256;

std::atomic<long long> g_limit{std::numeric_limits<long long>::max()};
std::atomic<long long> g_poller_share{std::numeric_limits<long long>::max()};

}  // namespace

void raise_descriptor_limit() {
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            report("cannot raise the limit of open files from %llu to %llu: %s",
                   static_cast<unsigned long long>(soft),
                   static_cast<unsigned long long>(limit.rlim_max), std::strerror(errno));
            limit.rlim_cur = soft;
        }
    }
    long long usable =
        limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > static_cast<rlim_t>(1LL << 40)
            ? 1LL << 40
            : static_cast<long long>(limit.rlim_cur);
    g_limit = usable;
    g_poller_share = usable - open_descriptors() - kReserved;
}

bool take_poller_descriptors(int count) {
    long long left = g_poller_share.load();
    while (left >= count)
        if (g_poller_share.compare_exchange_weak(left, left - count)) return true;
    return false;
}

void return_poller_descriptors(int count) {
    g_poller_share += count;
}

long long descriptor_limit() {
    return g_limit;
}

long long open_descriptors() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return 16;
    long long count = 0;
    while (dirent* entry = readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    closedir(folder);
    return count - 1;  // the folder's own
}
