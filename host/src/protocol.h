#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The host's side of the agent's wire protocol, free of sockets. The agent's replies carry no
// length and no terminator: a reply is complete when its own shape says so.

// What the agent answers a command with.
enum class reply_kind { pong, report };

// The reply that a command the host may send gets: "PING", or "GSTATS:" and one or more of the
// letters C, M, D, V (V: this system's own volumes fragment, which an agent before it ignores). Anything else is refused: an empty selector gets no reply at all, and a ";"
// would make two commands, hence two replies, of one message.
std::optional<reply_kind> reply_kind_of(std::string_view command);

// How soon after the command its reply can come: a report with the CPU fragment takes the
// agent's 2 s window, less a margin for timer granularity; anything sooner is not its reply.
// The other fragments, volumes too, take no wait of their own.
std::chrono::milliseconds earliest_reply(std::string_view command);

enum class scan_status { incomplete, complete, invalid, oversized };

struct scan_result {
    scan_status status;
    std::size_t length;  // bytes of the reply, when complete
};

// A guest that sends this much without completing a reply is not answering.
constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// Finds the end of a reply as its bytes arrive: "PONG", or one JSON object whose braces balance
// (braces inside strings do not count). It keeps its place, so each byte is looked at once
// however the reply is cut into reads.
struct reply_scanner {
    explicit reply_scanner(reply_kind of) : kind(of) {}
    // The bytes that follow those fed before. Once complete, length is the reply's length within
    // all the bytes fed; a reply not complete within kMaxReplyBytes is oversized.
    scan_status feed(std::string_view bytes);

    reply_kind kind;
    scan_status status = scan_status::incomplete;
    std::size_t length = 0;  // bytes looked at
    long depth = 0;
    bool in_string = false;
    bool escaped = false;
};

// The same for bytes received all at once.
scan_result scan_reply(reply_kind kind, std::string_view bytes);

// Bytes as a person reads them in a message or on a terminal: anything but printable ASCII
// (controls, and every byte of UTF-8 sequences, which may be bidirectional overrides) as \xNN,
// cut after limit bytes.
std::string printable(std::string_view bytes, std::size_t limit = 80);
