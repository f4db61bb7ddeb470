#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/command.h"
#include "agent/context.h"
#include "support/fake_device.h"

namespace {

using Replies = std::vector<std::string>;

struct CommandTest : testing::Test {
    ctl_context ctx;
    CommandTest() { ctx.device = dev_init("fake"); }
    ~CommandTest() override { dev_free(ctx.device); }

    Replies answer(std::string message) {
        ctx.device->writes.clear();
        EXPECT_EQ(ctl_command(&ctx, message.data()), 0) << message;
        return ctx.device->writes;
    }
};

std::vector<std::string> tokens_of(std::string text) {
    std::vector<std::string> tokens;
    char* cursor = text.data();
    while (char* token = ctl_next_token(&cursor)) tokens.emplace_back(token);
    return tokens;
}

TEST(TokenTest, SplitsLikeStrtok) {
    EXPECT_EQ(tokens_of("PING"), Replies({"PING"}));
    EXPECT_EQ(tokens_of("a;b"), Replies({"a", "b"}));
    EXPECT_EQ(tokens_of(";;a;;;b;"), Replies({"a", "b"}));
    EXPECT_EQ(tokens_of(""), Replies());
    EXPECT_EQ(tokens_of(";;;"), Replies());
    EXPECT_EQ(tokens_of("GSTATS:C;\n"), Replies({"GSTATS:C", "\n"}));
}

TEST_F(CommandTest, PingIsAnsweredWithPong) {
    EXPECT_EQ(answer("PING"), Replies({"PONG"}));
    EXPECT_EQ(answer("PING;PING"), Replies({"PONG", "PONG"}));
    EXPECT_EQ(answer(";;PING;"), Replies({"PONG"}));
}

TEST_F(CommandTest, OneCharacterTokenEndsTheMessage) {
    EXPECT_EQ(answer("PING;x;PING"), Replies({"PONG"}));
    EXPECT_EQ(answer("PING;\n"), Replies({"PONG"}));
    EXPECT_EQ(answer("PING;\n;PING"), Replies({"PONG"}));
    // The first token is handled whatever its length.
    EXPECT_EQ(answer("x;PING"), Replies({"PONG"}));
}

TEST_F(CommandTest, OnlyTheExactCommandIsRecognised) {
    EXPECT_EQ(answer("PING\n"), Replies());
    EXPECT_EQ(answer("ping"), Replies());
    EXPECT_EQ(answer("PINGPING"), Replies());
    EXPECT_EQ(answer(" PING"), Replies());
    EXPECT_EQ(answer("gstats:CMD"), Replies());
    EXPECT_EQ(answer("unknown;PING"), Replies({"PONG"}));
}

TEST_F(CommandTest, EmptyMessagesAndSelectorsGetNoReply) {
    EXPECT_EQ(answer(""), Replies());
    EXPECT_EQ(answer(";;;;"), Replies());
    EXPECT_EQ(answer("GSTATS:"), Replies());
    EXPECT_EQ(answer("GSTATS:;PING"), Replies({"PONG"}));
}

TEST_F(CommandTest, FailedWriteDropsTheRestOfTheMessage) {
    ctx.device->fail_write_from = 0;
    std::string message = "PING;PING;PING";
    EXPECT_EQ(ctl_command(&ctx, message.data()), -1);
    EXPECT_EQ(ctx.device->write_attempts, 1);

    ctx.device->fail_write_from = 1;
    ctx.device->write_attempts = 0;
    message = "PING;PING;PING";
    EXPECT_EQ(ctl_command(&ctx, message.data()), -1);
    EXPECT_EQ(ctx.device->write_attempts, 2);
    EXPECT_EQ(ctx.device->writes, Replies({"PONG"}));
}

TEST_F(CommandTest, StopFinishesTheCommandInProgressAndStartsNoOther) {
    ctx.device->after_write = [this] { ctx.stop.store(1); };
    EXPECT_EQ(answer("PING;PING;PING"), Replies({"PONG"}));
    EXPECT_EQ(answer("PING"), Replies());
}

}  // namespace
