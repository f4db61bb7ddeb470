// The agent executable under a host that misbehaves: it must answer PING afterwards.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"

namespace {

constexpr int kConnectTimeoutMs = 15000;
constexpr int kReplyTimeoutMs = 8000;

class FaultTest : public testing::Test {
protected:
    std::string path = unique_pipe_path("fault");
    std::unique_ptr<pipe_host> host = std::make_unique<pipe_host>(path);
    agent_process agent{{"-p", path}};

    void SetUp() override { ASSERT_TRUE(host->wait_for_agent(kConnectTimeoutMs)); }

    // One exchange that completes right away: afterwards the agent sits in its 1 s wait.
    void expect_pong() {
        ASSERT_TRUE(host->send("PING"));
        ASSERT_EQ(host->receive(4, kReplyTimeoutMs), "PONG");
    }

    void expect_serving_after_reconnect() {
        ASSERT_TRUE(host->wait_for_agent(kConnectTimeoutMs));
        expect_pong();
        EXPECT_TRUE(agent.running());
    }
};

TEST_F(FaultTest, MessagesSentFasterThanTheAgentReadsMergeIntoOneRead) {
    expect_pong();
    // Both arrive during the agent's 1 s wait and are read together as "PINGPING": no command.
    ASSERT_TRUE(host->send("PING"));
    ASSERT_TRUE(host->send("PING"));
    EXPECT_EQ(host->drain(2500), "");
    expect_pong();
    // With their separators, merged messages still answer every command.
    ASSERT_TRUE(host->send("PING;"));
    ASSERT_TRUE(host->send("PING;"));
    ASSERT_TRUE(host->send("PING;"));
    EXPECT_EQ(host->receive(12, kReplyTimeoutMs), "PONGPONGPONG");
    EXPECT_EQ(host->drain(500), "");
}

TEST_F(FaultTest, BytesPast512AreTheNextMessage) {
    expect_pong();
    std::string first = std::string(507, 'a') + ";PING";
    ASSERT_TRUE(host->send(first + "PING"));
    EXPECT_EQ(host->receive(8, kReplyTimeoutMs), "PONGPONG");

    ASSERT_TRUE(host->send(std::string(2000, ';') + "PING"));
    EXPECT_EQ(host->receive(4, kReplyTimeoutMs), "PONG");  // after three reads of separators
    EXPECT_EQ(host->drain(500), "");
}

TEST_F(FaultTest, GarbageAndNulBytesAreSurvived) {
    std::string garbage(512, '\0');
    unsigned state = 12345;
    for (char& c : garbage) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>((state >> 16) % 255 + 1);  // any byte but NUL
    }
    ASSERT_TRUE(host->send(garbage));
    Sleep(2500);
    ASSERT_TRUE(host->send(std::string("\0\0\0PING", 7)));  // empty text
    Sleep(2500);
    host->drain(100);
    expect_pong();
}

TEST_F(FaultTest, HostClosingBeforeReadingAReplyIsSurvived) {
    ASSERT_TRUE(host->send("PING;PING;PING"));
    host->disconnect();
    expect_serving_after_reconnect();
}

TEST_F(FaultTest, HostClosingDuringTheCpuWindowIsSurvived) {
    expect_pong();
    ASSERT_TRUE(host->send("GSTATS:CMD"));
    Sleep(2000);  // read after 1 s, then sampling for 2 s
    host->disconnect();
    expect_serving_after_reconnect();
}

TEST_F(FaultTest, HostClosingBetweenTwoRepliesOfAMessageIsSurvived) {
    expect_pong();
    ASSERT_TRUE(host->send("GSTATS:M;GSTATS:C;PING"));
    Sleep(2500);  // the memory reply is written; the cpu one is being sampled
    host->disconnect();
    expect_serving_after_reconnect();
}

TEST_F(FaultTest, DeviceThatVanishesAndComesBackIsServedAgain) {
    expect_pong();
    host.reset();  // the pipe is gone altogether
    Sleep(6000);   // at least one failed attempt to open it
    EXPECT_TRUE(agent.running());
    host = std::make_unique<pipe_host>(path);
    expect_serving_after_reconnect();
}

}  // namespace
