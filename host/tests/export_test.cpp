// vorna-stats-host export polling simulated guests, some of them faulty, read through /metrics
// and through a real Prometheus server.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "support/exposition.h"
#include "support/process.h"
#include "support/sim_guest.h"

namespace {

using namespace std::chrono_literals;

constexpr char kGlobbed[] = "chan/domain-4-globbed/com.vorna.vm.stats_agent.0";
// Two VMs whose names libvirt cut to the same characters, and one whose name is unsafe.
constexpr char kTwin7[] = "chan/domain-7-twin/com.vorna.vm.stats_agent.0";
constexpr char kTwin8[] = "chan/domain-8-twin/com.vorna.vm.stats_agent.0";
constexpr char kUnsafe[] = "chan/domain-9-a\x1b[2J/com.vorna.vm.stats_agent.0";

// One exporter for the suite, polling every second with a 4 s timeout.
class ExportTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        mkdir("sock", 0755);
        mkdir("chan", 0755);
        for (const char* folder : {"chan/domain-4-globbed", "chan/domain-7-twin",
                                   "chan/domain-8-twin", "chan/domain-9-a\x1b[2J"})
            mkdir(folder, 0755);
        auto guest = [](const char* path, guest_behaviour behaviour) {
            sim_guest_options options;
            options.behaviour = behaviour;
            return std::make_unique<sim_guest>(path, options);
        };
        guests_["good"] = guest("sock/good", guest_behaviour::agent);
        sim_guest_options before_v;
        before_v.knows_volumes = false;
        guests_["old"] = std::make_unique<sim_guest>("sock/old", before_v);
        guests_["tcp"] = guest("", guest_behaviour::agent);
        guests_["silent"] = guest("sock/silent", guest_behaviour::silent);
        guests_["closer"] = guest("sock/closer", guest_behaviour::close_mid_reply);
        guests_["garbage"] = guest("sock/garbage", guest_behaviour::garbage);
        guests_["restarting"] = guest("sock/restarting", guest_behaviour::agent);
        guests_["globbed"] = guest(kGlobbed, guest_behaviour::agent);
        guests_["domain-7-twin"] = guest(kTwin7, guest_behaviour::agent);
        guests_["domain-8-twin"] = guest(kTwin8, guest_behaviour::agent);
        guests_["unsafe"] = guest(kUnsafe, guest_behaviour::agent);

        std::vector<std::string> argv = {host_exe(), "export", "--listen", "127.0.0.1:0",
                                         "--interval", "1", "--timeout", "4",
                                         "--vm-glob", "chan/domain-*/com.vorna.vm.stats_agent.0"};
        for (const auto& [name, guest_ptr] : guests_)
            if (guest_ptr->endpoint().find("chan/") == std::string::npos) {
                argv.push_back("--vm");
                argv.push_back(name + "=" + guest_ptr->endpoint());
            }
        exporter_ = std::make_unique<child_process>(argv);
        std::optional<std::string> port = exporter_->wait_for_err("serving /metrics on 127.0.0.1:", 10s);
        ASSERT_TRUE(port) << exporter_->err();
        port_ = std::stoi(*port);
    }
    static void TearDownTestSuite() {
        if (exporter_) {
            EXPECT_EQ(exporter_->stop(SIGTERM), 0);
        }
        exporter_.reset();
        guests_.clear();
    }

    static std::string metrics() { return http_get(port_, "/metrics").value_or(""); }

    // Waits until every VM's vorna_up is as given; the last exposition.
    static std::string wait_for_up(const std::map<std::string, double>& want) {
        std::string text;
        eventually(20s, [&] {
            text = metrics();
            for (const auto& [vm, up] : want)
                if (sample_of(text, "vorna_up", vm) != up) return false;
            return true;
        });
        return text;
    }

    static const std::map<std::string, double> kSteadyState;
    static std::map<std::string, std::unique_ptr<sim_guest>> guests_;
    static std::unique_ptr<child_process> exporter_;
    static int port_;
};

