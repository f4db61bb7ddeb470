// The agent executable against a simulated host on a named pipe.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"

namespace {

// The agent connects 2 s after its start and reads 1 s after connecting.
constexpr int kConnectTimeoutMs = 15000;
constexpr int kReplyTimeoutMs = 6000;
// Longer than the agent's 1 s wait before a read: a message sent this long after the previous
// one cannot share a read with it.
constexpr int kReadGapMs = 2500;
// Replies to one message are written back to back: a stray one arrives within this time.
constexpr int kStrayReplyMs = 500;

class ProtocolTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        host_ = std::make_unique<pipe_host>(unique_pipe_path("protocol"));
        agent_ = std::make_unique<agent_process>(std::vector<std::string>{"-p", host_->path()});
        ASSERT_TRUE(host_->wait_for_agent(kConnectTimeoutMs));
    }
    static void TearDownTestSuite() {
        agent_.reset();
        host_.reset();
    }

    // Sends one message and checks that exactly the expected replies come back, and nothing
    // after them: a PING sent once the message must have been read gets the next reply.
    static void expect_exchange(const std::string& message, const std::string& replies) {
        ASSERT_TRUE(host_->send(message));
        if (replies.empty()) {
            EXPECT_EQ(host_->drain(kReadGapMs), "") << "message: " << message;
        } else {
            EXPECT_EQ(host_->receive(replies.size(), kReplyTimeoutMs), replies)
                << "message: " << message;
            EXPECT_EQ(host_->drain(kStrayReplyMs), "") << "message: " << message;
        }
        ASSERT_TRUE(host_->send("PING"));
        EXPECT_EQ(host_->receive(4, kReplyTimeoutMs), "PONG") << "after: " << message;
        EXPECT_EQ(host_->drain(kStrayReplyMs), "");
    }

    static std::unique_ptr<pipe_host> host_;
    static std::unique_ptr<agent_process> agent_;
};

std::unique_ptr<pipe_host> ProtocolTest::host_;
std::unique_ptr<agent_process> ProtocolTest::agent_;

TEST_F(ProtocolTest, EveryPingOfAMessageIsAnswered) {
    expect_exchange("PING", "PONG");
    expect_exchange("PING;PING", "PONGPONG");
    expect_exchange(";;PING;", "PONG");
}

TEST_F(ProtocolTest, OneCharacterTokenEndsTheMessage) {
    expect_exchange("PING;x;PING", "PONG");
    expect_exchange("x;PING", "PONG");
    expect_exchange("PING;\n", "PONG");
}

TEST_F(ProtocolTest, InexactCommandsAreSkipped) {
    expect_exchange("ping", "");
    expect_exchange("PING\n", "");
    expect_exchange("GSTATS:", "");
    expect_exchange(";;;;;;", "");
}

TEST_F(ProtocolTest, MessageEndsAtTheFirstNul) {
    expect_exchange(std::string("PING\0;PING", 10), "PONG");
}

TEST_F(ProtocolTest, AFullReadOf512BytesIsOneMessage) {
    // Were the last byte lost, the final token would be "PIN".
    std::string message = std::string(507, 'a') + ";PING";
    ASSERT_EQ(message.size(), 512u);
    expect_exchange(message, "PONG");
}

TEST_F(ProtocolTest, NothingOfALongerMessageIsCarriedIntoAShorterOne) {
    expect_exchange("PINGPINGPINGPING;zz", "");
    // Over the tail of the longer message this would read "PINGPINGPINGPING".
    expect_exchange("PING", "PONG");
}

TEST_F(ProtocolTest, AgentReconnectsAfterTheHostWentAway) {
    host_->disconnect();
    ULONGLONG gone = GetTickCount64();
    ASSERT_TRUE(host_->wait_for_agent(kConnectTimeoutMs));
    // The read fails, the device is closed, and it is opened again after 2 s + 2 s.
    EXPECT_GE(GetTickCount64() - gone, 3000u);
    expect_exchange("PING", "PONG");
}

TEST(DeviceTest, AgentWithoutDevicePathKeepsRetrying) {
    agent_process agent({"-p", ""});
    DWORD status = 0;
    EXPECT_FALSE(agent.wait(9000, &status)) << "ended with status " << status;
    // Said once, not at every attempt.
    std::string err = agent.err();
    EXPECT_EQ(err.rfind("The device  cannot be opened: ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_NE(err.find(" The agent tries again every 4 seconds and reports here when the device is "
                       "open again.\r\n"),
              std::string::npos)
        << err;
}

TEST(DeviceTest, AgentFindsAHostThatAppearsLater) {
    std::string path = unique_pipe_path("late");
    agent_process agent({"-p", path});
    Sleep(5000);  // at least one failed attempt
    ASSERT_TRUE(agent.running());
    pipe_host host(path);
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
    ASSERT_TRUE(host.send("PING"));
    EXPECT_EQ(host.receive(4, kReplyTimeoutMs), "PONG");
    std::string err = agent.err();
    EXPECT_EQ(err.rfind("The device " + path + " cannot be opened: ", 0), 0u) << err;
    std::string back = "The device " + path + " is open again.\r\n";
    EXPECT_EQ(err.substr(err.find('\n') + 1), back) << err;
}

TEST(PidFileTest, HoldsTheProcessIdBeforeTheAgentServes) {
    temp_path pid_file("pid");
    pipe_host host(unique_pipe_path("pid"));
    agent_process agent({"-F", pid_file.path(), "-p", host.path()});
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
    EXPECT_EQ(pid_file.read(), std::to_string(agent.pid()));
}

TEST(PidFileTest, LaterOptionsReplaceEarlierOnes) {
    temp_path first("pid"), second("pid");
    pipe_host wrong(unique_pipe_path("wrong"));
    pipe_host host(unique_pipe_path("right"));
    agent_process agent({"-F", first.path(), "-p", wrong.path(), "--pid", second.path(),
                         "--dev", host.path()});
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
    EXPECT_FALSE(first.exists());
    EXPECT_EQ(second.read(), std::to_string(agent.pid()));
}

}  // namespace
