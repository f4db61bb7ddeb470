#include "agent/command_loop.h"

#include "agent/command.h"
#include "agent/context.h"
#include "agent/device_outage.h"
#include "agent/wait.h"
#include "device/device_channel.h"

namespace {

bool stop_requested(const ctl_context* ctx) {
    return ctx->stop.load() != 0;
}

}  // namespace

void ctl_command_loop() {
    ctl_context* ctx = ctl_current();
    device_outage outage;
    while (!stop_requested(ctx)) {
        ctl_wait_seconds(2);
        if (dev_connect(ctx->device) == 0) {
            device_outage_connected(&outage, ctx->device);
            ctl_wait_command(ctx);
            dev_close(ctx->device);
        } else {
            device_outage_connect_failed(&outage, ctx->device);
        }
        ctl_wait_seconds(2);
    }
}

void ctl_wait_command(ctl_context* ctx) {
    char message[CTL_MESSAGE_SIZE + 1];
    while (!stop_requested(ctx)) {
        ctl_wait_seconds(1);  // at most one message a second
        int count = dev_read(ctx->device, message, CTL_MESSAGE_SIZE);
        if (count < 0) return;
        if (count == 0) {
            ctl_wait_seconds(4);
            continue;
        }
        message[count] = '\0';  // only this read's bytes, up to the first NUL among them
        if (ctl_command(ctx, message) == -1) return;
    }
}

void ctl_stop_command_loop() {
    ctl_context* ctx = ctl_current();
    ctx->stop.store(1);
    dev_cancel(ctx->device);
}
