// The agent executable's statistics report, parsed as JSON and compared with the machine's own
// figures, which the Linux side reads and passes in (linux_figures.sh).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"
#include "e2e/stats_exchange.h"

namespace {

using json = nlohmann::ordered_json;
using clock_type = std::chrono::steady_clock;

constexpr int kConnectTimeoutMs = 15000;
// The 1 s wait before a read and the 2 s CPU window, with room for a loaded machine.
constexpr int kReplyTimeoutMs = 10000;
// Longer than the agent's 1 s wait before a read: after it the agent is blocked in its read, and
// a message sent then is read at once.
constexpr int kSettleMs = 1500;

std::uint64_t linux_figure(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) throw std::runtime_error(std::string(name) + " is not set");
    return std::stoull(value);
}

// |got - want| <= 1% of want.
void expect_within_one_percent(std::uint64_t got, std::uint64_t want, const char* what) {
    double difference = static_cast<double>(got) - static_cast<double>(want);
    EXPECT_LE(std::abs(difference), 0.01 * static_cast<double>(want))
        << what << ": agent " << got << ", Linux " << want;
}

class StatsTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        host_ = std::make_unique<pipe_host>(unique_pipe_path("stats"));
        agent_ = std::make_unique<agent_process>(std::vector<std::string>{"-p", host_->path()});
        ASSERT_TRUE(host_->wait_for_agent(kConnectTimeoutMs));
    }
    static void TearDownTestSuite() {
        agent_.reset();
        host_.reset();
    }

    // Sends the message once the agent waits in its read; the reply object, parsed.
    static json request(const std::string& message) {
        Sleep(kSettleMs);
        EXPECT_TRUE(host_->send(message));
        std::string reply = receive_object(*host_, kReplyTimeoutMs);
        return json::parse(reply);  // throws, and fails the test, unless it is valid JSON
    }

    static std::vector<std::string> keys_of(const json& object) {
        std::vector<std::string> keys;
        for (const auto& item : object.items()) keys.push_back(item.key());
        return keys;
    }

    static std::unique_ptr<pipe_host> host_;
    static std::unique_ptr<agent_process> agent_;
};

std::unique_ptr<pipe_host> StatsTest::host_;
std::unique_ptr<agent_process> StatsTest::agent_;

using Keys = std::vector<std::string>;

TEST_F(StatsTest, FullReportAgreesWithTheMachine) {
    json report = request("GSTATS:CMD");
    ASSERT_EQ(keys_of(report), Keys({"cpu", "memory", "disk"}));

    const json& cpu = report["cpu"];
    EXPECT_EQ(keys_of(cpu), Keys({"ncpus", "percent"}));
    EXPECT_EQ(cpu["ncpus"].get<std::uint64_t>(), linux_figure("VORNA_LINUX_NCPUS"));
    ASSERT_TRUE(cpu["percent"].is_number());
    EXPECT_GE(cpu["percent"].get<double>(), 0.0);
    EXPECT_LE(cpu["percent"].get<double>(), 100.0);

    const json& memory = report["memory"];
    EXPECT_EQ(keys_of(memory), Keys({"mem_total", "mem_free", "swap_total", "swap_free"}));
    auto mem_total = memory["mem_total"].get<std::uint64_t>();
    // Wine caps the physical total it gives a 32-bit process (about 3.5 GiB) and leaves the
    // other figures whole; the commit total still carries the machine's memory there.
    if (std::getenv("VORNA_AGENT_32BIT_UNDER_WINE") == nullptr) {
        expect_within_one_percent(mem_total, linux_figure("VORNA_LINUX_MEM_TOTAL_KIB"),
                                  "mem_total");
        EXPECT_LE(memory["mem_free"].get<std::uint64_t>(), mem_total);
    }
    expect_within_one_percent(memory["swap_total"].get<std::uint64_t>(),
                              linux_figure("VORNA_LINUX_COMMIT_TOTAL_KIB"), "swap_total");
    EXPECT_LE(memory["swap_free"].get<std::uint64_t>(), memory["swap_total"].get<std::uint64_t>());

    const json& disk = report["disk"];
    EXPECT_EQ(keys_of(disk), Keys({"used", "free", "total", "unit"}));
    auto total = disk["total"].get<std::uint64_t>();
    auto free_kib = disk["free"].get<std::uint64_t>();
    expect_within_one_percent(total, linux_figure("VORNA_LINUX_DISK_TOTAL_KIB"), "disk total");
    expect_within_one_percent(free_kib, linux_figure("VORNA_LINUX_DISK_FREE_KIB"), "disk free");
    EXPECT_EQ(disk["used"].get<std::uint64_t>() + free_kib, total);
    EXPECT_EQ(disk["unit"], "kB");
}

