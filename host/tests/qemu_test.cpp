// vorna-stats-host against the real agent through a real QEMU virtio-serial channel: a Linux
// guest (Debian's kernel, a busybox initramfs, the host's root over 9p) runs the agent under
// Wine on its port, which QEMU serves on a UNIX socket as the README tells operators.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "qemu/qemu_guest.h"
#include "support/exposition.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

// Seconds between polls of the exporter in the guest's outages, and its timeout: a GSTATS:CMD
// takes the agent 3 s (its 1 s wait before a read and its 2 s CPU window), more under TCG.
constexpr int kInterval = 4;
constexpr int kTimeout = 10;
// From the agent's port opening to vorna_up 1: one interval, the agent's reply and its reopen
// cycle (with no host connected a read is end of file; it opens the port again seconds later),
// with a margin for Wine under an emulated processor.
constexpr auto kRecovery = std::chrono::seconds(kInterval + 20);

std::string env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) throw std::runtime_error(std::string(name) + " is not set");
    return value;
}

double seconds_between(clock_type::time_point from, clock_type::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// |got - want| <= 1% of want.
void expect_within_one_percent(double got, double want, const char* what) {
    EXPECT_LE(std::abs(got - want), 0.01 * want) << what << ": agent " << got << ", guest " << want;
}

// Reads whatever the channel still holds (a reply that came too late for its request) until it
// stays quiet for a while, so that one case's late reply does not reach the next case.
void drain_channel(const std::string& socket_path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        auto deadline = clock_type::now() + 60s;
        pollfd ready = {fd, POLLIN, 0};
        char buffer[4096];
        while (clock_type::now() < deadline && poll(&ready, 1, 8000) > 0 &&
               recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    }
    close(fd);
}

// The exporter's vorna_up and vorna_cpus for the guest, scraped every 250 ms while it lives.
class scrape_trace {
public:
    struct sample {
        clock_type::time_point at;
        std::optional<double> up;
        std::optional<double> cpus;
    };
    explicit scrape_trace(int port) : scraper_([this, port] {
        while (!done_) {
            std::string text = http_get(port, "/metrics").value_or("");
            sample seen = {clock_type::now(), sample_of(text, "vorna_up", "guest"),
                           sample_of(text, "vorna_cpus", "guest")};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                samples_.push_back(seen);
            }
            std::this_thread::sleep_for(250ms);
        }
    }) {}
    ~scrape_trace() {
        done_ = true;
        scraper_.join();
    }
    // The first sample at or after since whose vorna_up is value, waiting up to time for it.
    std::optional<sample> wait_up(double value, clock_type::time_point since,
                                  std::chrono::milliseconds time) {
        std::optional<sample> found;
        eventually(time, [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const sample& seen : samples_)
                if (seen.at >= since && seen.up == value) {
                    found = seen;
                    return true;
                }
            return false;
        });
        return found;
    }
    // Whether any sample from since to until had vorna_up at value.
    bool saw_up(double value, clock_type::time_point since, clock_type::time_point until) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const sample& seen : samples_)
            if (seen.at >= since && seen.at <= until && seen.up == value) return true;
        return false;
    }

private:
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::vector<sample> samples_;
    std::thread scraper_;
};

class QemuChannelTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        setup_.image_dir = env("VORNA_QEMU_DIR");
        setup_.run_dir = setup_.image_dir + "/run";
        setup_.session_script = std::string(VORNA_QEMU_SCRIPTS) + "/guest_session.sh";
        setup_.agent_exe = env("VORNA_AGENT_EXE");
        const char* shipped = std::getenv("VORNA_SHIPPED_EXE");
        const char* wow64 = std::getenv("VORNA_QEMU_WOW64_PREFIX");
        if (system("command -v qemu-system-x86_64 >/dev/null") != 0) {
            skip_ = "QEMU cannot run here: qemu-system-x86_64 is not installed";
            return;
        }
        auto began = clock_type::now();
        process_result image = run_process({std::string(VORNA_QEMU_SCRIPTS) + "/guest_image.sh",
                                            setup_.image_dir, wow64 ? wow64 : ""},
                                           600s);
        if (image.status == 77) {
            skip_ = "QEMU cannot run here: no guest kernel: " + image.err;
            return;
        }
        if (image.status != 0) {
            broken_ = "guest_image.sh failed (" + std::to_string(image.status) + "): " + image.err;
            return;
        }
        std::printf("guest image ready after %.1f s\n", seconds_between(began, clock_type::now()));
        if (shipped && *shipped && access((setup_.image_dir + "/wineprefix-wow64.tar").c_str(), F_OK) == 0)
            setup_.agent32_exe = shipped;
        run_process({"mkdir", "-p", setup_.run_dir}, 10s);
        choose_accelerator();
    }

    // KVM when the guest reaches its session under it; otherwise TCG, with SMAP off (Wine's
    // return to user mode oopses the guest kernel with it under QEMU 7.2's TCG).
    static void choose_accelerator() {
        auto began = clock_type::now();
        if (access("/dev/kvm", R_OK | W_OK) == 0) {
            setup_.accelerator = {"-accel", "kvm", "-cpu", "host"};
            try {
                qemu_guest probe(setup_, 0);
                bool works = probe.wait_session(15s);
                probe.quit();
                if (works) {
                    accelerator_ = "KVM";
                    std::printf("accelerator: KVM\n");
                    return;
                }
            } catch (const std::exception& error) {
                std::printf("KVM: %s\n", error.what());
            }
        }
        setup_.accelerator = {"-accel", "tcg", "-cpu", "max,-smap", "-smp", "1"};
        accelerator_ = "TCG";
        std::printf("accelerator: TCG (KVM %s, %.1f s spent trying it)\n",
                    access("/dev/kvm", R_OK | W_OK) == 0 ? "did not boot the guest" : "unavailable",
                    seconds_between(began, clock_type::now()));
    }

    static void TearDownTestSuite() {
        if (guest_) {
            std::printf("console of the last boot:\n%s\n", guest_->console().c_str());
            guest_->quit();
        }
        guest_.reset();
    }

    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
        ASSERT_TRUE(broken_.empty()) << broken_;
    }

    // Boots the guest; when QEMU cannot start at all, the whole suite is skipped.
    static void boot() {
        guest_.reset();
        try {
            guest_ = std::make_unique<qemu_guest>(setup_, ++boots_);
        } catch (const std::exception& error) {
            if (boots_ == 1) skip_ = std::string("QEMU cannot run here: ") + error.what();
            throw;
        }
    }

    static process_result query(const std::vector<std::string>& args, std::chrono::seconds time) {
        std::vector<std::string> argv = {env("VORNA_HOST_EXE"), "query", guest_->agent_endpoint()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, time);
    }

    static guest_setup setup_;
    static std::string accelerator_;
    static std::string skip_;
    static std::string broken_;
    static int boots_;
    static std::unique_ptr<qemu_guest> guest_;
};

guest_setup QemuChannelTest::setup_;
std::string QemuChannelTest::accelerator_;
std::string QemuChannelTest::skip_;
std::string QemuChannelTest::broken_;
int QemuChannelTest::boots_ = 0;
std::unique_ptr<qemu_guest> QemuChannelTest::guest_;

TEST_F(QemuChannelTest, QueryBeforeTheGuestIsUpGetsTheAgentsAnswer) {
    auto began = clock_type::now();
    try {
        boot();
    } catch (const std::exception& error) {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
        FAIL() << error.what();
    }
    // QEMU accepts the connection at once and holds the request until the agent opens its port.
    process_result got = query({"PING", "--timeout", "300"}, 310s);
    auto answered = clock_type::now();
    std::optional<clock_type::time_point> opened = guest_->wait_agent_port_open(began, 0s);
    EXPECT_EQ(got.status, 0) << got.err << guest_->console();
    EXPECT_EQ(got.out, "PONG\n");
    ASSERT_TRUE(opened);
    EXPECT_GT(seconds_between(began, *opened), 1.0) << "the port was open before the query";
    std::printf("%s: PONG %.1f s after QEMU started; the agent opened its port after %.1f s\n",
                accelerator_.c_str(), seconds_between(began, answered),
                seconds_between(began, *opened));
}

