// The service runtime in-process: the control handler's results and status record, which the
// manager under Wine does not show as they are, and the failures outside a dispatcher.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "agent/command_loop.h"
#include "agent/context.h"
#include "device/device_channel.h"
#include "service/service_runtime.h"
#include "util/xalloc.h"

namespace {

class ServiceHandlerTest : public testing::Test {
protected:
    ctl_context ctx;

    ServiceHandlerTest() {
        ctx.device = dev_init("\\\\.\\pipe\\vorna-test-nobody-listens");
        ctl_set_current(&ctx);
    }
    ~ServiceHandlerTest() override {
        ctl_set_current(nullptr);
        dev_free(ctx.device);
        xfree(ctx.output.data);
    }
};

bool same_status(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(ServiceHandlerTest, ControlsOtherThanStopAndShutdownAreNotImplementedAndChangeNothing) {
    const SERVICE_STATUS before = service_status();
    for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{SERVICE_CONTROL_PAUSE},
                          DWORD{SERVICE_CONTROL_CONTINUE}, DWORD{SERVICE_CONTROL_PARAMCHANGE},
                          DWORD{SERVICE_CONTROL_PRESHUTDOWN}, DWORD{0}, DWORD{128}, DWORD{255}}) {
        EXPECT_EQ(service_ctrl_handler(control, 0, nullptr, nullptr),
                  static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED))
            << "control " << control;
        EXPECT_TRUE(same_status(service_status(), before)) << "control " << control;
        EXPECT_EQ(ctx.stop.load(), 0) << "control " << control;
    }
}

// Stop and shutdown each run in a process of their own: the status record is process-wide.
void expect_stop_request(DWORD control) {
    ctl_context* ctx = ctl_current();
    DWORD result = service_ctrl_handler(control, 0, nullptr, nullptr);
    SERVICE_STATUS status = service_status();
    bool as_expected = result == NO_ERROR && ctx->stop.load() == 1 &&
                       status.dwServiceType == SERVICE_WIN32 &&
                       status.dwCurrentState == SERVICE_STOP_PENDING &&
                       status.dwControlsAccepted == 5 && status.dwWin32ExitCode == 0 &&
                       status.dwServiceSpecificExitCode == 0 && status.dwCheckPoint == 0 &&
                       status.dwWaitHint == 0;
    // The loop sees the stop at its first check.
    ctl_command_loop();
    std::exit(as_expected ? 0 : 2);
}

TEST_F(ServiceHandlerTest, StopSetsTheStopFlagAndReportsStopPending) {
    EXPECT_EXIT(expect_stop_request(SERVICE_CONTROL_STOP), testing::ExitedWithCode(0), "");
}

TEST_F(ServiceHandlerTest, ShutdownSetsTheStopFlagAndReportsStopPending) {
    EXPECT_EXIT(expect_stop_request(SERVICE_CONTROL_SHUTDOWN), testing::ExitedWithCode(0), "");
}

TEST(ServiceMainTest, WithoutADispatcherTheHandlerCannotBeRegistered) {
    EXPECT_EXIT(service_main(0, nullptr), testing::ExitedWithCode(1),
                "^Failed to register extended requests function!\n \\(Error: \\d+\\) ");
}

}  // namespace
