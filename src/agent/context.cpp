#include "agent/context.h"

namespace {
ctl_context* g_current = nullptr;
}

ctl_context* ctl_current() {
    return g_current;
}

void ctl_set_current(ctl_context* ctx) {
    g_current = ctx;
}
