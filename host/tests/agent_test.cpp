// vorna-stats-host against the real agent under Wine, through a bridge that stands in for QEMU
// (pipe_bridge.exe): query's replies and export's figures against the machine's own, which
// linux_figures.sh reads before the test starts (the free space: around each request).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

#include "support/exposition.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

constexpr char kWine64[] = "/usr/lib/wine/wine64";

std::string env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) throw std::runtime_error(std::string(name) + " is not set");
    return value;
}

double linux_figure(const char* name) {
    return std::stod(env(name));
}

// |got - want| <= 1% of want, as the agent's own stats test allows.
void expect_within_one_percent(double got, double want, const char* what) {
    EXPECT_LE(std::abs(got - want), 0.01 * want) << what << ": host " << got << ", Linux " << want;
}

// Free space of the prefix's drive C: in KiB, as Wine reports it (available to users), sampled
// while it lives. Other programs on the machine write and delete files while the agent is
// asked (a Wine prefix is hundreds of MB), so the agent's figure is compared with the range
// seen while it was asked.
class disk_free_range {
public:
    disk_free_range() : sampler_([this] {
        while (!done_) {
            struct statvfs volume = {};
            statvfs((env("WINEPREFIX") + "/drive_c").c_str(), &volume);
            double kib = static_cast<double>(volume.f_bavail) *
                         static_cast<double>(volume.f_frsize) / 1024;
            low_ = std::min(low_.load(), kib);
            high_ = std::max(high_.load(), kib);
            std::this_thread::sleep_for(20ms);
        }
    }) {}
    ~disk_free_range() { stop(); }
    void stop() {
        done_ = true;
        if (sampler_.joinable()) sampler_.join();
    }
    double low() const { return low_; }
    double high() const { return high_; }

private:
    std::atomic<bool> done_{false};
    std::atomic<double> low_{1e300};
    std::atomic<double> high_{0};
    std::thread sampler_;
};

// The figures in KiB, from either tool, against the machine's.
void expect_machine_figures(double ncpus, double mem_total, double swap_total, double disk_total,
                            double disk_free, disk_free_range& free_range) {
    EXPECT_EQ(ncpus, linux_figure("VORNA_LINUX_NCPUS"));
    expect_within_one_percent(mem_total, linux_figure("VORNA_LINUX_MEM_TOTAL_KIB"), "memory total");
    expect_within_one_percent(swap_total, linux_figure("VORNA_LINUX_COMMIT_TOTAL_KIB"),
                              "commit total");
    expect_within_one_percent(disk_total, linux_figure("VORNA_LINUX_DISK_TOTAL_KIB"), "disk total");
    free_range.stop();
    EXPECT_GE(disk_free, 0.99 * free_range.low()) << "seen up to " << free_range.high();
    EXPECT_LE(disk_free, 1.01 * free_range.high()) << "seen from " << free_range.low();
}

class AgentTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("WINEDEBUG", "-all", 0);
        std::string pipe = "\\\\.\\pipe\\vorna-host-test-" + std::to_string(getpid());
        bridge_ = std::make_unique<child_process>(
            std::vector<std::string>{kWine64, env("VORNA_BRIDGE_EXE"), pipe, "0"});
        std::optional<std::string> port = bridge_->wait_for_err("listening on 127.0.0.1:", 60s);
        ASSERT_TRUE(port) << bridge_->err();
        endpoint_ = "tcp:127.0.0.1:" + *port;
        agent_ = std::make_unique<child_process>(
            std::vector<std::string>{kWine64, env("VORNA_AGENT_EXE"), "-p", pipe});
    }
    static void TearDownTestSuite() {
        agent_.reset();
        bridge_.reset();
    }

    static process_result query(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {env("VORNA_HOST_EXE"), "query", endpoint_};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, 90s);
    }

    static std::unique_ptr<child_process> bridge_;
    static std::unique_ptr<child_process> agent_;
    static std::string endpoint_;
};

std::unique_ptr<child_process> AgentTest::bridge_;
std::unique_ptr<child_process> AgentTest::agent_;
std::string AgentTest::endpoint_;

TEST_F(AgentTest, QueryGetsPong) {
    // The agent's first read comes after Wine's start and its 2 s wait before connecting.
    process_result got = query({"PING", "--timeout", "60"});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, "PONG\n");
}

TEST_F(AgentTest, QueryReportAgreesWithTheMachine) {
    disk_free_range free_range;
    process_result got = query({"GSTATS:CMD", "--timeout", "60"});
    ASSERT_EQ(got.status, 0) << got.err;
    json report = json::parse(got.out);
    expect_machine_figures(report["cpu"]["ncpus"].get<double>(),
                           report["memory"]["mem_total"].get<double>(),
                           report["memory"]["swap_total"].get<double>(),
                           report["disk"]["total"].get<double>(),
                           report["disk"]["free"].get<double>(), free_range);
    EXPECT_EQ(report["disk"]["used"].get<std::uint64_t>() + report["disk"]["free"].get<std::uint64_t>(),
              report["disk"]["total"].get<std::uint64_t>());
}

TEST_F(AgentTest, ExportServesTheAgentsFiguresInBytes) {
    disk_free_range free_range;
    child_process exporter({env("VORNA_HOST_EXE"), "export", "--listen", "127.0.0.1:0", "--vm",
                            "agent=" + endpoint_, "--interval", "2"});
    std::optional<std::string> port = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    ASSERT_TRUE(port) << exporter.err();
    std::string text;
    ASSERT_TRUE(eventually(60s, [&] {
        text = http_get(std::stoi(*port), "/metrics").value_or("");
        return sample_of(text, "vorna_up", "agent") == 1.0;
    })) << text << exporter.err();
    auto kib = [&](const char* name) { return sample_of(text, name, "agent").value_or(-1) / 1024; };
    expect_machine_figures(sample_of(text, "vorna_cpus", "agent").value_or(-1),
                           kib("vorna_memory_total_bytes"), kib("vorna_commit_limit_bytes"),
                           kib("vorna_disk_total_bytes"), kib("vorna_disk_free_bytes"), free_range);
    double busy = sample_of(text, "vorna_cpu_busy_ratio", "agent").value_or(-1);
    EXPECT_GE(busy, 0.0);
    EXPECT_LE(busy, 1.0);

    // The real agent's volumes through the check: drive D: of the prefix, a folder of the build
    // tree, with its folder's size.
    std::string head = "\nvorna_volume_total_bytes{vm=\"agent\",volume=\"D:\"} ";
    std::size_t at = text.find(head);
    ASSERT_NE(at, std::string::npos) << text;
    expect_within_one_percent(std::stod(text.substr(at + head.size())) / 1024,
                              linux_figure("VORNA_LINUX_DRIVE_D_TOTAL_KIB"), "drive D: total");
    EXPECT_NE(text.find("vorna_volume_info{vm=\"agent\",volume=\"D:\",paths=\"D:\\\\\","),
              std::string::npos) << text;
}

}  // namespace
