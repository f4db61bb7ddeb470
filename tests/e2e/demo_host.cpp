// A simulated stats host for the demo: serves a named pipe, sends the agent the cases of the
// protocol and prints every request and every reply.
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/pipe_host.h"

namespace {

struct exchange {
    std::string message;
    const char* note;
};

}  // namespace

int main(int argc, char** argv) {
    bool brief = argc == 3 && std::string(argv[2]) == "--brief";
    if (argc < 2 || argc > 3 || (argc == 3 && !brief)) {
        std::fprintf(stderr, "usage: %s PIPE-PATH [--brief]\n", argv[0]);
        return 2;
    }
    // --brief: one liveness probe and one statistics request.
    const std::vector<exchange> brief_exchanges = {
        {"PING", "liveness probe"},
        {"GSTATS:CMD", "statistics: cpu, memory and disk"},
    };
    const std::vector<exchange> all_exchanges = {
        {"PING", "liveness probe"},
        {"PING;PING", "two commands, two replies"},
        {";;PING;", "empty tokens do not exist"},
        {"PING;x;PING", "a one-character token ends the message"},
        {"x;PING", "the first token is always handled"},
        {"ping", "commands are case-sensitive"},
        {"PING\n", "the line feed is part of the token"},
        {"PING;\n", "the line feed is a token of its own"},
        {"GSTATS:CMD", "statistics: cpu, memory and disk"},
        {"GSTATS:DC", "statistics: cpu and disk"},
        {"GSTATS:M", "statistics: memory"},
        {"GSTATS:X", "no selector letter: an empty object"},
        {"GSTATS:cmd", "selector letters are case-sensitive"},
        {"GSTATS:MD;PING", "a report and a PONG from one message"},
        {"GSTATS:CMDV", "statistics with every volume, after the disk"},
        {"GSTATS:", "empty selector: no reply"},
    };

    const std::vector<exchange>& exchanges = brief ? brief_exchanges : all_exchanges;

    pipe_host host(argv[1]);
    std::printf("host: waiting for the agent on %s\n", host.path().c_str());
    std::fflush(stdout);
    if (!host.wait_for_agent(30000)) {
        std::fprintf(stderr, "host: the agent did not connect\n");
        return 1;
    }
    std::printf("host: agent connected\n");
    for (const exchange& e : exchanges) {
        std::printf("\nhost  -> agent: %-14s (%s)\n", shown(e.message).c_str(), e.note);
        std::fflush(stdout);
        if (!host.send(e.message)) {
            std::fprintf(stderr, "host: write failed\n");
            return 1;
        }
        // The agent reads within 1 s; a statistics reply may add the 2 s CPU window, and a busy
        // machine some more.
        bool stats = e.message.find("GSTATS:") != std::string::npos;
        std::string first = host.receive(1, stats ? 6000 : 2500);
        std::string replies = first.empty() ? first : first + host.drain(600);
        std::printf("agent -> host : %s\n", replies.empty() ? "(no reply)" : shown(replies).c_str());
        std::fflush(stdout);
    }
    if (brief) {
        // The service round stops the agent now: the host stays silent and connected, so the
        // stop has to release the agent's pending read.
        std::printf("\nhost: exchanges done; connection kept open, silent\n");
        std::fflush(stdout);
        const int timeout_ms = 30000;
        ULONGLONG start = GetTickCount64();
        std::string late = host.drain(timeout_ms);
        bool closed = GetTickCount64() - start < static_cast<ULONGLONG>(timeout_ms);
        if (!late.empty()) std::printf("agent -> host : %s\n", shown(late).c_str());
        std::printf("host: %s\n", closed ? "the agent closed the connection"
                                          : "the agent kept the connection open");
        return closed ? 0 : 1;
    }
    return 0;
}
