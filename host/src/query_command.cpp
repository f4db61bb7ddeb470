#include "query_command.h"

#include <nlohmann/json.hpp>
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string_view>

#include "channel.h"
#include "channel_holder.h"
#include "exit_status.h"
#include "guest_report.h"
#include "report.h"

namespace {

int failed(int status, const std::string& message) {
    report("%s", message.c_str());
    return status;
}

// A terminal that does not take UTF-8 could read bytes of it as C1 controls.
bool utf8_terminal() {
    const char* locale = setlocale(LC_CTYPE, "");
    bool utf8 = locale != nullptr && std::string_view(nl_langinfo(CODESET)) == "UTF-8";
    setlocale(LC_CTYPE, "C");
    return utf8;
}

}  // namespace

int run_query(const std::string& endpoint_arg, const std::string& command,
              double timeout_seconds) {
    std::optional<endpoint> where = parse_endpoint(endpoint_arg);
    if (!where)
        return failed(kExitUsage, "not an endpoint: " + printable(endpoint_arg, 300) +
                                      " (unix:PATH or tcp:HOST:PORT)");
    std::optional<reply_kind> kind = reply_kind_of(command);
    if (!kind)
        return failed(kExitUsage, "not a command: " + printable(command) +
                                      " (PING, or GSTATS: and letters among C, M, D, V)");
    if (!(timeout_seconds >= 0.001 && timeout_seconds <= 3600))
        return failed(kExitUsage, "the timeout is not 0.001 to 3600 s");

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
    case exchange_status::oversized:
    case exchange_status::noisy:
        return failed(kExitInvalidReply, result.detail);
    default:
        return failed(kExitConnection, result.detail);
    }

    // Only a reply that passed the check is printed: the agent's own shape, which no indentation
    // can blow up, in printable ASCII but for the volumes' strings, which are UTF-8 without
    // controls, line separators or bidirectional controls. On a terminal that does not take
    // UTF-8 they are shown as \uXXXX.
    std::string shown = result.reply;
    if (*kind == reply_kind::report) {
        std::string selector = command.substr(command.find(':') + 1);
        guest_figures figures;
        std::string error;
        if (check_report(result.reply, selector, &figures, &error) != report_verdict::valid)
            return failed(kExitInvalidReply,
                          "not a report the agent can send: " + error + ": " +
                              printable(result.reply));
        for (const std::string& probe : failed_probes(figures))
            report("the guest's probe failed, its figures mean nothing: %s", probe.c_str());
        if (selects(selector, fragment_id::volumes) && !reported(figures, fragment_id::volumes))
            report("the agent reports no volumes: it predates V");
        // In the agent's order of keys.
        if (isatty(STDOUT_FILENO))
            shown = nlohmann::ordered_json::parse(result.reply).dump(2, ' ', !utf8_terminal());
    }
    std::printf("%s\n", shown.c_str());
    return kExitOk;
}
