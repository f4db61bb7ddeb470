// A simulated stats host that times the agent's replies and compares its CPU figure with the
// share that /proc/stat gives over the same window. Prints a table; asserts nothing.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/pipe_host.h"
#include "e2e/stats_exchange.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int kReplyTimeoutMs = 15000;
// Past the agent's 1 s wait before a read: it is then blocked in the read and takes a message
// as soon as it lands, so its CPU window starts at the send.
constexpr int kSettleMs = 1500;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The machine's CPU time from the Linux side (Wine shows the Linux root as drive Z:).
struct proc_stat {
    std::uint64_t busy = 0;
    std::uint64_t idle = 0;
};

proc_stat read_proc_stat() {
    std::ifstream in("Z:\\proc\\stat");
    std::string line;
    std::getline(in, line);  // "cpu  user nice system idle iowait irq softirq steal ..."
    std::istringstream fields(line);
    std::string label;
    std::uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                  steal = 0;
    fields >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    if (label != "cpu") {
        std::fprintf(stderr, "bench: cannot read Z:\\proc\\stat\n");
        std::exit(1);
    }
    return {user + nice + system + irq + softirq + steal, idle + iowait};
}

double busy_share(const proc_stat& first, const proc_stat& second) {
    auto busy = static_cast<double>(second.busy - first.busy);
    auto idle = static_cast<double>(second.idle - first.idle);
    return busy + idle > 0 ? 100.0 * busy / (busy + idle) : 0.0;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench: %s\n", what);
    std::exit(1);
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

// Seconds from the write to the complete reply, each message written as soon as the previous
// reply is in: the agent then reads after its 1 s wait, which is the floor with the CPU window.
std::vector<double> time_requests(pipe_host& host, const std::string& message, int count) {
    std::vector<double> seconds;
    for (int i = 0; i < count; ++i) {
        auto sent = clock_type::now();
        if (!host.send(message)) fail("write failed");
        std::string reply = message == "PING" ? host.receive(4, kReplyTimeoutMs)
                                              : receive_object(host, kReplyTimeoutMs);
        if (reply.empty() || (message == "PING" && reply != "PONG")) fail("no reply");
        seconds.push_back(seconds_since(sent));
    }
    return seconds;
}

void print_latency(const char* request, double floor, const std::vector<double>& seconds) {
    std::printf("%-12s %5d %6.0f s %8.3f %8.3f %8.3f %8.3f\n", request,
                static_cast<int>(seconds.size()), floor,
                *std::min_element(seconds.begin(), seconds.end()) / floor,
                percentile(seconds, 0.5) / floor, percentile(seconds, 0.9) / floor,
                *std::max_element(seconds.begin(), seconds.end()) / floor);
}

struct cpu_result {
    double agent_mean = 0, linux_mean = 0, error_mean = 0, error_max = 0;
};

cpu_result compare_cpu(pipe_host& host, unsigned threads, int count) {
    busy_load load(threads);
    cpu_result result;
    for (int i = 0; i < count; ++i) {
        Sleep(kSettleMs);
        proc_stat before = read_proc_stat();
        if (!host.send("GSTATS:C")) fail("write failed");
        std::string reply = receive_object(host, kReplyTimeoutMs);
        proc_stat after = read_proc_stat();
        auto percent = nlohmann::json::parse(reply)["cpu"]["percent"].get<double>();
        double share = busy_share(before, after);
        result.agent_mean += percent / count;
        result.linux_mean += share / count;
        result.error_mean += (percent - share) / count;
        result.error_max = std::max(result.error_max, std::abs(percent - share));
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PIPE-PATH [REQUESTS]\n", argv[0]);
        return 2;
    }
    int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    unsigned processors = info.dwNumberOfProcessors;

    pipe_host host(argv[1]);
    if (!host.wait_for_agent(30000)) fail("the agent did not connect");
    time_requests(host, "PING", 1);  // in step with the agent's reads

    std::printf("Latency: the host's write to the complete reply, %d requests each, as a ratio "
                "to the floor\n\n",
                count);
    std::printf("%-12s %5s %8s %8s %8s %8s %8s\n", "request", "n", "floor", "min", "median",
                "p90", "max");
    print_latency("PING", 1.0, time_requests(host, "PING", count));
    print_latency("GSTATS:CMD", 3.0, time_requests(host, "GSTATS:CMD", count));

    int cpu_count = std::max(3, count / 2);
    std::printf("\nCPU percent against /proc/stat over the same window, %d requests a load, "
                "%u processors\n\n",
                cpu_count, processors);
    std::printf("%-16s %8s %12s %13s %13s\n", "load", "agent %", "/proc/stat %", "mean error",
                "max |error|");
    std::vector<unsigned> loads = {0, std::max(1u, processors / 2), processors};
    loads.erase(std::unique(loads.begin(), loads.end()), loads.end());
    for (unsigned threads : loads) {
        cpu_result result = compare_cpu(host, threads, cpu_count);
        std::string label = threads == 0 ? std::string("none")
                                         : std::to_string(threads) + " busy thread" +
                                               (threads == 1 ? "" : "s");
        std::printf("%-16s %8.2f %12.2f %+10.2f pt %10.2f pt\n", label.c_str(), result.agent_mean,
                    result.linux_mean, result.error_mean, result.error_max);
    }
    std::fflush(stdout);
    return 0;
}
