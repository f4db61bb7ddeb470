// Arbitrary bytes from the host, through the protocol as the command loop feeds it: reads of at
// most 512 bytes, each terminated after its last byte, into a recording fake device, with the
// statistics report over fake probes.
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

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

// The input itself as UTF-16, two bytes a unit up to the first NUL unit: volume names from it
// reach every branch of the conversion and the escaping.
std::u16string units_of(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == u'\0') break;
        units += unit;
    }
    return units;
}

// Figures a real probe can deliver, including a percentage that is not a number.
void vary_probes(std::size_t seed, const std::u16string& text) {
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
    g_fake_probes.volumes.clear();
    for (std::size_t i = 0; i < seed % 3; ++i) {
        std::u16string paths = u"C:\\";
        paths += u'\0';
        if (!text.empty()) paths += text + u'\0';
        g_fake_probes.volumes.push_back({paths, text, text, text, big, big / 3, big - big / 3});
    }
}

// Well-formed UTF-8: no stray continuation byte, no overlong form, no surrogate, nothing past
// U+10FFFF.
bool valid_utf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        int more = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2
                                                      : (lead >> 3) == 30 ? 3 : -1;
        if (more < 0 || text.size() - i <= static_cast<std::size_t>(more)) return false;
        char32_t c = more == 0 ? lead : lead & (0x3F >> more);
        for (int k = 1; k <= more; ++k) {
            auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next >> 6) != 2) return false;
            c = c << 6 | (next & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (c < least[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += 1 + static_cast<std::size_t>(more);
    }
    return true;
}

void check_replies(const dev_channel* dev) {
    for (const std::string& reply : dev->writes) {
        if (reply == "PONG") continue;
        check(reply.size() >= 2 && reply.front() == '{' && reply.back() == '}');
        check(reply.find('\0') == std::string::npos);
        // A number, never nan (volume strings from the input may hold those letters).
        std::size_t percent = reply.find("\"percent\": ");
        if (percent != std::string::npos)
            check(std::isdigit(static_cast<unsigned char>(reply[percent + 11])) != 0);
        // Strings carry their controls escaped; a reply has none of its own.
        for (char c : reply) check(static_cast<unsigned char>(c) >= 0x20);
        check(valid_utf8(reply));
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
    vary_probes(size, units_of(data, size));

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