const std::map<std::string, double> ExportTest::kSteadyState = {
    {"good", 1}, {"old", 1}, {"tcp", 1}, {"restarting", 1}, {"globbed", 1},
    {"domain-7-twin", 1}, {"domain-8-twin", 1},
    {"silent", 0}, {"closer", 0}, {"garbage", 0}};
std::map<std::string, std::unique_ptr<sim_guest>> ExportTest::guests_;
std::unique_ptr<child_process> ExportTest::exporter_;
int ExportTest::port_ = 0;

double failures_of(const std::string& text, const std::string& vm, const std::string& reason) {
    std::string head = "vorna_poll_failures_total{vm=\"" + vm + "\",reason=\"" + reason + "\"} ";
    std::size_t at = text.find(head);
    return at == std::string::npos ? -1 : std::stod(text.substr(at + head.size()));
}

const char* const kFigureNames[] = {
    "vorna_cpus", "vorna_cpu_busy_ratio", "vorna_memory_total_bytes",
    "vorna_memory_available_bytes", "vorna_commit_limit_bytes", "vorna_commit_available_bytes",
    "vorna_disk_used_bytes", "vorna_disk_free_bytes", "vorna_disk_total_bytes"};

TEST_F(ExportTest, EachVmIsServedForWhatItAnswers) {
    std::string text = wait_for_up(kSteadyState);
    for (const auto& [vm, up] : kSteadyState) {
        EXPECT_EQ(sample_of(text, "vorna_up", vm), up) << vm << "\n" << text;
        for (const char* figure : kFigureNames)
            EXPECT_EQ(sample_of(text, figure, vm).has_value(), up == 1) << vm << " " << figure;
    }
    EXPECT_EQ(sample_of(text, "vorna_memory_total_bytes", "good"), kSimMemTotalKib * 1024.0);
    EXPECT_EQ(sample_of(text, "vorna_disk_total_bytes", "tcp"), kSimDiskTotalKib * 1024.0);
    EXPECT_EQ(sample_of(text, "vorna_cpus", "globbed"), 4.0);
    EXPECT_EQ(sample_of(text, "vorna_cpu_busy_ratio", "good"), 0.25);
    // Faulty guests never answered: they have no time of a good reply, and a failure count.
    EXPECT_FALSE(sample_of(text, "vorna_last_success_timestamp_seconds", "silent"));
    EXPECT_TRUE(eventually(10s, [&] {
        text = metrics();
        return failures_of(text, "silent", "timeout") > 0 &&
               failures_of(text, "garbage", "invalid") > 0;
    })) << text;

    // A new agent's volumes, with its failed probe, beside an agent's from before V: drive C:
    // alone, its log line once.
    const std::string volume_lines[] = {
        R"(vorna_volume_total_bytes{vm="good",volume="C:"} 32212254720)",
        R"(vorna_volume_free_bytes{vm="good",volume="D:"} 0)",
        R"(vorna_volume_free_bytes{vm="good",volume="C:\\Data\\Logs"} 3221225472)",
        R"(vorna_volume_total_bytes{vm="good",volume="\\\\?\\Volume{0b4c3f2e-7d6a-4e59-8c1b-2a3f4e5d6c7b}\\"} 524288000)",
        R"(vorna_probe_failed{vm="good",fragment="volume",volume="E:"} 1)",
        R"(vorna_probe_failed{vm="good",fragment="volumes"} 0)",
        R"(vorna_volume_info{vm="good",volume="D:",paths="D:\\;C:\\Data\\Archive\\",label="Donn)"
        "\xc3\xa9" R"(es",fs="ReFS"} 1)",
    };
    for (const std::string& line : volume_lines)
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(text.find(R"(vorna_volume_total_bytes{vm="good",volume="E:"})"), std::string::npos);
    EXPECT_EQ(text.find(R"({vm="old",volume)"), std::string::npos);
    EXPECT_EQ(text.find(R"({vm="old",fragment="volume)"), std::string::npos);

    // VMs of one name are told apart; a name that is unsafe never shows, raw or at all.
    EXPECT_FALSE(sample_of(text, "vorna_up", "twin"));
    EXPECT_EQ(text.find("\x1b"), std::string::npos);
    EXPECT_EQ(text.find("2J"), std::string::npos);
    std::string log = exporter_->err();
    EXPECT_NE(log.find("two VMs are named twin"), std::string::npos) << log;
    EXPECT_NE(log.find("domain-9-a\\x1b[2J"), std::string::npos) << log;
    EXPECT_EQ(log.find("\x1b"), std::string::npos) << log;
    std::string before_v = "old: its agent reports no volumes (it predates V)";
    EXPECT_NE(log.find(before_v), std::string::npos) << log;
    EXPECT_EQ(log.find(before_v, log.find(before_v) + 1), std::string::npos) << log;
    EXPECT_NE(log.find("good: the guest's probe failed, its figures not served: volume E:"),
              std::string::npos) << log;

    std::ofstream("exposition.txt") << text;
    process_result lint =
        run_process({"sh", "-c", "promtool check metrics < exposition.txt"}, 20s);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
}

