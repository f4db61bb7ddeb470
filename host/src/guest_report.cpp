#include "guest_report.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace {

using json = nlohmann::json;

struct report_error {
    std::string text;
};

const json& member(const json& object, const char* fragment, const char* key) {
    if (!object.is_object() || !object.contains(key))
        throw report_error{std::string("no ") + fragment + "." + key};
    return object.at(key);
}

std::uint64_t count_of(const json& object, const char* fragment, const char* key) {
    const json& value = member(object, fragment, key);
    // A non-negative integer; nlohmann keeps those that fit unsigned 64 bits as number_unsigned.
    if (!value.is_number_unsigned())
        throw report_error{std::string(fragment) + "." + key + " is not a count"};
    return value.get<std::uint64_t>();
}

std::uint64_t bytes_of(const json& object, const char* fragment, const char* key) {
    std::uint64_t kib = count_of(object, fragment, key);
    if (kib > std::numeric_limits<std::uint64_t>::max() / 1024)
        throw report_error{std::string(fragment) + "." + key + " is out of range"};
    return kib * 1024;
}

const json& fragment_of(const json& report, const char* name) {
    const json& fragment = member(report, "report", name);
    if (!fragment.is_object()) throw report_error{std::string(name) + " is not an object"};
    return fragment;
}

}  // namespace

bool parse_full_report(std::string_view text, guest_figures* figures, std::string* error) {
    json report = json::parse(text.begin(), text.end(), nullptr, false);
    if (report.is_discarded() || !report.is_object()) {
        *error = "not a JSON object";
        return false;
    }
    try {
        guest_figures got;
        const json& cpu = fragment_of(report, "cpu");
        got.cpu_count = count_of(cpu, "cpu", "ncpus");
        const json& percent = member(cpu, "cpu", "percent");
        if (!percent.is_number() || !std::isfinite(percent.get<double>()) ||
            percent.get<double>() < 0.0)
            throw report_error{"cpu.percent is not a share"};
        got.cpu_busy_ratio = percent.get<double>() / 100.0;

        const json& memory = fragment_of(report, "memory");
        got.memory_total_bytes = bytes_of(memory, "memory", "mem_total");
        got.memory_available_bytes = bytes_of(memory, "memory", "mem_free");
        got.swap_total_bytes = bytes_of(memory, "memory", "swap_total");
        got.swap_free_bytes = bytes_of(memory, "memory", "swap_free");

        const json& disk = fragment_of(report, "disk");
        if (member(disk, "disk", "unit") != "kB") throw report_error{"disk.unit is not kB"};
        got.disk_used_bytes = bytes_of(disk, "disk", "used");
        got.disk_free_bytes = bytes_of(disk, "disk", "free");
        got.disk_total_bytes = bytes_of(disk, "disk", "total");
        *figures = got;
        return true;
    } catch (const report_error& failure) {
        *error = failure.text;
        return false;
    }
}
