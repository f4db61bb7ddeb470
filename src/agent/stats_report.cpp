#include "agent/stats_report.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "agent/context.h"
#include "agent/json_string.h"
#include "agent/output_buffer.h"
#include "device/device_channel.h"
#include "metrics/cpu.h"
#include "metrics/disk.h"
#include "metrics/memory.h"
#include "metrics/volumes.h"

namespace {

bool holds(const char* selector, char letter) {
    return std::strchr(selector, letter) != nullptr;
}

// %llu takes unsigned long long, which std::uint64_t is not on every platform.
unsigned long long ull(std::uint64_t value) {
    return value;
}

bool is_drive_root(const char16_t* path) {
    char16_t letter = static_cast<char16_t>(path[0] | 0x20);
    return letter >= u'a' && letter <= u'z' && path[1] == u':' && path[2] == u'\\' &&
           path[3] == u'\0';
}

const char16_t* next_path(const char16_t* path) {
    while (*path != u'\0') ++path;
    return path + 1;
}

// Drive letters first, then the mount folders, each in the order Windows gives them.
void add_paths(output_buffer* out, const char16_t* paths) {
    output_add(out, "[");
    const char* separator = "";
    for (int pass = 0; pass < 2; ++pass) {
        bool letters = pass == 0;
        for (const char16_t* path = paths; *path != u'\0'; path = next_path(path)) {
            if (is_drive_root(path) != letters) continue;
            output_add(out, separator);
            output_add_json_string(out, path);
            separator = ",";
        }
    }
    output_add(out, "]");
}

struct volume_list {
    output_buffer* out;
    const char* separator;
};

void add_volume(const volume_info* volume, void* context) {
    auto* list = static_cast<volume_list*>(context);
    output_buffer* out = list->out;
    output_add(out, list->separator);
    list->separator = ",";
    output_add(out, "{\"paths\": ");
    add_paths(out, volume->paths);
    output_add(out, ",\"volume\": ");
    output_add_json_string(out, volume->name);
    output_add(out, ",\"label\": ");
    output_add_json_string(out, volume->label);
    output_add(out, ",\"fs\": ");
    output_add_json_string(out, volume->fs);
    char scratch[96];
    std::snprintf(scratch, sizeof scratch, ",\"used\": %llu,\"free\": %llu,\"total\": %llu}",
                  ull(volume->used), ull(volume->free), ull(volume->total));
    output_add(out, scratch);
}

}  // namespace

int send_stats(ctl_context* ctx, const char* selector) {
    if (selector == nullptr || selector[0] == '\0') return 0;
    output_buffer* out = &ctx->output;
    output_reset(out);
    output_add(out, "{");
    if (holds(selector, 'C')) get_cpu_stats(out, json_need_comma(selector, "MDV"));
    if (holds(selector, 'M')) get_mem_stats(out, json_need_comma(selector, "DV"));
    if (holds(selector, 'D')) {
        get_disk_stats(out);
        // Without volumes the disk fragment ends the object with no separator at all.
        if (holds(selector, 'V')) output_add(out, ",");
    }
    if (holds(selector, 'V')) get_volume_stats(out);
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

void get_volume_stats(output_buffer* out) {
    output_add(out, "\"volumes\": [");
    volume_list list = {out, ""};
    get_volumes_windows(add_volume, &list);
    output_add(out, "]");
}
