// vorna-stats-host query against simulated guests: its output and exit statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "channel.h"
#include "exit_status.h"
#include "guest_report.h"
#include "support/process.h"
#include "support/sim_guest.h"

namespace {

struct query_case {
    const char* what;
    guest_behaviour behaviour;
    const char* report;  // null: the default
    std::vector<std::string> args;  // after the endpoint; "-" in place of the guest's endpoint
    int status;
    std::string out;
    const char* note = nullptr;  // on standard error, beside a reply printed
    bool knows_volumes = true;
};

// Nothing but printable ASCII and line ends: what a terminal shows as it is.
bool plain_text(const std::string& text) {
    for (char c : text)
        if ((c < 0x20 || c > 0x7e) && c != '\n') return false;
    return true;
}

// Balanced JSON nested as deep as a reply can be, which indentation would square.
std::string deeply_nested() {
    std::string text;
    while (text.size() + 8 < kMaxReplyBytes / 2) text += "{\"a\": ";
    text += "1";
    for (std::size_t i = text.size() / 6; i > 0; --i) text += "}";
    return text;
}

std::string with_unit(const std::string& unit) {
    std::string text = kSimReport;
    return text.replace(text.find("\"kB\""), 4, "\"" + unit + "\"");
}

TEST(QueryTest, OutputAndStatusForEachKindOfGuest) {
    mkdir("sock", 0755);
    const std::string report = std::string(kSimReport) + "\n";
    const std::string nested = deeply_nested();
    // A C1 control (CSI), a right-to-left override and a bare carriage return.
    const std::string unsafe = with_unit("k\xc2\x9b""2J\xe2\x80\xae""B\r");
    const query_case cases[] = {
        {"ping", guest_behaviour::agent, nullptr, {"PING"}, kExitOk, "PONG\n"},
        {"report", guest_behaviour::agent, nullptr, {}, kExitOk, report},
        {"cpu alone", guest_behaviour::agent, "{\"cpu\": {\"ncpus\": 1,\"percent\": 0.00} }",
         {"GSTATS:C"}, kExitOk, "{\"cpu\": {\"ncpus\": 1,\"percent\": 0.00} }\n"},
        {"volumes", guest_behaviour::agent, nullptr, {"GSTATS:DV"}, kExitOk,
         sim_report("DV") + "\n", "probe failed, its figures mean nothing: volume E:"},
        {"an agent before V", guest_behaviour::agent, nullptr, {"GSTATS:CMDV"}, kExitOk, report,
         "the agent reports no volumes: it predates V", false},
        {"not the agent's shape", guest_behaviour::agent, "{\"a\": \"}\"}", {"GSTATS:C"},
         kExitInvalidReply, ""},
        {"deeply nested", guest_behaviour::agent, nested.c_str(), {}, kExitInvalidReply, ""},
        {"unsafe characters", guest_behaviour::agent, unsafe.c_str(), {}, kExitInvalidReply, ""},
        {"silent", guest_behaviour::silent, nullptr, {"--timeout", "1"}, kExitTimeout, ""},
        {"garbage", guest_behaviour::garbage, nullptr, {}, kExitInvalidReply, ""},
        {"not JSON", guest_behaviour::agent, "{oops}", {}, kExitInvalidReply, ""},
        {"closes mid-reply", guest_behaviour::close_mid_reply, nullptr, {}, kExitConnection, ""},
        {"empty selector", guest_behaviour::agent, nullptr, {"GSTATS:"}, kExitUsage, ""},
        {"two commands", guest_behaviour::agent, nullptr, {"PING;PING"}, kExitUsage, ""},
        {"bad timeout", guest_behaviour::agent, nullptr, {"--timeout", "0"}, kExitUsage, ""},
    };
    // All at once: each query waits for its channel to be quiet first.
    std::vector<std::future<process_result>> runs;
    for (std::size_t i = 0; i < std::size(cases); ++i)
        runs.push_back(std::async(std::launch::async, [&c = cases[i], i] {
            sim_guest_options options;
            options.behaviour = c.behaviour;
            options.knows_volumes = c.knows_volumes;
            if (c.report != nullptr) options.report = [&c] { return std::string(c.report); };
            sim_guest guest("sock/query-" + std::to_string(i), options);
            std::vector<std::string> argv = {host_exe(), "query", guest.endpoint()};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            return run_process(argv, std::chrono::seconds(30));
        }));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const query_case& c = cases[i];
        process_result got = runs[i].get();
        EXPECT_EQ(got.status, c.status) << c.what << ": " << got.err;
        EXPECT_EQ(got.out, c.out) << c.what;
        if (c.note != nullptr)
            EXPECT_NE(got.err.find(c.note), std::string::npos) << c.what << ": " << got.err;
        else
            EXPECT_EQ(got.err.empty(), c.status == kExitOk) << c.what << ": " << got.err;
        EXPECT_TRUE(plain_text(got.err)) << c.what << ": " << got.err;
        EXPECT_LT(got.err.size(), 1000u) << c.what;
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
    // script(1) gives the program a terminal, whose line ends are \r\n. A label's UTF-8 stands
    // as it is on a terminal that takes UTF-8, escaped on one that does not.
    auto on_terminal = [](const std::string& socket, const std::string& locale,
                          const std::string& command) {
        return std::async(std::launch::async, [=] {
            sim_guest guest(socket, {});
            return run_process({"script", "-qec",
                                "LC_ALL=" + locale + " " + host_exe() + " query " +
                                    guest.endpoint() + " " + command,
                                "/dev/null"},
                               std::chrono::seconds(20));
        });
    };
    auto plain = on_terminal("sock/terminal", "C", "GSTATS:CMD");
    auto utf8 = on_terminal("sock/terminal-utf8", "C.UTF-8", "GSTATS:V");
    auto escaped = on_terminal("sock/terminal-c", "C", "GSTATS:V");
    process_result got = plain.get();
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out.substr(0, 40), "{\r\n  \"cpu\": {\r\n    \"ncpus\": 4,\r\n    \"per") << got.out;
    got = utf8.get();
    EXPECT_NE(got.out.find("\"label\": \"Donn\xc3\xa9" "es\""), std::string::npos) << got.out;
    got = escaped.get();
    EXPECT_NE(got.out.find("\"label\": \"Donn\\u00e9es\""), std::string::npos) << got.out;
    got.out.erase(std::remove(got.out.begin(), got.out.end(), '\r'), got.out.end());
    EXPECT_TRUE(plain_text(got.out)) << got.out;
}

