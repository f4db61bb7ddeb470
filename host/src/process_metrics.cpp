#include "process_metrics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "descriptor_limit.h"
#include "families.h"

namespace {

double boot_time_seconds() {
    std::ifstream in("/proc/stat");
    std::string key;
    double value = 0;
    while (in >> key)
        if (key == "btime" && in >> value) return value;
    return 0;
}

}  // namespace

std::vector<prometheus::MetricFamily> render_process_metrics() {
    using prometheus::MetricType;
    std::vector<prometheus::MetricFamily> families;
    // /proc/self/stat: the fields after the command's closing parenthesis, from the third.
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t end = text.rfind(')');
    if (end == std::string::npos) return families;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double utime = 0, stime = 0, start_ticks = 0, virtual_bytes = 0, resident_pages = 0;
    for (int i = 3; i <= 24 && fields >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) stime = std::stod(field);
        if (i == 22) start_ticks = std::stod(field);
        if (i == 23) virtual_bytes = std::stod(field);
        if (i == 24) resident_pages = std::stod(field);
    }
    auto ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    auto page = static_cast<double>(sysconf(_SC_PAGESIZE));
    families.push_back(single("process_cpu_seconds_total",
                              "Total user and system CPU time spent in seconds.",
                              MetricType::Counter, (utime + stime) / ticks));
    families.push_back(single("process_resident_memory_bytes", "Resident memory size in bytes.",
                              MetricType::Gauge, resident_pages * page));
    families.push_back(single("process_virtual_memory_bytes", "Virtual memory size in bytes.",
                              MetricType::Gauge, virtual_bytes));
    families.push_back(single("process_start_time_seconds",
                              "Start time of the process since unix epoch in seconds.",
                              MetricType::Gauge, boot_time_seconds() + start_ticks / ticks));
    families.push_back(single("process_open_fds", "Number of open file descriptors.",
                              MetricType::Gauge, static_cast<double>(open_descriptors())));
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        families.push_back(single("process_max_fds", "Maximum number of open file descriptors.",
                                  MetricType::Gauge, static_cast<double>(limit.rlim_cur)));
    return families;
}