TEST_F(ExportTest, PrometheusScrapesTheFigures) {
    wait_for_up(kSteadyState);
    std::string folder = "prometheus-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        << "scrape_configs:\n  - job_name: vorna\n    static_configs:\n"
        << "      - targets: ['127.0.0.1:" << port_ << "']\n";
    int web_port = free_port();
    child_process prometheus({"prometheus", "--config.file=" + folder + "/prometheus.yml",
                              "--storage.tsdb.path=" + folder + "/data",
                              "--web.listen-address=127.0.0.1:" + std::to_string(web_port)});

    auto query = [&](const std::string& expression) {
        std::map<std::string, double> values;
        auto body = http_get(web_port, "/api/v1/query?query=" + expression);
        if (!body) return values;
        auto reply = nlohmann::json::parse(*body, nullptr, false);
        if (reply.is_discarded() || reply.value("status", "") != "success") return values;
        for (const auto& series : reply["data"]["result"])
            values[series["metric"]["vm"].get<std::string>()] =
                std::stod(series["value"][1].get<std::string>());
        return values;
    };
    std::map<std::string, double> up;
    EXPECT_TRUE(eventually(60s, [&] { return (up = query("vorna_up")) == kSteadyState; }))
        << prometheus.err();
    std::map<std::string, double> memory;
    EXPECT_TRUE(eventually(10s, [&] {
        return (memory = query("vorna_memory_total_bytes")).size() == 7;
    }));
    EXPECT_EQ(memory["good"], kSimMemTotalKib * 1024.0);
    EXPECT_EQ(memory.count("silent"), 0u);
    prometheus.stop(SIGTERM);
    run_process({"rm", "-rf", folder}, 20s);
}

TEST_F(ExportTest, GuestThatRestartsIsDownThenBackWhileOthersAreServed) {
    wait_for_up(kSteadyState);
    guests_["restarting"].reset();
    std::map<std::string, double> down = kSteadyState;
    down["restarting"] = 0;
    std::string text = wait_for_up(down);
    EXPECT_EQ(sample_of(text, "vorna_up", "restarting"), 0.0);
    EXPECT_FALSE(sample_of(text, "vorna_memory_total_bytes", "restarting"));
    EXPECT_TRUE(sample_of(text, "vorna_last_success_timestamp_seconds", "restarting"));
    // Polled every 2 s (the report's CPU window) while three guests time out or fail beside it.
    double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_GT(sample_of(text, "vorna_last_success_timestamp_seconds", "good").value_or(0),
              now - 5.0);

    guests_["restarting"] = std::make_unique<sim_guest>("sock/restarting", sim_guest_options{});
    text = wait_for_up(kSteadyState);
    EXPECT_EQ(sample_of(text, "vorna_up", "restarting"), 1.0);
    EXPECT_EQ(sample_of(text, "vorna_memory_total_bytes", "restarting"), kSimMemTotalKib * 1024.0);
}

