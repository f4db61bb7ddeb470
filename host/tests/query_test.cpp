// vorna-stats-host query against simulated guests: its output and exit statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "channel.h"
#include "exit_status.h"
#include "support/process.h"
#include "support/sim_guest.h"

namespace {

std::string host_exe() {
    const char* path = std::getenv("VORNA_HOST_EXE");
    return path != nullptr ? path : "vorna-stats-host";
}

struct query_case {
    const char* what;
    guest_behaviour behaviour;
    const char* report;  // null: the default
    std::vector<std::string> args;  // after the endpoint; "-" in place of the guest's endpoint
    int status;
    std::string out;
};

TEST(QueryTest, OutputAndStatusForEachKindOfGuest) {
    mkdir("sock", 0755);
    const std::string report = std::string(kSimReport) + "\n";
    const query_case cases[] = {
        {"ping", guest_behaviour::agent, nullptr, {"PING"}, kExitOk, "PONG\n"},
        {"report", guest_behaviour::agent, nullptr, {}, kExitOk, report},
        {"report, braces in a string", guest_behaviour::agent, "{\"a\": \"}\"}", {"GSTATS:C"},
         kExitOk, "{\"a\": \"}\"}\n"},
        {"silent", guest_behaviour::silent, nullptr, {"--timeout", "1"}, kExitTimeout, ""},
        {"garbage", guest_behaviour::garbage, nullptr, {}, kExitInvalidReply, ""},
        {"not JSON", guest_behaviour::agent, "{oops}", {}, kExitInvalidReply, ""},
        {"closes mid-reply", guest_behaviour::close_mid_reply, nullptr, {}, kExitConnection, ""},
        {"empty selector", guest_behaviour::agent, nullptr, {"GSTATS:"}, kExitUsage, ""},
        {"two commands", guest_behaviour::agent, nullptr, {"PING;PING"}, kExitUsage, ""},
        {"bad timeout", guest_behaviour::agent, nullptr, {"--timeout", "0"}, kExitUsage, ""},
    };
    for (const query_case& c : cases) {
        sim_guest_options options;
        options.behaviour = c.behaviour;
        if (c.report != nullptr) options.report = [&c] { return std::string(c.report); };
        sim_guest guest("sock/query", options);
        std::vector<std::string> argv = {host_exe(), "query", guest.endpoint()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        process_result got = run_process(argv, std::chrono::seconds(20));
        EXPECT_EQ(got.status, c.status) << c.what << ": " << got.err;
        EXPECT_EQ(got.out, c.out) << c.what;
        EXPECT_EQ(got.err.empty(), c.status == kExitOk) << c.what << ": " << got.err;
    }
}

TEST(QueryTest, NoGuestOrNoEndpoint) {
    EXPECT_EQ(run_process({host_exe(), "query", "unix:sock/nobody"}, std::chrono::seconds(20)).status,
              kExitConnection);
    EXPECT_EQ(run_process({host_exe(), "query", "tcp:127.0.0.1:" + std::to_string(free_port())},
                          std::chrono::seconds(20))
                  .status,
              kExitConnection);
    EXPECT_EQ(run_process({host_exe(), "query", "sock/nobody"}, std::chrono::seconds(20)).status,
              kExitUsage);
    EXPECT_EQ(run_process({host_exe(), "query"}, std::chrono::seconds(20)).status, kExitUsage);
}

TEST(QueryTest, IndentedJsonOnATerminal) {
    sim_guest guest("sock/terminal", {});
    // script(1) gives the program a terminal, whose line ends are \r\n.
    process_result got = run_process(
        {"script", "-qec", host_exe() + " query " + guest.endpoint(), "/dev/null"}, std::chrono::seconds(20));
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out.substr(0, 40), "{\r\n  \"cpu\": {\r\n    \"ncpus\": 4,\r\n    \"per") << got.out;
}

TEST(ChannelTest, MessagesOnOneConnectionAreASecondApartAndNeverMerge) {
    sim_guest guest("", {});
    guest_channel channel(*parse_endpoint(guest.endpoint()));
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(channel.exchange("PING", reply_kind::pong, std::chrono::seconds(5), -1).reply,
                  "PONG");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(guest.messages(), 3);
}

TEST(ChannelTest, GuestThatCameBackIsReachedInTheSameExchange) {
    auto guest = std::make_unique<sim_guest>("sock/channel", sim_guest_options{});
    guest_channel channel(*parse_endpoint(guest->endpoint()));
    ASSERT_EQ(channel.exchange("PING", reply_kind::pong, std::chrono::seconds(5), -1).status,
              exchange_status::ok);
    guest.reset();
    guest = std::make_unique<sim_guest>("sock/channel", sim_guest_options{});
    EXPECT_EQ(channel.exchange("PING", reply_kind::pong, std::chrono::seconds(5), -1).status,
              exchange_status::ok);
}

}  // namespace