TEST(QueryTest, NothingUncheckedReachesATerminal) {
    sim_guest_options options;
    const std::string nested = deeply_nested();
    options.report = [&nested] { return nested; };
    sim_guest guest("sock/terminal", options);
    process_result got = run_process(
        {"script", "-qec", host_exe() + " query " + guest.endpoint(), "/dev/null"},
        std::chrono::seconds(20));
    EXPECT_EQ(got.status, kExitInvalidReply) << got.out;
    EXPECT_LT(got.out.size(), 1000u);
    std::string shown = got.out.substr(0, 2000);
    for (std::size_t at = shown.find("\r\n"); at != std::string::npos; at = shown.find("\r\n"))
        shown.erase(at, 1);  // the terminal's own line ends
    EXPECT_TRUE(plain_text(shown)) << shown;
}

TEST(QueryTest, VmNameAndOptionsAreChecked) {
    const std::vector<std::string> refused[] = {
        {"export", "--listen", "127.0.0.1:0", "--vm", "a\x1b[2J=unix:sock/x"},
        {"export", "--listen", "127.0.0.1:0", "--vm", "a\xff=unix:sock/x"},
        {"export", "--listen", "127.0.0.1:0", "--vm", "a=unix:sock/x", "--timeout", "1e300"},
        {"query", "unix:sock/x", "--timeout", "1e300"},
    };
    for (const auto& args : refused) {
        std::vector<std::string> argv = {host_exe()};
        argv.insert(argv.end(), args.begin(), args.end());
        process_result got = run_process(argv, std::chrono::seconds(20));
        EXPECT_EQ(got.status, kExitUsage) << args.back() << got.err;
        EXPECT_TRUE(plain_text(got.err)) << got.err;
    }
}

