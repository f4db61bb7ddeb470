// A simulated guest's channel on a UNIX socket, for the package's round trip: prints "ready" on
// standard output once the socket is there and serves until SIGTERM or SIGINT.
// Usage: sim_guest_tool PATH
#include <signal.h>

#include <cstdio>

#include "support/sim_guest.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sim_guest_tool PATH\n");
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    sim_guest guest(argv[1], {});
    std::printf("ready\n");
    std::fflush(stdout);
    int taken = 0;
    sigwait(&signals, &taken);
    return 0;
}
