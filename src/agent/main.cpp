#include "agent/context.h"
#include "agent/lifecycle.h"

int main(int argc, char** argv) {
    ctl_context ctx;
    ctl_init(argc, argv, &ctx);
    ctl_run(&ctx);
    ctl_free(&ctx);
    return 0;
}
