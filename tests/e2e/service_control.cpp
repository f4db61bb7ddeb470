// The demo's hand on the service control manager: starts or stops the agent's service and
// prints the states the manager showed, with their times; or removes a leftover registration.
#include <cstdio>
#include <cstring>
#include <vector>

#include "e2e/service_manager.h"

namespace {

// Hang guard: a start or a stop takes seconds at most.
constexpr int kTimeoutMs = 20000;

int usage(const char* name) {
    std::fprintf(stderr, "usage: %s start|stop|remove\n", name);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return usage(argv[0]);
    if (std::strcmp(argv[1], "remove") == 0) {
        remove_service();
        return 0;
    }
    sc_handle service = open_service();
    if (!service) {
        std::fprintf(stderr, "OpenService: error %lu\n", GetLastError());
        return 1;
    }
    std::vector<state_seen> seen;
    DWORD target = SERVICE_RUNNING;
    if (std::strcmp(argv[1], "start") == 0) {
        seen = start_and_watch(service.get(), kTimeoutMs);
        if (seen.empty()) {
            std::fprintf(stderr, "StartService: error %lu\n", GetLastError());
            return 1;
        }
        std::printf("service: start requested; states seen: %s; process %lu\n",
                    describe(seen).c_str(), query_status(service.get()).dwProcessId);
    } else if (std::strcmp(argv[1], "stop") == 0) {
        DWORD error = NO_ERROR;
        target = SERVICE_STOPPED;
        seen = stop_and_watch(service.get(), kTimeoutMs, &error);
        if (seen.empty()) {
            std::fprintf(stderr, "ControlService: error %lu\n", error);
            return 1;
        }
        SERVICE_STATUS_PROCESS status = query_status(service.get());
        std::printf("service: stop requested; states seen: %s; exit code %lu\n",
                    describe(seen).c_str(), status.dwWin32ExitCode);
    } else {
        return usage(argv[0]);
    }
    return seen.back().state == target ? 0 : 1;
}
