#include "service/service_install.h"

#include <cstdio>

int win_service_install(const char*) {
    std::fputs("--service-install: not available in this build\n", stderr);
    return -1;
}

int win_service_uninstall() {
    std::fputs("--service-uninstall: not available in this build\n", stderr);
    return -1;
}