// The volume one of whose mount paths is path, or null.
const json* volume_at(const json& volumes, const std::string& path) {
    for (const json& volume : volumes)
        for (const json& mounted : volume["paths"])
            if (mounted == path) return &volume;
    return nullptr;
}

// D: is a folder of the prefix (scripts/lib/wine.sh), a volume of its own to Wine.
TEST_F(StatsTest, VolumesListDriveDWithTheFiguresOfItsFolder) {
    json report = request("GSTATS:V");
    ASSERT_EQ(keys_of(report), Keys({"volumes"}));
    const json& volumes = report["volumes"];
    for (const json& volume : volumes) {
        EXPECT_EQ(keys_of(volume), Keys({"paths", "volume", "label", "fs", "used", "free", "total"}));
        EXPECT_EQ(volume["volume"].get<std::string>().rfind(R"(\\?\Volume{)", 0), 0u) << volume;
        EXPECT_EQ(volume["used"].get<std::uint64_t>() + volume["free"].get<std::uint64_t>(),
                  volume["total"].get<std::uint64_t>());
    }
    const json* d = volume_at(volumes, "D:\\");
    ASSERT_NE(d, nullptr) << "no D: in " << report.dump()
                          << " (a server started before drive_d was mapped does not know it)";
    EXPECT_EQ((*d)["paths"], json::array({"D:\\"}));
    EXPECT_FALSE((*d)["fs"].get<std::string>().empty());
    expect_within_one_percent((*d)["total"].get<std::uint64_t>(),
                              linux_figure("VORNA_LINUX_DRIVE_D_TOTAL_KIB"), "D: total");
    expect_within_one_percent((*d)["free"].get<std::uint64_t>(),
                              linux_figure("VORNA_LINUX_DRIVE_D_FREE_KIB"), "D: free");
    const json* c = volume_at(volumes, "C:\\");
    ASSERT_NE(c, nullptr) << report.dump();
    EXPECT_NE((*c)["volume"], (*d)["volume"]);

    // After the other fragments, the same volumes.
    json full = request("GSTATS:CMDV");
    EXPECT_EQ(keys_of(full), Keys({"cpu", "memory", "disk", "volumes"}));
    EXPECT_NE(volume_at(full["volumes"], "D:\\"), nullptr) << full.dump();
}

TEST_F(StatsTest, SelectedFragmentsAndTheNextCommandOfTheMessage) {
    json report = request("GSTATS:DM;PING");
    EXPECT_EQ(keys_of(report), Keys({"memory", "disk"}));
    EXPECT_EQ(host_->receive(4, kReplyTimeoutMs), "PONG");
}

TEST_F(StatsTest, CpuShareIsHighUnderLoadOnEveryProcessor) {
    // The load covers the whole window: it starts before the message and ends after the reply.
    busy_load load(static_cast<unsigned>(linux_figure("VORNA_LINUX_NCPUS")));
    json report = request("GSTATS:C");
    EXPECT_GE(report["cpu"]["percent"].get<double>(), 80.0) << report.dump();
}

TEST_F(StatsTest, CpuReplyComesNoEarlierThanTwoSecondsAfterTheRead) {
    Sleep(kSettleMs);  // the agent now waits in its read, which returns when the message lands
    auto sent = clock_type::now();
    ASSERT_TRUE(host_->send("GSTATS:C"));
    std::string reply = receive_object(*host_, kReplyTimeoutMs);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - sent);
    ASSERT_FALSE(reply.empty());
    // The read comes after the send, so the reply cannot come earlier than 2 s after the send;
    // 10 ms allow for timer granularity.
    EXPECT_GE(elapsed.count(), 1990) << reply;
}

}  // namespace
