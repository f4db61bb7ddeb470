#include <gtest/gtest.h>

#include <string>

#include "e2e/agent_process.h"

namespace {

// Standard output is in text mode: every line feed reaches the file as CR LF.
const std::string kUsage =
    "vorna-stats-agent usage: vorna-stats-agent [OPTIONS ...]\r\n\r"
    "  -h, --help                : Show usage and exit.\r\n\r"
    "  -v, --version             : Show version and exit.\r\n\r"
    "      --service-install     : Install service and exit\r\n\r"
    "      --service-uninstall   : Uninstall service and exit.\r\n\r"
    "  -d, --daemonize           : Daemonize processus.\r\n\r"
    "  -F, --pid-file            : Set path to write PID of program.\r\n\r"
    "  -p, --dev-path            : Set device path to read/write data.\r\n";
const std::string kVersion = "vorna-stats-agent " VORNA_VERSION "\r\n";

TEST(CommandLineTest, HelpAndVersion) {
    for (auto args : {std::vector<std::string>{"-h"}, {"--help"}, {"--he"}}) {
        agent_result r = run_agent(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage) << args[0];
        EXPECT_EQ(r.err, "");
    }
    for (auto args : {std::vector<std::string>{"-v"}, {"--version"}, {"--vers"}}) {
        agent_result r = run_agent(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kVersion) << args[0];
    }
}

TEST(CommandLineTest, FirstOfHelpAndVersionWins) {
    EXPECT_EQ(run_agent({"-v", "-h"}).out, kVersion);
    EXPECT_EQ(run_agent({"-h", "-v"}).out, kUsage);
    EXPECT_EQ(run_agent({"-hv"}).out, kUsage);
}

TEST(CommandLineTest, UnknownOptionsAreReportedAndSkipped) {
    agent_result r = run_agent({"--bogus", "-x", "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_NE(r.err.find("bogus"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("x"), std::string::npos) << r.err;

    // Ambiguous prefix: --service-install or --service-uninstall.
    r = run_agent({"--service", "-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_NE(r.err.find("ambiguous"), std::string::npos) << r.err;
}

TEST(CommandLineTest, ArgumentsThatAreNotOptionsAreSkipped) {
    agent_result r = run_agent({"stray", "-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
}

TEST(CommandLineTest, PosixlyCorrectStopsAtTheFirstNonOption) {
    SetEnvironmentVariableA("POSIXLY_CORRECT", "1");
    agent_process agent({"stray", "-v"});
    SetEnvironmentVariableA("POSIXLY_CORRECT", nullptr);
    DWORD status = 0;
    // -v is never seen: the agent goes on to serve its (missing) device.
    EXPECT_FALSE(agent.wait(3000, &status));
    EXPECT_EQ(agent.out(), "");
}

TEST(CommandLineTest, MissingArgumentIsReported) {
    agent_result r = run_agent({"-v", "-p"});
    EXPECT_EQ(r.out, kVersion);
    r = run_agent({"-h", "-F"});
    EXPECT_EQ(r.out, kUsage);
    agent_process agent({"--dev-path"});
    DWORD status = 0;
    EXPECT_FALSE(agent.wait(3000, &status));
    EXPECT_NE(agent.err().find("dev-path"), std::string::npos) << agent.err();
}

}  // namespace
