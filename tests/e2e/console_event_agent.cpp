// The agent's own start and loop with the system's part played by a thread: it serves the
// agent's device as a host, brings the agent to the moment asked for, and then runs the console
// control handler as Windows does, on a thread of its own. Wine delivers Ctrl-C alone (SIGINT),
// never Ctrl-Break, a closed console, logoff or shutdown.
// Usage: console_event_agent EVENT MOMENT PIPE [AGENT OPTIONS...]
//   EVENT: a CTRL_*_EVENT number. MOMENT: read (the agent waits in a read the host never
//   answers), write (in a write the host never reads), cpu (inside the 2-second CPU window) or
//   service (in service mode, before the loop).
// Exit statuses besides the agent's own: 3 setup failed, 4 no PID file before the event,
// 5 the handler returned.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/context.h"
#include "agent/lifecycle.h"
#include "e2e/pipe_host.h"

namespace {

bool pid_file_exists(const std::vector<char*>& args) {
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        if (std::string(args[i]) == "-F") return GetFileAttributesA(args[i + 1]) != INVALID_FILE_ATTRIBUTES;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 3;
    auto event = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
    std::string moment = argv[2];
    char dev_option[] = "-p";
    std::vector<char*> args = {argv[0], dev_option, argv[3]};
    args.insert(args.end(), argv + 4, argv + argc);
    args.push_back(nullptr);

    ctl_context ctx;
    ctl_init(static_cast<int>(args.size() - 1), args.data(), &ctx);
    if (moment == "service") {
        ctx.flags |= CTL_FLAG_SERVICE;
        ctl_console_control(event);
        return 5;
    }

    pipe_options options;
    if (moment == "write") options.buffer_size = 16;  // a few replies fill it
    pipe_host host(argv[3], options);
    std::thread system([&] {
        if (!host.wait_for_agent(15000)) std::_Exit(3);
        if (moment == "write") {
            std::string pings;
            for (int i = 0; i < 100; ++i) pings += "PING;";
            host.send(pings.substr(0, 500));
        } else if (moment == "cpu") {
            host.send("GSTATS:C");
        }
        Sleep(2500);  // the 1-second wait, then 1.5 s into the read, the writes or the window
        if (!pid_file_exists(args)) std::_Exit(4);
        ctl_console_control(event);
        std::_Exit(5);
    });
    system.detach();
    ctl_run(&ctx);
    ctl_free(&ctx);
    return 0;
}
