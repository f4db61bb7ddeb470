#include "agent/command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

#include "agent/context.h"
#include "agent/lifecycle.h"
#include "device/device_channel.h"
#include "service/service_install.h"
#include "util/xalloc.h"

namespace {

// Option values of the long options that have no short form.
constexpr int kServiceInstall = 1;
constexpr int kServiceUninstall = 2;

const option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"daemonize", no_argument, nullptr, 'd'},
    {"dev-path", required_argument, nullptr, 'p'},
    {"pid-file", required_argument, nullptr, 'F'},
    {"service-install", no_argument, nullptr, kServiceInstall},
    {"service-uninstall", no_argument, nullptr, kServiceUninstall},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void parse_program_arguments(int argc, char** argv, ctl_context* ctx) {
    int option;
    while ((option = getopt_long(argc, argv, "hvdp:F:", kOptions, nullptr)) != -1) {
        switch (option) {
            case 'h':
                usage();
            case 'v':
                version();
            case 'd':
                ctx->flags |= CTL_FLAG_SERVICE;
                break;
            case 'p':
                dev_set_path(ctx->device, optarg);
                break;
            case 'F':
                xfree(ctx->pid_file_path);
                ctx->pid_file_path = xstrdup(optarg);
                break;
            case kServiceInstall:
                ctl_exit(win_service_install(dev_path(ctx->device)) == 0 ? 0 : 1);
            case kServiceUninstall:
                ctl_exit(win_service_uninstall() == 0 ? 0 : 1);
            default:
                break;  // the parser has already said what was wrong
        }
    }
}

void usage() {
    std::printf(
        "%s usage: %s [OPTIONS ...]\n\r"
        "  -h, --help                : Show usage and exit.\n\r"
        "  -v, --version             : Show version and exit.\n\r"
        "      --service-install     : Install service and exit\n\r"
        "      --service-uninstall   : Uninstall service and exit.\n\r"
        "  -d, --daemonize           : Daemonize processus.\n\r"
        "  -F, --pid-file            : Set path to write PID of program.\n\r"
        "  -p, --dev-path            : Set device path to read/write data.\n",
        ctl_program_name(), ctl_program_name());
    ctl_exit(0);
}

void version() {
    std::printf("%s %s\n", ctl_program_name(), CTL_VERSION);
    ctl_exit(0);
}
