#include <gtest/gtest.h>

#include "service/failure_actions.h"

namespace {

TEST(FailureActionsTest, RestartAfter5sTwiceThenAfter60sWithTheCountResetDaily) {
    failure_actions_record record;
    service_failure_actions(&record);
    const SERVICE_FAILURE_ACTIONSA& config = record.config;
    EXPECT_EQ(config.dwResetPeriod, 86400u);
    EXPECT_EQ(config.lpRebootMsg, nullptr);
    EXPECT_EQ(config.lpCommand, nullptr);
    ASSERT_EQ(config.cActions, 3u);
    ASSERT_EQ(config.lpsaActions, record.actions);
    const DWORD delays[] = {5000, 5000, 60000};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(config.lpsaActions[i].Type, SC_ACTION_RESTART) << i;
        EXPECT_EQ(config.lpsaActions[i].Delay, delays[i]) << i;
    }
}

}  // namespace
