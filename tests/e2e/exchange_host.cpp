// A simulated host that starts the agent on a named pipe it serves and runs a list of exchanges
// read from a file, one a line: "MESSAGE => PATTERN". The whole reply must match PATTERN
// (ECMAScript syntax; an empty pattern means no reply). In MESSAGE, \n, \0 and \\ stand for a
// line feed, a NUL byte and a backslash. With --wow64 the agent must be a 32-bit process.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"

namespace {

// The agent connects 2 s after its start.
constexpr int kConnectTimeoutMs = 30000;
// A statistics reply comes after the read (within 1 s) and 2 s of CPU sampling.
constexpr int kReplyTimeoutMs = 10000;
// Longer than the agent's 1 s wait before a read: nothing by then means no reply.
constexpr int kNoReplyMs = 2500;
// Replies to one message are written back to back.
constexpr int kReplyEndMs = 1000;

struct exchange {
    int line;
    std::string message;
    std::string pattern;
};

std::string unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        char next = text[++i];
        if (next == 'n') bytes += '\n';
        else if (next == '0') bytes += '\0';
        else bytes += next;
    }
    return bytes;
}

// Wine shows the Linux root as drive Z:.
std::string windows_path(std::string path) {
    if (path.empty() || path[0] != '/') return path;
    path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool read_exchanges(const std::string& path, std::vector<exchange>* exchanges) {
    std::ifstream in(windows_path(path));
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty() || text[0] == '#') continue;
        std::size_t arrow = text.find(" =>");
        if (arrow == std::string::npos) {
            std::fprintf(stderr, "%s:%d: no \" =>\" in the line\n", path.c_str(), line);
            return false;
        }
        std::string pattern = text.substr(arrow + 3);
        if (!pattern.empty() && pattern[0] == ' ') pattern.erase(0, 1);
        exchanges->push_back({line, unescape(text.substr(0, arrow)), pattern});
    }
    return true;
}

bool is_wow64(DWORD pid) {
    unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    BOOL wow64 = FALSE;
    return process.valid() && IsWow64Process(process.get(), &wow64) && wow64;
}

}  // namespace

int main(int argc, char** argv) {
    bool want_wow64 = argc == 3 && std::string(argv[1]) == "--wow64";
    if (argc != (want_wow64 ? 3 : 2)) {
        std::fprintf(stderr, "usage: %s [--wow64] EXCHANGES-FILE\n", argv[0]);
        return 2;
    }
    std::vector<exchange> exchanges;
    if (!read_exchanges(argv[argc - 1], &exchanges)) return 2;
    std::vector<std::regex> patterns;
    try {
        for (const exchange& e : exchanges) patterns.emplace_back(e.pattern);
    } catch (const std::regex_error& error) {
        std::fprintf(stderr, "a pattern is not a regular expression: %s\n", error.what());
        return 2;
    }

    pipe_host host(unique_pipe_path("exchanges"));
    agent_process agent({"-p", host.path()});
    if (want_wow64) {
        if (!is_wow64(agent.pid())) {
            std::printf("the agent is not a 32-bit process on 64-bit Windows\n");
            return 1;
        }
        std::printf("the agent runs as a 32-bit process (WoW64)\n");
    }
    if (!host.wait_for_agent(kConnectTimeoutMs)) {
        std::printf("the agent did not connect to %s\n", host.path().c_str());
        return 1;
    }

    int passed = 0;
    int failed = 0;
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        const exchange& e = exchanges[i];
        if (!host.send(e.message)) {
            std::printf("line %d: cannot send %s\n", e.line, shown(e.message).c_str());
            return 1;
        }
        bool none = std::regex_match(std::string(), patterns[i]);
        std::string reply = host.receive(1, none ? kNoReplyMs : kReplyTimeoutMs);
        if (!reply.empty()) reply += host.drain(kReplyEndMs);
        bool ok = std::regex_match(reply, patterns[i]);
        ++(ok ? passed : failed);
        std::printf("%-6s %s => %s\n", ok ? "ok" : "FAILED", shown(e.message).c_str(),
                    reply.empty() ? "(no reply)" : shown(reply).c_str());
        if (!ok) std::printf("       line %d expects: %s\n", e.line, e.pattern.c_str());
        std::fflush(stdout);
    }
    if (!agent.running()) {
        std::printf("the agent ended during the exchanges\n");
        ++failed;
    }
    std::printf("exchanges: %d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
