// The report's two destinations, and the device outage events, with a recording sink in place
// of the event log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agent/device_outage.h"
#include "support/fake_device.h"
#include "util/log.h"

namespace {

struct recorded_event {
    log_event event;
    std::vector<std::string> inserts;
    bool operator==(const recorded_event& other) const {
        return event == other.event && inserts == other.inserts;
    }
};

std::vector<recorded_event> g_events;

void record(log_event event, const char* const* inserts, int count) {
    g_events.push_back({event, std::vector<std::string>(inserts, inserts + count)});
}

void error_text(unsigned long code, char* text, std::size_t size) {
    std::snprintf(text, size, "system text %lu", code);
}

const log_sink kRecorder = {record, error_text};

struct LogTest : testing::Test {
    LogTest() { g_events.clear(); }
    ~LogTest() override { log_to_system(nullptr); }
};

TEST_F(LogTest, ForegroundReportsGoToStandardErrorAlone) {
    testing::internal::CaptureStderr();
    int printed = log_failure("unlink `%s': %s\n", "p", "No such file or directory");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "unlink `p': No such file or directory\n");
    EXPECT_EQ(printed, 38);
    EXPECT_TRUE(g_events.empty());
}

TEST_F(LogTest, ForegroundOutageIsTheEventsTextOnStandardError) {
    const char missing[] =
        "The device COM1 cannot be opened: %s The agent tries again every 4 seconds and reports "
        "here when the device is open again.\n";
    char expected[256];
    std::snprintf(expected, sizeof expected, missing, "Error 2.");  // no system text at hand
    testing::internal::CaptureStderr();
    log_device_missing("COM1", 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);

    log_use_error_text(error_text);
    std::snprintf(expected, sizeof expected, missing, "system text 5");
    testing::internal::CaptureStderr();
    log_device_missing("COM1", 5);
    log_device_back("COM1");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(expected) + "The device COM1 is open again.\n");
    log_use_error_text(nullptr);
    EXPECT_TRUE(g_events.empty());
}

TEST_F(LogTest, ServiceReportsAreAlsoFailureEventsWithTheSameText) {
    log_to_system(&kRecorder);
    testing::internal::CaptureStderr();
    int printed = log_failure("%s (Error: %d) %s", "Step:", 5, "Access is denied.\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Step: (Error: 5) Access is denied.\r\n");
    EXPECT_EQ(printed, 36);
    // The line end is the stream's; a line break inside the text stays.
    testing::internal::CaptureStderr();
    log_failure("Failed!\n (Error: %d) x\n", 7);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_events, (std::vector<recorded_event>{
                            {LOG_FAILURE, {"Step: (Error: 5) Access is denied."}},
                            {LOG_FAILURE, {"Failed!\n (Error: 7) x"}},
                        }));
}

// Each step: whether the connection attempt succeeds (its error code when not), and the events.
struct outage_step {
    bool opened;
    unsigned long error;
    std::vector<recorded_event> events;
};

TEST_F(LogTest, EachOutageIsOneWarningAndItsEndOneInformation) {
    log_to_system(&kRecorder);
    testing::internal::CaptureStderr();
    dev_channel* dev = dev_init("\\\\.\\Global\\port");
    const recorded_event missing2 = {LOG_DEVICE_MISSING, {"\\\\.\\Global\\port", "system text 2"}};
    const recorded_event missing5 = {LOG_DEVICE_MISSING, {"\\\\.\\Global\\port", "system text 5"}};
    const recorded_event back = {LOG_DEVICE_BACK, {"\\\\.\\Global\\port"}};
    const outage_step steps[] = {
        {true, 0, {}},           // served at once: no outage
        {true, 0, {}},           // reconnection after the host went away
        {false, 2, {missing2}},  // missing
        {false, 2, {}},          // still missing, retried every 4 s
        {false, 5, {}},          // another reason, same outage
        {true, 0, {back}},       // open again
        {true, 0, {}},           // reconnection
        {false, 5, {missing5}},  // a new outage
    };
    device_outage outage;
    int n = 0;
    for (const outage_step& step : steps) {
        g_events.clear();
        dev->connect_error = step.error;
        if (step.opened)
            device_outage_connected(&outage, dev);
        else
            device_outage_connect_failed(&outage, dev);
        EXPECT_EQ(g_events, step.events) << "step " << n++;
    }
    dev_free(dev);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // a service's events alone
}

}  // namespace
