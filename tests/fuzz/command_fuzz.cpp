// Arbitrary bytes from the host, through the protocol as the command loop feeds it: reads of at
// most 512 bytes, each terminated after its last byte, into a recording fake device, with the
// statistics report over fake probes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "agent/command.h"
#include "agent/command_loop.h"
#include "agent/context.h"
#include "support/fake_device.h"
#include "support/fake_probes.h"
#include "util/xalloc.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Figures a real probe can deliver, including a percentage that is not a number.
void vary_probes(std::size_t seed) {
    const double percents[] = {0.0, 0.004, 12.345, 99.995, 100.0,
                               std::numeric_limits<double>::quiet_NaN()};
    const std::uint64_t sizes[] = {0, 1023, 1ull << 32, (1ull << 63) >> 10, UINT64_MAX >> 10};
    g_fake_probes.ncpus = static_cast<int>(seed % 1025);
    g_fake_probes.percent = percents[seed % 6];
    std::uint64_t big = sizes[seed % 5];
    g_fake_probes.memory = {big, big / 2, big, 0};
    g_fake_probes.disk_total = big;
    g_fake_probes.disk_free = big / 3;
    g_fake_probes.disk_used = big - big / 3;
}

void check_replies(const dev_channel* dev) {
    for (const std::string& reply : dev->writes) {
        if (reply == "PONG") continue;
        check(reply.size() >= 2 && reply.front() == '{' && reply.back() == '}');
        check(reply.find('\0') == std::string::npos);
        check(reply.find("nan") == std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One context for the whole run, as in the agent: the output buffer is reused.
    static ctl_context ctx;
    if (ctx.device == nullptr) ctx.device = dev_init("fuzz");
    ctx.device->writes.clear();
    ctx.device->write_attempts = 0;
    // An input that starts with '!' makes the second write fail.
    ctx.device->fail_write_from = (size > 0 && data[0] == '!') ? 1 : -1;
    vary_probes(size);

    for (std::size_t offset = 0; offset < size; offset += CTL_MESSAGE_SIZE) {
        std::size_t count = std::min<std::size_t>(CTL_MESSAGE_SIZE, size - offset);
        char message[CTL_MESSAGE_SIZE + 1];
        std::memcpy(message, data + offset, count);
        message[count] = '\0';
        if (ctl_command(&ctx, message) == -1) {
            check(ctx.device->fail_write_from >= 0);
            break;
        }
    }
    check_replies(ctx.device);
    const output_buffer& out = ctx.output;
    if (out.data != nullptr) {
        check(out.used < out.capacity);
        check(out.data[out.used] == '\0');
        check(std::strlen(out.data) == out.used);
    }
    return 0;
}
