#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The host's side of the agent's wire protocol, free of sockets. The agent's replies carry no
// length and no terminator: a reply is complete when its own shape says so.

// What the agent answers a command with.
enum class reply_kind { pong, report };

// The reply that a command the host may send gets: "PING", or "GSTATS:" and one or more of the
// letters C, M, D. Anything else is refused: an empty selector gets no reply at all, and a ";"
// would make two commands, hence two replies, of one message.
std::optional<reply_kind> reply_kind_of(std::string_view command);

enum class scan_status { incomplete, complete, invalid };

struct scan_result {
    scan_status status;
    std::size_t length;  // bytes of the reply, when complete
};

// A guest that sends this much without completing a reply is not answering.
constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// Looks at the bytes received so far: "PONG", or one JSON object whose braces balance (braces
// inside strings do not count).
scan_result scan_reply(reply_kind kind, std::string_view bytes);

// Bytes as a person reads them in a message: unprintable ones as \xNN, cut after limit bytes.
std::string printable(std::string_view bytes, std::size_t limit = 80);
