#include "service/service_runtime.h"

#include <cstdio>
#include <cstdlib>

void daemonize_process() {
    std::fputs("--daemonize: service mode is not available in this build\n", stderr);
    std::exit(1);
}
