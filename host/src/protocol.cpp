#include "protocol.h"

namespace {

constexpr std::string_view kPong = "PONG";
constexpr std::string_view kStatsPrefix = "GSTATS:";

}  // namespace

std::optional<reply_kind> reply_kind_of(std::string_view command) {
    if (command == "PING") return reply_kind::pong;
    if (command.substr(0, kStatsPrefix.size()) != kStatsPrefix) return std::nullopt;
    std::string_view selector = command.substr(kStatsPrefix.size());
    if (selector.empty() || selector.find_first_not_of("CMDV") != std::string_view::npos)
        return std::nullopt;
    return reply_kind::report;
}

std::chrono::milliseconds earliest_reply(std::string_view command) {
    bool cpu = command.substr(0, kStatsPrefix.size()) == kStatsPrefix &&
               command.find('C', kStatsPrefix.size()) != std::string_view::npos;
    return std::chrono::milliseconds(cpu ? 1900 : 0);
}

scan_status reply_scanner::feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size() && status == scan_status::incomplete; ++i) {
        char c = bytes[i];
        if (kind == reply_kind::pong) {
            if (c != kPong[length]) status = scan_status::invalid;
            else if (length + 1 == kPong.size()) status = scan_status::complete;
        } else if (length == 0) {
            if (c != '{') status = scan_status::invalid;
            depth = 1;
        } else if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            status = scan_status::complete;
        }
        if (status == scan_status::invalid) break;
        if (++length == kMaxReplyBytes && status == scan_status::incomplete)
            status = scan_status::oversized;
    }
    return status;
}

scan_result scan_reply(reply_kind kind, std::string_view bytes) {
    reply_scanner scanner(kind);
    scan_status status = scanner.feed(bytes);
    return {status, status == scan_status::complete ? scanner.length : 0};
}

std::string printable(std::string_view bytes, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            const char* digits = "0123456789abcdef";
            text += "\\x";
            text += digits[c >> 4];
            text += digits[c & 15];
        }
    }
    if (bytes.size() > limit) text += "...";
    return text;
}