TEST_F(QemuChannelTest, QueryReportAgreesWithTheGuest) {
    ASSERT_TRUE(guest_);
    process_result pong = query({"PING"}, 60s);
    EXPECT_EQ(pong.status, 0) << pong.err;
    EXPECT_EQ(pong.out, "PONG\n");

    std::optional<qemu_guest::result> figures = guest_->run(
        "nproc; awk '$1 == \"MemTotal:\" { m = $2 } $1 == \"SwapTotal:\" { s = $2 } "
        "END { print m; print m + s }' /proc/meminfo; "
        "stat -f -c '%S %b' \"$WINEPREFIX/drive_c\" | awk '{ print $1 * $2 / 1024 }'",
        60s);
    ASSERT_TRUE(figures && figures->status == 0) << guest_->console();
    std::istringstream guest_figures(figures->output);
    double ncpus = 0, mem_total = 0, commit_total = 0, disk_total = 0;
    guest_figures >> ncpus >> mem_total >> commit_total >> disk_total;

    process_result got = query({"GSTATS:CMD"}, 60s);
    ASSERT_EQ(got.status, 0) << got.err;
    json report = json::parse(got.out);
    EXPECT_EQ(report["cpu"]["ncpus"].get<double>(), ncpus);
    EXPECT_GE(report["cpu"]["percent"].get<double>(), 0.0);
    EXPECT_LE(report["cpu"]["percent"].get<double>(), 100.0);
    expect_within_one_percent(report["memory"]["mem_total"].get<double>(), mem_total, "memory total");
    expect_within_one_percent(report["memory"]["swap_total"].get<double>(), commit_total,
                              "commit total");
    // Drive C: is the prefix in the guest's /tmp, a tmpfs: the figure is the guest's.
    expect_within_one_percent(report["disk"]["total"].get<double>(), disk_total, "disk total");
    EXPECT_EQ(report["disk"]["used"].get<std::uint64_t>() + report["disk"]["free"].get<std::uint64_t>(),
              report["disk"]["total"].get<std::uint64_t>());
}

// The shipped 32-bit program through the same channel, in the guest's WoW64 prefix.
TEST_F(QemuChannelTest, ShippedProgramAnswersThroughTheChannel) {
    ASSERT_TRUE(guest_);
    if (setup_.agent32_exe.empty())
        GTEST_SKIP() << "no 32-bit program or WoW64 prefix (VORNA_SHIPPED_EXE, VORNA_QEMU_WOW64_PREFIX: "
                        "the i686 tests make that prefix)";
    std::optional<qemu_guest::result> started = guest_->run("agent32_start", 120s);
    ASSERT_TRUE(started && started->status == 0) << (started ? started->output : "") << guest_->console();
    std::vector<std::string> argv = {env("VORNA_HOST_EXE"), "query", guest_->agent32_endpoint()};
    argv.insert(argv.end(), {"PING", "--timeout", "120"});
    process_result pong = run_process(argv, 130s);
    EXPECT_EQ(pong.status, 0) << pong.err;
    EXPECT_EQ(pong.out, "PONG\n");
    argv.erase(argv.begin() + 3, argv.end());
    argv.push_back("GSTATS:CMD");
    process_result got = run_process(argv, 60s);
    ASSERT_EQ(got.status, 0) << got.err;
    json report = json::parse(got.out);
    EXPECT_EQ(report["cpu"]["ncpus"].get<double>(), 1.0);  // the guest's one processor
    EXPECT_EQ(report["disk"]["used"].get<std::uint64_t>() + report["disk"]["free"].get<std::uint64_t>(),
              report["disk"]["total"].get<std::uint64_t>());
    std::optional<qemu_guest::result> stopped = guest_->run("agent32_stop", 60s);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->status, 0) << stopped->output;
}

// A reply the guest writes after the host gave up waits in the channel for the host's next
// connection: it must never be taken as the answer to a later request.
TEST_F(QemuChannelTest, LateReplyIsNeverServed) {
    ASSERT_TRUE(guest_);
    // GSTATS:C takes the agent at least its 2 s CPU window.
    process_result late = query({"GSTATS:C", "--timeout", "1"}, 30s);
    EXPECT_EQ(late.status, 4) << late.out << late.err;
    process_result pong = query({"PING", "--timeout", "20"}, 30s);
    EXPECT_EQ(pong.status, 0) << pong.err;
    EXPECT_EQ(pong.out, "PONG\n") << "a late reply answered PING";
    process_result memory = query({"GSTATS:M", "--timeout", "20"}, 30s);
    EXPECT_EQ(memory.status, 0) << memory.out << memory.err;
    json report = json::parse(memory.out, nullptr, false);
    EXPECT_TRUE(report.is_object() && report.contains("memory") && !report.contains("cpu"))
        << "a late reply answered GSTATS:M: " << memory.out;
    drain_channel(guest_->agent_socket());

    // An exporter whose timeout is shorter than any GSTATS:CMD can take never has a fresh figure.
    child_process exporter({env("VORNA_HOST_EXE"), "export", "--listen", "127.0.0.1:0", "--vm",
                            "guest=" + guest_->agent_endpoint(), "--interval", "3", "--timeout", "1.5"});
    std::optional<std::string> port = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    ASSERT_TRUE(port) << exporter.err();
    auto began = clock_type::now();
    {
        scrape_trace trace(std::stoi(*port));
        std::this_thread::sleep_for(18s);
        EXPECT_FALSE(trace.saw_up(1, began, clock_type::now()))
            << "figures served that no reply within 1.5 s can have carried: " << exporter.err();
    }
    exporter.stop(SIGTERM);
    drain_channel(guest_->agent_socket());
}

