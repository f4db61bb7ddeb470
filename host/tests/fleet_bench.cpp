// scripts/bench --host: one exporter polling a fleet of simulated guests that answer as the
// agent does (the report about 3 s after the request: the agent's 1 s wait before a read and
// its 2 s CPU window). Prints the exporter's CPU share and memory, and how long a reply takes to
// show on /metrics; then the CPU of one poll of a reply trickled a byte per write, and the HTTP
// side's figures of web_bench.cpp. Asserts nothing.
// With --libvirt the exporter finds the guests as domains of libvirt's test driver (a node file
// of GUESTS domains), so that the cost of listing them again and again shows.
// Usage: fleet_bench VORNA_HOST_EXE [GUESTS [INTERVAL [CPU_SECONDS [LATENCY_SECONDS]]]] [--libvirt]
//        fleet_bench VORNA_HOST_EXE web   (the HTTP side's figures alone)
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "protocol.h"
#include "support/exposition.h"
#include "support/process.h"
#include "support/sim_guest.h"
#include "web_bench.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

long long wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

// The node file of libvirt's test driver: one running domain a guest, its channel the guest's
// socket; the exporter's command line that polls them through libvirt.
std::vector<std::string> libvirt_fleet(const std::string& exe, int guests, int interval) {
    char folder[4096];
    std::string here = getcwd(folder, sizeof folder) != nullptr ? folder : ".";
    std::ofstream node("fleet/node.xml");
    node << "<node>\n";
    for (int i = 1; i <= guests; ++i)
        node << "<domain type='test'><name>guest" << i << "</name><memory>1048576</memory>"
             << "<os><type>hvm</type></os><devices><channel type='unix'><source mode='bind' "
             << "path='" << here << "/fleet/domain-" << i << "-guest" << i
             << "/com.vorna.vm.stats_agent.0'/><target type='virtio' "
             << "name='com.vorna.vm.stats_agent.0'/></channel></devices></domain>\n";
    node << "</node>\n";
    return {exe, "export", "--listen", "127.0.0.1:0", "--interval", std::to_string(interval),
            "--libvirt", "test://" + here + "/fleet/node.xml"};
}