TEST_F(ExportTest, VmWhoseChannelGoesAwayIsNoLongerExported) {
    wait_for_up(kSteadyState);
    guests_["globbed"].reset();  // removes its socket, as libvirt does when a domain stops
    EXPECT_TRUE(eventually(10s, [] { return !sample_of(metrics(), "vorna_up", "globbed"); }));
    EXPECT_EQ(sample_of(metrics(), "vorna_up", "good"), 1.0);
}

// Many VMs under a low soft limit on open files: the exporter raises it to the hard one, as the
// unit's LimitNOFILE= leaves it; past the hard one, the VMs that get no descriptor are down for
// reason resources while the others and /metrics are served, and nothing aborts.
TEST(DescriptorTest, SoftLimitIsRaisedAndVmsBeyondTheHardOneAreDownNotFatal) {
    mkdir("fd-fleet", 0755);
    std::vector<std::unique_ptr<sim_guest>> guests;
    for (int i = 0; i < 100; ++i) {
        std::string folder = "fd-fleet/domain-" + std::to_string(i) + "-vm" + std::to_string(i);
        mkdir(folder.c_str(), 0755);
        guests.push_back(std::make_unique<sim_guest>(folder + "/com.vorna.vm.stats_agent.0",
                                                     sim_guest_options{}));
    }
    auto exporter_under = [&](const std::string& limits) {
        return std::make_unique<child_process>(std::vector<std::string>{
            "sh", "-c", limits + " && exec \"$0\" \"$@\"", host_exe(), "export",
            "--listen", "127.0.0.1:0", "--interval", "1", "--timeout", "4", "--vm-glob",
            "fd-fleet/domain-*/com.vorna.vm.stats_agent.0"});
    };
    auto count_up = [](const std::string& text) {
        int up = 0;
        for (int i = 0; i < 100; ++i) up += sample_of(text, "vorna_up", "vm" + std::to_string(i)) == 1.0;
        return up;
    };

    // 100 VMs need about 200 descriptors.
    auto raised = exporter_under("ulimit -S -n 64");
    auto port = raised->wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    ASSERT_TRUE(port) << raised->err();
    std::string text;
    EXPECT_TRUE(eventually(30s, [&] {
        text = http_get(std::stoi(*port), "/metrics").value_or("");
        return count_up(text) == 100;
    })) << count_up(text) << " up\n" << raised->err();
    std::size_t at = text.find("\nprocess_max_fds ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(std::stod(text.substr(at + 17)), 64.0);
    EXPECT_EQ(raised->stop(SIGTERM), 0);

    // The hard limit leaves about 30 descriptors to the pollers beside what serving needs.
    auto capped = exporter_under("ulimit -n 300");
    port = capped->wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    ASSERT_TRUE(port) << capped->err();
    int up = 0;
    EXPECT_TRUE(eventually(30s, [&] {
        text = http_get(std::stoi(*port), "/metrics").value_or("");
        up = count_up(text);
        return up >= 10;
    })) << capped->err();
    int lacking = 0;
    for (int i = 0; i < 100; ++i) {
        std::string vm = "vm" + std::to_string(i);
        lacking += failures_of(text, vm, "resources") > 0 && sample_of(text, "vorna_up", vm) == 0.0;
    }
    EXPECT_EQ(up + lacking, 100) << text;
    EXPECT_GT(lacking, 50);
    std::string log = capped->err();
    std::size_t first = log.find("down (resources)");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("raise LimitNOFILE"), std::string::npos);
    first = log.rfind('\n', first) + 1;
    std::string once = log.substr(first, log.find('\n', first) - first);
    std::this_thread::sleep_for(3s);  // retried at each listing, reported once
    EXPECT_EQ(capped->err().find(once, first + 1), std::string::npos);
    EXPECT_EQ(capped->stop(SIGTERM), 0);
}

}  // namespace
