#include "query_command.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>

#include "channel.h"
#include "channel_holder.h"
#include "exit_status.h"

namespace {

int failed(int status, const std::string& message) {
    std::fprintf(stderr, "vorna-stats-host: %s\n", message.c_str());
    return status;
}

}  // namespace

int run_query(const std::string& endpoint_arg, const std::string& command,
              double timeout_seconds) {
    std::optional<endpoint> where = parse_endpoint(endpoint_arg);
    if (!where)
        return failed(kExitUsage, "not an endpoint: " + endpoint_arg +
                                      " (unix:PATH or tcp:HOST:PORT)");
    std::optional<reply_kind> kind = reply_kind_of(command);
    if (!kind)
        return failed(kExitUsage, "not a command: " + command +
                                      " (PING, or GSTATS: and letters among C, M, D)");

    if (where->kind == endpoint::kind_type::unix_socket && unix_channel_held(where->path))
        return failed(kExitConnection, channel_held_message(where->path));
    guest_channel channel(*where);
    auto timeout = std::chrono::milliseconds(static_cast<long long>(timeout_seconds * 1000));
    exchange_result result = channel.exchange(command, *kind, timeout, -1);
    switch (result.status) {
    case exchange_status::ok:
        break;
    case exchange_status::timeout:
        return failed(kExitTimeout, result.detail);
    case exchange_status::invalid:
        return failed(kExitInvalidReply, result.detail);
    default:
        return failed(kExitConnection, result.detail);
    }

    std::string shown = result.reply;
    if (*kind == reply_kind::report) {
        // In the agent's order of keys.
        auto parsed = nlohmann::ordered_json::parse(result.reply, nullptr, false);
        if (parsed.is_discarded())
            return failed(kExitInvalidReply, "the reply is not valid JSON: " + printable(result.reply));
        if (isatty(STDOUT_FILENO)) shown = parsed.dump(2);
    }
    std::printf("%s\n", shown.c_str());
    return kExitOk;
}
