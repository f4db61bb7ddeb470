// The service's events end to end, as Wine shows them: Wine keeps no event log, but its
// ReportEvent prints each event (a fixme line with its type and ID, then one line per string,
// err/warn/trace by type) on the standard error of the service, which service_events_test.sh
// sends to the file named by VORNA_EVENT_LOG.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"
#include "e2e/service_manager.h"

namespace {

// Hang guards, far above what the agent needs; it retries the device every 4 s.
constexpr int kStateTimeoutMs = 20000;
constexpr int kConnectTimeoutMs = 20000;

// "<type>:<event id>" for each event, then its strings, in the order written.
struct events_seen {
    std::vector<std::string> events;
    std::vector<std::string> strings;
};

events_seen read_events(const char* log_path) {
    std::ifstream in(log_path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::regex event(R"(fixme:advapi:ReportEventA \([0-9A-Fa-f]+,0x([0-9a-f]{4}),0x[0-9a-f]{4},0x([0-9a-f]{8}),)");
    const std::regex string(R"((err|warn|trace):eventlog:ReportEventW (L".*"))");
    events_seen seen;
    std::string line;
    while (std::getline(text, line)) {
        std::smatch m;
        if (std::regex_search(line, m, event)) seen.events.push_back(m.str(1) + ":" + m.str(2));
        if (std::regex_search(line, m, string)) seen.strings.push_back(m.str(1) + " " + m.str(2));
    }
    return seen;
}

// A string as Wine's trace writes it: L"...", backslashes doubled.
std::string traced(const std::string& text) {
    std::string out = "L\"";
    for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out + "\"";
}

TEST(ServiceEventTest, MissingDeviceIsOneWarningAndItsArrivalOneInformation) {
    const char* log_path = std::getenv("VORNA_EVENT_LOG");
    ASSERT_NE(log_path, nullptr) << "run through service_events_test.sh";
    remove_service();
    const std::string device = unique_pipe_path("events");
    ASSERT_EQ(run_agent({"-p", device, "--service-install"}).status, 0);
    sc_handle service = open_service();
    ASSERT_TRUE(service);
    std::vector<state_seen> started = start_and_watch(service.get(), kStateTimeoutMs);
    ASSERT_FALSE(started.empty());
    ASSERT_EQ(started.back().state, static_cast<DWORD>(SERVICE_RUNNING)) << describe(started);

    // Attempts 2 s, 6 s and 10 s after the start: the first two find no device.
    Sleep(7000);
    {
        pipe_host host(device);
        ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
        ASSERT_TRUE(host.send("PING"));
        EXPECT_EQ(host.receive(4, 8000), "PONG");
        DWORD error = NO_ERROR;
        std::vector<state_seen> stopped = stop_and_watch(service.get(), kStateTimeoutMs, &error);
        EXPECT_FALSE(stopped.empty() || stopped.back().state != SERVICE_STOPPED) << describe(stopped);
    }
    service.reset();
    remove_service();

    events_seen seen = read_events(log_path);
    // Warning 0x80000002 (device cannot be opened), information 0x40000003 (open again).
    EXPECT_EQ(seen.events, (std::vector<std::string>{"0002:80000002", "0004:40000003"}));
    ASSERT_EQ(seen.strings.size(), 3u);
    EXPECT_EQ(seen.strings[0], "warn " + traced(device));
    std::printf("  warning's system text: %s\n", seen.strings[1].c_str());
    EXPECT_TRUE(std::regex_match(seen.strings[1], std::regex(R"(warn L"[^\\]+")"))) << seen.strings[1];
    EXPECT_EQ(seen.strings[2], "trace " + traced(device));
}

}  // namespace
