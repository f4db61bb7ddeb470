// The stop request against the real command loop and device channel.
#include <gtest/gtest.h>

#include <future>

#include "agent/command_loop.h"
#include "agent/context.h"
#include "device/device_channel.h"
#include "e2e/pipe_host.h"
#include "util/xalloc.h"

namespace {

// The loop's own waits after a stop: at most 1 s before a read, then 2 s after the close.
// Anything past this is a loop that did not see the stop.
constexpr auto kStopLimit = std::chrono::seconds(8);

class CommandLoopTest : public testing::Test {
protected:
    pipe_host host{unique_pipe_path("loop")};
    ctl_context ctx;

    CommandLoopTest() {
        ctx.device = dev_init(host.path().c_str());
        ctl_set_current(&ctx);
    }
    ~CommandLoopTest() override {
        ctl_set_current(nullptr);
        dev_free(ctx.device);
        xfree(ctx.output.data);
    }

    std::future<void> start_loop() { return std::async(std::launch::async, ctl_command_loop); }
};

TEST_F(CommandLoopTest, StopReleasesAReadThatWaitsForASilentHost) {
    auto loop = start_loop();
    ASSERT_TRUE(host.wait_for_agent(10000));
    Sleep(2000);  // past the 1 s wait: the loop is blocked in its read
    ctl_stop_command_loop();
    EXPECT_EQ(loop.wait_for(kStopLimit), std::future_status::ready);
    EXPECT_EQ(ctx.stop.load(), 1);
}

TEST_F(CommandLoopTest, StopDuringTheWaitBeforeAReadReleasesTheNextRead) {
    auto loop = start_loop();
    ASSERT_TRUE(host.wait_for_agent(10000));
    ASSERT_TRUE(host.send("PING"));
    ASSERT_EQ(host.receive(4, 5000), "PONG");
    ctl_stop_command_loop();  // the loop has just begun its 1 s wait; no read is pending
    EXPECT_EQ(loop.wait_for(kStopLimit), std::future_status::ready);
}

TEST_F(CommandLoopTest, MessageInHandIsFinishedAfterAStop) {
    auto loop = start_loop();
    ASSERT_TRUE(host.wait_for_agent(10000));
    ASSERT_TRUE(host.send("PING"));
    ASSERT_EQ(host.receive(4, 5000), "PONG");
    ASSERT_TRUE(host.send("PING;PING"));
    Sleep(300);  // the agent is in its 1 s wait; the message is read once it ends
    ctl_stop_command_loop();
    EXPECT_EQ(loop.wait_for(kStopLimit), std::future_status::ready);
    // Either the read came first and both replies went out, or the stop did and none did.
    std::string replies = host.drain(500);
    EXPECT_TRUE(replies == "PONGPONG" || replies.empty()) << replies;
}

TEST_F(CommandLoopTest, StopWhileTheDeviceIsClosed) {
    host.disconnect();
    dev_set_path(ctx.device, "\\\\.\\pipe\\vorna-test-nobody-listens");
    auto loop = start_loop();
    Sleep(1000);
    ctl_stop_command_loop();
    EXPECT_EQ(loop.wait_for(kStopLimit), std::future_status::ready);
}

}  // namespace