// export keeps serving the guest's figures through every outage of the channel: vorna_up 0 while
// the agent cannot answer, 1 again soon after it can.
TEST_F(QemuChannelTest, ExportFollowsAgentRestartGuestResetAndQemuRestart) {
    ASSERT_TRUE(guest_);
    child_process exporter({env("VORNA_HOST_EXE"), "export", "--listen", "127.0.0.1:0", "--vm",
                            "guest=" + guest_->agent_endpoint(), "--interval",
                            std::to_string(kInterval), "--timeout", std::to_string(kTimeout)});
    std::optional<std::string> port = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    ASSERT_TRUE(port) << exporter.err();
    scrape_trace trace(std::stoi(*port));
    auto down_bound = std::chrono::seconds(kInterval + kTimeout + 10);
    ASSERT_TRUE(trace.wait_up(1, clock_type::now(), 60s)) << exporter.err();

    // Up again within the bound after the agent's port opens, with the guest's figures.
    auto expect_back_up = [&](const char* outage, clock_type::time_point since) {
        std::optional<clock_type::time_point> opened = guest_->wait_agent_port_open(since, 120s);
        ASSERT_TRUE(opened) << outage << ": the agent never opened its port\n" << guest_->console();
        std::optional<scrape_trace::sample> up = trace.wait_up(1, *opened, kRecovery);
        ASSERT_TRUE(up) << outage << ": vorna_up not 1 within " << kRecovery.count()
                        << " s of the agent opening its port\n" << exporter.err();
        EXPECT_EQ(up->cpus, 1.0) << outage;  // the guest's one processor
        std::printf("%s: the agent's port opened %.1f s after it began, vorna_up 1 %.1f s later\n",
                    outage, seconds_between(since, *opened), seconds_between(*opened, up->at));
    };

    // The agent interrupted and started again while QEMU and the connection stay.
    auto stopped = clock_type::now();
    std::optional<qemu_guest::result> stop = guest_->run("agent_stop", 60s);
    ASSERT_TRUE(stop) << guest_->console();
    EXPECT_EQ(stop->status, 0) << stop->output;
    EXPECT_TRUE(trace.wait_up(0, stopped, down_bound)) << "agent restart: never down";
    auto restarted = clock_type::now();
    ASSERT_TRUE(guest_->run("agent_start", 60s));
    expect_back_up("agent restart", restarted);

    // A guest reset: QEMU keeps the host's connection; the guest boots, Wine and the agent start.
    auto reset = clock_type::now();
    guest_->reset();
    expect_back_up("guest reset", reset);
    std::optional<clock_type::time_point> reopened = guest_->wait_agent_port_open(reset, 0s);
    if (reopened && *reopened - reset > std::chrono::seconds(kInterval + kTimeout + 2)) {
        EXPECT_TRUE(trace.saw_up(0, reset, *reopened)) << "guest reset: never down";
    }

    // QEMU quits (its socket goes with it) and starts again on the same socket path.
    auto quit = clock_type::now();
    guest_->quit();
    EXPECT_NE(access(guest_->agent_socket().c_str(), F_OK), 0) << "QEMU left its socket";
    EXPECT_TRUE(trace.wait_up(0, quit, down_bound)) << "QEMU restart: never down";
    auto started = clock_type::now();
    boot();
    expect_back_up("QEMU restart", started);
    std::printf("the exporter's log:\n%s", exporter.err().c_str());
}

}  // namespace
