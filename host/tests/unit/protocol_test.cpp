#include <gtest/gtest.h>

#include "protocol.h"

namespace {

struct kind_case {
    const char* command;
    std::optional<reply_kind> kind;
};

TEST(ProtocolTest, OnlyCommandsWithExactlyOneReplyAreSent) {
    const kind_case cases[] = {
        {"PING", reply_kind::pong},
        {"GSTATS:CMD", reply_kind::report},
        {"GSTATS:D", reply_kind::report},
        {"GSTATS:CMDV", reply_kind::report},
        {"GSTATS:V", reply_kind::report},
        {"GSTATS:v", std::nullopt},
        {"GSTATS:", std::nullopt},        // no reply at all
        {"GSTATS:cmd", std::nullopt},     // selects nothing
        {"GSTATS:CMD;PING", std::nullopt},  // two replies
        {"PING;", std::nullopt},
        {"ping", std::nullopt},
        {"PING\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const kind_case& c : cases) EXPECT_EQ(reply_kind_of(c.command), c.kind) << c.command;
}

struct scan_case {
    reply_kind kind;
    std::string bytes;
    scan_status status;
    std::size_t length;
};

TEST(ProtocolTest, RepliesEndWhereTheirShapeSays) {
    const scan_case cases[] = {
        {reply_kind::pong, "", scan_status::incomplete, 0},
        {reply_kind::pong, "PO", scan_status::incomplete, 0},
        {reply_kind::pong, "PONG", scan_status::complete, 4},
        {reply_kind::pong, "PONGPONG", scan_status::complete, 4},
        {reply_kind::pong, "PX", scan_status::invalid, 0},
        {reply_kind::pong, "{", scan_status::invalid, 0},
        {reply_kind::report, "", scan_status::incomplete, 0},
        {reply_kind::report, "{\"cpu\": {\"ncpus\": 2", scan_status::incomplete, 0},
        {reply_kind::report, "{\"cpu\": {\"ncpus\": 2}}", scan_status::complete, 21},
        {reply_kind::report, "{}PONG", scan_status::complete, 2},
        {reply_kind::report, "{ }", scan_status::complete, 3},
        // Braces and escaped quotes inside strings do not count.
        {reply_kind::report, "{\"a}\": \"\\\"}\"}", scan_status::complete, 13},
        // A volume name's braces, and the escaped backslash that ends it.
        {reply_kind::report, R"({"v": [{"n": "\\\\?\\Volume{a}\\"}]}PONG)", scan_status::complete,
         36},
        {reply_kind::report, "{\"a\": \"}", scan_status::incomplete, 0},
        {reply_kind::report, "PONG", scan_status::invalid, 0},
        {reply_kind::report, " {}", scan_status::invalid, 0},
        {reply_kind::report, "{" + std::string(kMaxReplyBytes - 2, ' ') + "}",
         scan_status::complete, kMaxReplyBytes},
        {reply_kind::report, "{" + std::string(kMaxReplyBytes - 1, ' '), scan_status::oversized, 0},
        {reply_kind::report,
         std::string(kMaxReplyBytes / 2, '{') + std::string(kMaxReplyBytes / 2, '}'),
         scan_status::complete, kMaxReplyBytes},
    };
    for (const scan_case& c : cases) {
        scan_result got = scan_reply(c.kind, c.bytes);
        EXPECT_EQ(got.status, c.status) << c.bytes.substr(0, 40);
        EXPECT_EQ(got.length, c.length) << c.bytes.substr(0, 40);
        // Fed a byte at a time, the scanner ends at the same place.
        reply_scanner scanner(c.kind);
        for (char byte : c.bytes) {
            if (scanner.feed(std::string_view(&byte, 1)) != scan_status::incomplete) break;
        }
        EXPECT_EQ(scanner.status, c.status) << c.bytes.substr(0, 40);
        if (c.status == scan_status::complete) {
            EXPECT_EQ(scanner.length, c.length);
        }
    }
}

TEST(ProtocolTest, OnlyAReportWithTheCpuFragmentTakesTheAgentsWindow) {
    EXPECT_GE(earliest_reply("GSTATS:CMD"), std::chrono::milliseconds(1500));
    EXPECT_GE(earliest_reply("GSTATS:MC"), std::chrono::milliseconds(1500));
    EXPECT_EQ(earliest_reply("GSTATS:MD").count(), 0);
    EXPECT_EQ(earliest_reply("GSTATS:DV").count(), 0);
    EXPECT_GE(earliest_reply("GSTATS:CMDV"), std::chrono::milliseconds(1500));
    EXPECT_EQ(earliest_reply("PING").count(), 0);
}

TEST(ProtocolTest, UnprintableBytesAreShownEscapedAndCut) {
    EXPECT_EQ(printable("A\x01\n\xff"), "A\\x01\\x0a\\xff");
    // C1 controls, a bidirectional override and a bare carriage return.
    EXPECT_EQ(printable("\xc2\x9b\xe2\x80\xae\r"), "\\xc2\\x9b\\xe2\\x80\\xae\\x0d");
    EXPECT_EQ(printable("abcdef", 3), "abc...");
}

}  // namespace
