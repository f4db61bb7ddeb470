// A simulated stats host for the demo: serves a named pipe, sends the agent the cases of the
// protocol and prints every request and every reply.
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/pipe_host.h"

namespace {

std::string shown(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\n') text += "\\n";
        else if (c == '\0') text += "\\0";
        else if (c < 0x20 || c > 0x7e) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else text += static_cast<char>(c);
    }
    return text;
}

struct exchange {
    std::string message;
    const char* note;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PIPE-PATH\n", argv[0]);
        return 2;
    }
    const std::vector<exchange> exchanges = {
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
        {"GSTATS:", "empty selector: no reply"},
    };

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
    return 0;
}