// CPU of one poll of a guest that sends an unfinished reply one byte per write, up to the cap.
void bench_trickled_reply(const char* host_exe) {
    sim_guest_options options;
    options.behaviour = guest_behaviour::trickle;
    sim_guest guest("trickle.sock", options);
    child_process exporter({host_exe, "export", "--listen", "127.0.0.1:0", "--interval", "3600",
                            "--timeout", "120", "--vm", "trickle=" + guest.endpoint()});
    if (!exporter.wait_for_err("serving /metrics on", 10s)) return;
    double cpu_before = cpu_seconds(exporter.pid());
    auto start = clock_type::now();
    bool ended = exporter.wait_for_err("trickle: down", 180s).has_value();
    std::printf("one poll of an unfinished %zu KiB reply sent one byte per write: %.2f s CPU "
                "over %.1f s%s\n",
                kMaxReplyBytes / 1024, cpu_seconds(exporter.pid()) - cpu_before,
                std::chrono::duration<double>(clock_type::now() - start).count(),
                ended ? "" : " (the poll had not ended)");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fleet_bench VORNA_HOST_EXE [GUESTS [INTERVAL [CPU_S [LATENCY_S]]]]\n");
        return 2;
    }
    if (argc > 2 && std::string(argv[2]) == "web") {  // the HTTP side's figures alone
        bench_web_side(argv[1], 300);
        return 0;
    }
    bool through_libvirt = std::string(argv[argc - 1]) == "--libvirt";
    if (through_libvirt) --argc;
    int guests = argc > 2 ? std::atoi(argv[2]) : 200;
    int interval = argc > 3 ? std::atoi(argv[3]) : 15;
    int cpu_window = argc > 4 ? std::atoi(argv[4]) : 60;
    int latency_window = argc > 5 ? std::atoi(argv[5]) : 30;

    // A libvirt-like channel folder; each report carries the wall time it was sent at, in ms,
    // as its commit available (and its commit limit, so that it stays plausible), so the scrape
    // that first shows it tells the delay.
    mkdir("fleet", 0755);
    std::vector<std::unique_ptr<sim_guest>> fleet;
    for (int i = 1; i <= guests; ++i) {
        std::string folder = "fleet/domain-" + std::to_string(i) + "-guest" + std::to_string(i);
        mkdir(folder.c_str(), 0755);
        sim_guest_options options;
        options.report_delay = 3s;
        options.report = [] {
            sim_figures figures = kSimFigures;
            std::string now = std::to_string(wall_ms());
            figures[static_cast<std::size_t>(figure_id::commit_limit)] = now;
            figures[static_cast<std::size_t>(figure_id::commit_available)] = now;
            return sim_report("CMDV", figures);
        };
        fleet.push_back(
            std::make_unique<sim_guest>(folder + "/com.vorna.vm.stats_agent.0", options));
    }

    child_process exporter(
        through_libvirt ? libvirt_fleet(argv[1], guests, interval)
                        : std::vector<std::string>{argv[1], "export", "--listen", "127.0.0.1:0",
                                                   "--interval", std::to_string(interval),
                                                   "--vm-glob",
                                                   "fleet/domain-*/com.vorna.vm.stats_agent.0"});
    auto port_text = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    if (!port_text) {
        std::fprintf(stderr, "the exporter did not start: %s\n", exporter.err().c_str());
        return 1;
    }
    int port = std::stoi(*port_text);
    auto scrape = [&] { return http_get(port, "/metrics", 10s).value_or(""); };
    auto up_count = [&](const std::string& text) {
        int up = 0;
        for (int i = 1; i <= guests; ++i)
            if (sample_of(text, "vorna_up", "guest" + std::to_string(i)) == 1.0) ++up;
        return up;
    };

    auto started = clock_type::now();
    std::string text;
    eventually(std::chrono::seconds(interval + 30), [&] { return up_count(text = scrape()) == guests; });
    std::printf("fleet of %d simulated guests%s, interval %d s: %d up after %.1f s\n", guests,
                through_libvirt ? " found through libvirt" : "", interval, up_count(text),
                std::chrono::duration<double>(clock_type::now() - started).count());

    // CPU and memory with one scrape an interval, as Prometheus would.
    double cpu_before = cpu_seconds(exporter.pid());
    auto window_start = clock_type::now();
    std::size_t scrape_bytes = 0;
    double scrape_ms = 0;
    while (clock_type::now() - window_start < std::chrono::seconds(cpu_window)) {
        auto before = clock_type::now();
        scrape_bytes = scrape().size();
        scrape_ms = std::chrono::duration<double, std::milli>(clock_type::now() - before).count();
        std::this_thread::sleep_for(std::chrono::seconds(interval) - (clock_type::now() - before));
    }
    double wall = std::chrono::duration<double>(clock_type::now() - window_start).count();
    double cpu = cpu_seconds(exporter.pid()) - cpu_before;
    std::printf("exporter CPU: %.2f s over %.0f s = %.2f%% of one core (one scrape every %d s)\n",
                cpu, wall, 100 * cpu / wall, interval);
    std::printf("exporter memory: VmRSS %s, VmHWM %s, threads %s\n",
                status_field(exporter.pid(), "VmRSS").c_str(),
                status_field(exporter.pid(), "VmHWM").c_str(),
                status_field(exporter.pid(), "Threads").c_str());
    std::printf("one scrape: %zu bytes in %.1f ms\n", scrape_bytes, scrape_ms);

    // From a reply's sending to its figure on /metrics, with a scrape every 10 ms. The pollers
    // start together, so the whole fleet's replies come at once.
    std::map<std::string, double> seen;
    std::vector<double> delays;
    window_start = clock_type::now();
    while (clock_type::now() - window_start < std::chrono::seconds(latency_window)) {
        text = scrape();
        long long now = wall_ms();
        for (int i = 1; i <= guests; ++i) {
            std::string vm = "guest" + std::to_string(i);
            auto sent = sample_of(text, "vorna_commit_available_bytes", vm);
            if (!sent) continue;
            auto& last = seen[vm];
            if (last != 0 && *sent != last) delays.push_back(static_cast<double>(now) - *sent / 1024);
            last = *sent;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::printf("reply to /metrics (%zu replies, scrape every 10 ms): median %.0f ms, p95 %.0f ms, "
                "max %.0f ms\n",
                delays.size(), percentile(delays, 0.5), percentile(delays, 0.95),
                percentile(delays, 1.0));
    fleet.clear();
    exporter.stop(SIGTERM);

    bench_trickled_reply(argv[1]);
    bench_web_side(argv[1], 300);
    return 0;
}