// Each report names its request: its cpu count is the number of GSTATS: the guest has read.
sim_guest_options numbered_reports(std::chrono::milliseconds delay) {
    sim_guest_options options;
    options.report_delay = delay;
    options.keep_late_replies = true;
    auto count = std::make_shared<int>(0);
    options.report = [count] {
        std::string text = kSimReport;
        return text.replace(text.find("4"), 1, std::to_string(++*count));
    };
    return options;
}

std::uint64_t cpus_of(const exchange_result& result) {
    guest_figures figures;
    std::string error;
    EXPECT_EQ(check_report(result.reply, "CMD", &figures, &error), report_verdict::valid) << error;
    return static_cast<std::uint64_t>(value_of(figures, figure_id::cpus));
}

TEST(ChannelTest, LateReplyIsNeverTakenForTheNextRequest) {
    sim_guest guest("sock/late", numbered_reports(std::chrono::milliseconds(2500)));
    guest_channel channel(*parse_endpoint(guest.endpoint()));
    // Given up on; QEMU hands the reply to the next connection.
    EXPECT_EQ(
        channel.exchange("GSTATS:CMD", reply_kind::report, std::chrono::seconds(1), -1).status,
        exchange_status::timeout);
    exchange_result second =
        channel.exchange("GSTATS:CMD", reply_kind::report, std::chrono::seconds(10), -1);
    ASSERT_EQ(second.status, exchange_status::ok) << second.detail;
    EXPECT_EQ(cpus_of(second), 2u);
    exchange_result third =
        channel.exchange("GSTATS:CMD", reply_kind::report, std::chrono::seconds(10), -1);
    ASSERT_EQ(third.status, exchange_status::ok) << third.detail;
    EXPECT_EQ(cpus_of(third), 3u);
}

TEST(ChannelTest, QueryNeverPrintsAReplyThatWaitedForIt) {
    sim_guest guest("sock/late", numbered_reports(std::chrono::milliseconds(2500)));
    EXPECT_EQ(run_process({host_exe(), "query", guest.endpoint(), "--timeout", "1"},
                          std::chrono::seconds(20))
                  .status,
              kExitTimeout);
    process_result got =
        run_process({host_exe(), "query", guest.endpoint()}, std::chrono::seconds(30));
    EXPECT_EQ(got.status, kExitOk) << got.err;
    EXPECT_NE(got.out.find("\"ncpus\": 2,"), std::string::npos) << got.out;
}

struct unpaired_case {
    const char* what;
    sim_guest_options options;
    exchange_status status;
};

TEST(ChannelTest, BytesThatCannotBeTheReplyAreNeverTakenForIt) {
    sim_guest_options too_soon;  // a report sooner than the agent's CPU window allows
    too_soon.report_delay = std::chrono::milliseconds(0);
    sim_guest_options twice;
    twice.report = [] { return std::string(kSimReport) + kSimReport; };
    sim_guest_options chatter;
    chatter.behaviour = guest_behaviour::chatter;
    const unpaired_case cases[] = {
        {"too soon", too_soon, exchange_status::timeout},
        {"two replies", twice, exchange_status::noisy},
        {"never quiet", chatter, exchange_status::noisy},
    };
    std::vector<std::future<exchange_result>> runs;
    for (const unpaired_case& c : cases)
        runs.push_back(std::async(std::launch::async, [&c] {
            sim_guest guest("", c.options);
            guest_channel channel(*parse_endpoint(guest.endpoint()));
            return channel.exchange("GSTATS:CMD", reply_kind::report, std::chrono::seconds(4), -1);
        }));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        exchange_result got = runs[i].get();
        EXPECT_EQ(got.status, cases[i].status) << cases[i].what << ": " << got.detail;
    }
}

TEST(ChannelTest, WaitForQuietEndsOnStop) {
    sim_guest_options chatter;
    chatter.behaviour = guest_behaviour::chatter;
    sim_guest guest("", chatter);
    guest_channel channel(*parse_endpoint(guest.endpoint()));
    stop_signal stop;
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stop.raise();
    });
    auto start = std::chrono::steady_clock::now();
    exchange_result got =
        channel.exchange("GSTATS:CMD", reply_kind::report, std::chrono::seconds(4), stop.fd());
    stopper.join();
    EXPECT_EQ(got.status, exchange_status::stopped) << got.detail;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
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
