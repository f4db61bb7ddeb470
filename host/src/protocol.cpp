#include "protocol.h"

namespace {

constexpr std::string_view kPong = "PONG";
constexpr std::string_view kStatsPrefix = "GSTATS:";

scan_result scan_pong(std::string_view bytes) {
    std::size_t common = bytes.size() < kPong.size() ? bytes.size() : kPong.size();
    if (bytes.substr(0, common) != kPong.substr(0, common)) return {scan_status::invalid, 0};
    if (common < kPong.size()) return {scan_status::incomplete, 0};
    return {scan_status::complete, kPong.size()};
}

scan_result scan_object(std::string_view bytes) {
    if (!bytes.empty() && bytes[0] != '{') return {scan_status::invalid, 0};
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return {scan_status::complete, i + 1};
        }
    }
    if (bytes.size() >= kMaxReplyBytes) return {scan_status::invalid, 0};
    return {scan_status::incomplete, 0};
}

}  // namespace

std::optional<reply_kind> reply_kind_of(std::string_view command) {
    if (command == "PING") return reply_kind::pong;
    if (command.substr(0, kStatsPrefix.size()) != kStatsPrefix) return std::nullopt;
    std::string_view selector = command.substr(kStatsPrefix.size());
    if (selector.empty() || selector.find_first_not_of("CMD") != std::string_view::npos)
        return std::nullopt;
    return reply_kind::report;
}

scan_result scan_reply(reply_kind kind, std::string_view bytes) {
    return kind == reply_kind::pong ? scan_pong(bytes) : scan_object(bytes);
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
