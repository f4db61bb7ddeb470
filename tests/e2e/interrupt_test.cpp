// Every console control event, at every moment of the loop, ends the agent the one way: the PID
// file removed, status 0, nothing said. The events come through the handler's seam
// (console_event_agent); Ctrl-C from the system is tested from the Linux side.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "e2e/agent_process.h"

namespace {

std::string console_event_agent() {
    const char* exe = std::getenv("VORNA_CONSOLE_EVENT_EXE");
    return exe != nullptr ? exe : "";
}

struct event_case {
    DWORD event;
    const char* name;
};
const event_case kEvents[] = {
    {CTRL_C_EVENT, "Ctrl-C"},           {CTRL_BREAK_EVENT, "Ctrl-Break"},
    {CTRL_CLOSE_EVENT, "console close"}, {CTRL_LOGOFF_EVENT, "logoff"},
    {CTRL_SHUTDOWN_EVENT, "shutdown"},
};

TEST(InterruptTest, EveryConsoleEventDuringAReadAWriteOrTheCpuWindowEndsTheAgentCleanly) {
    ASSERT_FALSE(console_event_agent().empty()) << "VORNA_CONSOLE_EVENT_EXE is not set";
    struct run {
        std::string what;
        std::unique_ptr<temp_path> pid_file;
        std::unique_ptr<agent_process> agent;
    };
    std::vector<run> runs;
    // All at once: each waits on the agent's fixed delays.
    for (const event_case& e : kEvents) {
        for (const char* moment : {"read", "write", "cpu"}) {
            run r;
            r.what = std::string(e.name) + " during " + moment;
            r.pid_file = std::make_unique<temp_path>("console-event");
            r.agent = std::make_unique<agent_process>(
                std::vector<std::string>{std::to_string(e.event), moment,
                                         unique_pipe_path("console-event"), "-F",
                                         r.pid_file->path()},
                console_event_agent());
            runs.push_back(std::move(r));
        }
    }
    for (run& r : runs) {
        DWORD status = 0;
        ASSERT_TRUE(r.agent->wait(30000, &status)) << r.what;
        EXPECT_EQ(status, 0u) << r.what << "\n" << r.agent->err();
        EXPECT_FALSE(r.pid_file->exists()) << r.what;
        EXPECT_EQ(r.agent->err(), "") << r.what;
    }
}

TEST(InterruptTest, ServiceLeavesLogoffAndShutdownToTheServiceManager) {
    ASSERT_FALSE(console_event_agent().empty()) << "VORNA_CONSOLE_EVENT_EXE is not set";
    for (const event_case& e : kEvents) {
        agent_result result = run_agent({std::to_string(e.event), "service",
                                         unique_pipe_path("console-event")},
                                        15000, console_event_agent());
        bool passed_on = e.event == CTRL_LOGOFF_EVENT || e.event == CTRL_SHUTDOWN_EVENT;
        EXPECT_EQ(result.status, passed_on ? 5 : 0) << e.name;  // 5: the handler returned
    }
}

}  // namespace
