// The event log as the reports' sink, with its Win32 calls replaced: what a report becomes.
// (The foreground's silence and the outage events: unit and e2e_service_events.)
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "agent/lifecycle.h"
#include "event_messages.h"
#include "service/error_report.h"
#include "service/event_log.h"

namespace {

HANDLE const kSource = reinterpret_cast<HANDLE>(0x4242);

struct written_event {
    WORD type;
    DWORD id;
    std::vector<std::string> strings;
};
std::vector<written_event> g_written;
std::string g_source_name;
int g_deregistered = 0;

HANDLE WINAPI fake_register(LPCSTR server, LPCSTR name) {
    g_source_name = name;
    return server == nullptr ? kSource : nullptr;
}

BOOL WINAPI fake_report(HANDLE source, WORD type, WORD category, DWORD id, PSID user,
                        WORD count, DWORD data_size, LPCSTR* strings, LPVOID data) {
    if (source == kSource && category == 0 && user == nullptr && data_size == 0 && data == nullptr)
        g_written.push_back({type, id, std::vector<std::string>(strings, strings + count)});
    return TRUE;
}

BOOL WINAPI fake_deregister(HANDLE source) {
    g_deregistered += source == kSource;
    return TRUE;
}

// The system's text for code, without its line end.
std::string system_text(DWORD code) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string copy = text;
    return copy.substr(0, copy.find_last_not_of("\r\n") + 1);
}

class EventLogTest : public testing::Test {
protected:
    event_log_api saved = g_event_log_api;
    EventLogTest() {
        g_event_log_api = {fake_register, fake_report, fake_deregister};
        g_written.clear();
        g_deregistered = 0;
    }
    ~EventLogTest() override {
        event_log_close();
        g_event_log_api = saved;
    }
};

TEST_F(EventLogTest, ServiceModeReportsAreErrorEventsWithTheSameText) {
    event_log_open();
    EXPECT_EQ(g_source_name, "vorna-stats-client");
    testing::internal::CaptureStderr();
    SetLastError(ERROR_SERVICE_EXISTS);
    windows_print_error("CreateService:");
    pid_write("");
    std::string err = testing::internal::GetCapturedStderr();

    const std::string report = "CreateService: (Error: 1073) " + system_text(ERROR_SERVICE_EXISTS);
    ASSERT_EQ(g_written.size(), 2u);
    EXPECT_EQ(err.rfind(report + "\r\n", 0), 0u) << err;  // standard error as before
    EXPECT_EQ(g_written[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(g_written[0].id, MSG_FAILURE);
    EXPECT_EQ(g_written[0].strings, std::vector<std::string>{report});
    EXPECT_EQ(g_written[1].id, MSG_FAILURE);
    EXPECT_EQ(err.substr(report.size() + 2), g_written[1].strings.at(0) + "\n");
    EXPECT_EQ(g_written[1].strings[0].rfind("error: open `': ", 0), 0u);

    event_log_close();
    EXPECT_EQ(g_deregistered, 1);
    testing::internal::CaptureStderr();
    windows_print_error("OpenService:");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_written.size(), 2u);
}

}  // namespace
