#include "agent/stats_report.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "agent/context.h"
#include "agent/output_buffer.h"
#include "device/device_channel.h"
#include "metrics/cpu.h"
#include "metrics/disk.h"
#include "metrics/memory.h"

namespace {

bool holds(const char* selector, char letter) {
    return std::strchr(selector, letter) != nullptr;
}

// %llu takes unsigned long long, which std::uint64_t is not on every platform.
unsigned long long ull(std::uint64_t value) {
    return value;
}

}  // namespace

int send_stats(ctl_context* ctx, const char* selector) {
    if (selector == nullptr || selector[0] == '\0') return 0;
    output_buffer* out = &ctx->output;
    output_reset(out);
    output_add(out, "{");
    if (holds(selector, 'C')) get_cpu_stats(out, json_need_comma(selector, "MD"));
    if (holds(selector, 'M')) get_mem_stats(out, json_need_comma(selector, "D"));
    if (holds(selector, 'D')) get_disk_stats(out);
    output_add(out, "}");
    return dev_write(ctx->device, out->data, static_cast<int>(out->used)) == 0 ? 0 : -1;
}

char json_need_comma(const char* selector, const char* letters) {
    if (selector == nullptr || letters == nullptr) return ' ';
    for (const char* letter = letters; *letter != '\0'; ++letter)
        if (holds(selector, *letter)) return ',';
    return ' ';
}

void get_cpu_stats(output_buffer* out, char separator) {
    int count = get_cpu_count();
    double percent = get_cpu_usage_percent();
    // No time elapsed between the samples gives no number, which JSON cannot carry.
    if (!std::isfinite(percent)) percent = 0.0;
    char scratch[128];
    std::memset(scratch, 0, sizeof scratch);
    std::snprintf(scratch, sizeof scratch - 1, "\"cpu\": {\"ncpus\": %d,\"percent\": %0.2f}%c",
                  count, percent, separator);
    output_add(out, scratch);
}

void get_mem_stats(output_buffer* out, char separator) {
    mem_stats stats;
    get_mem_stats_os(&stats);
    char scratch[512];
    std::memset(scratch, 0, sizeof scratch);
    std::snprintf(scratch, sizeof scratch - 1,
                  "\"memory\": {\"mem_total\": %llu,\"mem_free\": %llu,\"swap_total\": %llu,"
                  "\"swap_free\": %llu}%c",
                  ull(stats.total), ull(stats.free), ull(stats.swap_total), ull(stats.swap_free),
                  separator);
    output_add(out, scratch);
}

void get_disk_stats(output_buffer* out) {
    std::uint64_t total = 0, free_kib = 0, used = 0;
    get_disk_usage_windows(&total, &free_kib, &used);
    char scratch[255];
    std::memset(scratch, 0, sizeof scratch);
    std::snprintf(scratch, sizeof scratch - 1,
                  "\"disk\": {\"used\": %llu,\"free\": %llu,\"total\": %llu,\"unit\": \"kB\"}",
                  ull(used), ull(free_kib), ull(total));
    output_add(out, scratch);
}
