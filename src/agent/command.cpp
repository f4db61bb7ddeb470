#include "agent/command.h"

#include <cstring>

#include "agent/context.h"
#include "agent/stats_report.h"
#include "device/device_channel.h"

namespace {

constexpr char kStatsPrefix[] = "GSTATS:";
constexpr std::size_t kStatsPrefixLength = sizeof kStatsPrefix - 1;

int handle_token(ctl_context* ctx, const char* token) {
    if (std::strncmp(token, kStatsPrefix, kStatsPrefixLength) == 0)
        return send_stats(ctx, token + kStatsPrefixLength);
    if (std::strcmp(token, "PING") == 0) return ping_pong(ctx);
    return 0;  // unknown commands get no reply
}

}  // namespace

char* ctl_next_token(char** cursor) {
    char* p = *cursor;
    while (*p == ';') ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char* token = p;
    while (*p != '\0' && *p != ';') ++p;
    if (*p == ';') *p++ = '\0';
    *cursor = p;
    return token;
}

int ctl_command(ctl_context* ctx, char* text) {
    char* cursor = text;
    char* token = ctl_next_token(&cursor);
    while (token != nullptr) {
        // A stop starts no further command: each may take seconds (the CPU window), and a
        // full message of them would hold the stop for minutes.
        if (ctx->stop.load() != 0) return 0;
        if (handle_token(ctx, token) == -1) return -1;  // the rest of the message is dropped
        token = ctl_next_token(&cursor);
        // After the first token, a one-character token (such as a trailing line end) ends the
        // message unhandled, and the tokens after it are dropped.
        if (token != nullptr && token[1] == '\0') return 0;
    }
    return 0;
}

int ping_pong(ctl_context* ctx) {
    return dev_write(ctx->device, "PONG", 4);
}
