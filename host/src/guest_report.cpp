#include "guest_report.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <map>
#include <vector>

namespace {

using json = nlohmann::json;

struct fragment_shape {
    const char* name;
    char letter;
    std::vector<const char*> keys;
};

// The agent's fragments and keys, in the order it writes them.
const fragment_shape kShapes[] = {
    {"cpu", 'C', {"ncpus", "percent"}},
    {"memory", 'M', {"mem_total", "mem_free", "swap_total", "swap_free"}},
    {"disk", 'D', {"used", "free", "total", "unit"}},
};

struct scalar {
    enum class kind_type { count, negative, real, text, other };
    kind_type kind = kind_type::other;
    std::uint64_t count = 0;
    std::int64_t negative = 0;
    double real = 0;
    std::string text;
};

// Takes the report's events as the parser meets them and stops at the first one the agent
// cannot have written, so that no nesting or repetition is ever built up.
class shape_checker : public nlohmann::json_sax<json> {
public:
    explicit shape_checker(std::vector<const fragment_shape*> expected)
        : expected_(std::move(expected)) {}

    std::map<std::string, scalar> values;  // "fragment.key"
    std::string error;

    bool null() override { return take({}); }
    bool boolean(bool) override { return take({}); }
    bool number_integer(number_integer_t value) override {
        scalar got;
        got.kind = scalar::kind_type::negative;
        got.negative = value;
        return take(got);
    }
    bool number_unsigned(number_unsigned_t value) override {
        scalar got;
        got.kind = scalar::kind_type::count;
        got.count = value;
        return take(got);
    }
    bool number_float(number_float_t value, const string_t&) override {
        scalar got;
        got.kind = scalar::kind_type::real;
        got.real = value;
        return take(got);
    }
    bool string(string_t& value) override {
        scalar got;
        got.kind = scalar::kind_type::text;
        got.text = value;
        return take(got);
    }
    bool binary(binary_t&) override { return take({}); }

    bool start_object(std::size_t) override {
        if (depth_ == 2) return fail(where() + " is not a figure");
        ++depth_;
        return true;
    }
    bool end_object() override {
        if (depth_ == 2) {
            const fragment_shape* shape = expected_[fragment_];
            if (next_key_ != shape->keys.size())
                return fail(std::string("no ") + shape->name + "." + shape->keys[next_key_]);
            ++fragment_;
            next_key_ = 0;
        } else if (fragment_ != expected_.size()) {
            return fail(std::string("no report.") + expected_[fragment_]->name);
        }
        key_.clear();
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth_ == 0) return fail("not a JSON object");
        if (depth_ == 1) return fail(key_ + " is not an object");
        return fail(where() + " is not a figure");
    }
    bool end_array() override { return false; }

    bool key(string_t& name) override {
        if (depth_ == 1) {
            for (std::size_t i = 0; i < fragment_; ++i)
                if (name == expected_[i]->name) return fail(name + " given twice");
            if (fragment_ == expected_.size() || name != expected_[fragment_]->name)
                return fail("unexpected fragment " + printable_key(name));
        } else {
            const fragment_shape* shape = expected_[fragment_];
            for (std::size_t i = 0; i < next_key_; ++i)
                if (name == shape->keys[i])
                    return fail(std::string(shape->name) + "." + name + " given twice");
            if (next_key_ == shape->keys.size() || name != shape->keys[next_key_])
                return fail(std::string("unexpected key ") + shape->name + "." +
                            printable_key(name));
        }
        key_ = name;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        if (error.empty()) error = "not a JSON object";
        return false;
    }

private:
    bool fail(std::string reason) {
        if (error.empty()) error = std::move(reason);
        return false;
    }
    std::string where() const {
        if (depth_ < 2) return key_;
        return std::string(expected_[fragment_]->name) + "." + key_;
    }
    static std::string printable_key(const std::string& name) {
        // Keys reach here as printable ASCII only, but stay short in a message.
        return name.size() > 40 ? name.substr(0, 40) + "..." : name;
    }
    bool take(scalar value) {
        if (depth_ == 0) return fail("not a JSON object");
        if (depth_ == 1) return fail(key_ + " is not an object");
        values[where()] = std::move(value);
        ++next_key_;
        return true;
    }

    std::vector<const fragment_shape*> expected_;
    int depth_ = 0;
    std::size_t fragment_ = 0;
    std::size_t next_key_ = 0;
    std::string key_;
};

struct report_error {
    report_verdict verdict;
    std::string text;
};

struct figure_reader {
    const std::map<std::string, scalar>& values;

    const scalar& at(const std::string& name) const { return values.at(name); }

    std::uint64_t kib(const std::string& name) const {
        const scalar& value = at(name);
        if (value.kind != scalar::kind_type::count)
            throw report_error{report_verdict::invalid, name + " is not a count"};
        return value.count;
    }
    std::uint64_t bytes(const std::string& name) const {
        std::uint64_t count = kib(name);
        if (count > std::numeric_limits<std::uint64_t>::max() / 1024)
            throw report_error{report_verdict::implausible, name + " is out of range"};
        return count * 1024;
    }
};

void at_most(std::uint64_t part, std::uint64_t whole, const char* part_name,
             const char* whole_name) {
    if (part > whole)
        throw report_error{report_verdict::implausible,
                           std::string(part_name) + " is above " + whole_name};
}

void read_cpu(const figure_reader& read, guest_figures* got) {
    const scalar& ncpus = read.at("cpu.ncpus");
    if (ncpus.kind == scalar::kind_type::negative ||
        (ncpus.kind == scalar::kind_type::count && ncpus.count == 0))
        throw report_error{report_verdict::implausible, "cpu.ncpus is below 1"};
    if (ncpus.kind != scalar::kind_type::count)
        throw report_error{report_verdict::invalid, "cpu.ncpus is not a count"};
    if (ncpus.count > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
        throw report_error{report_verdict::implausible, "cpu.ncpus is out of range"};
    got->cpu_count = ncpus.count;

    const scalar& percent = read.at("cpu.percent");
    double share = 0;
    if (percent.kind == scalar::kind_type::count) share = static_cast<double>(percent.count);
    else if (percent.kind == scalar::kind_type::real) share = percent.real;
    else if (percent.kind == scalar::kind_type::negative) share = -1;
    else throw report_error{report_verdict::invalid, "cpu.percent is not a number"};
    if (!std::isfinite(share) || share < 0.0 || share > 100.0)
        throw report_error{report_verdict::implausible, "cpu.percent is not 0 to 100"};
    got->cpu_busy_ratio = share / 100.0;
}

void read_memory(const figure_reader& read, guest_figures* got) {
    got->memory_total_bytes = read.bytes("memory.mem_total");
    got->memory_available_bytes = read.bytes("memory.mem_free");
    got->swap_total_bytes = read.bytes("memory.swap_total");
    got->swap_free_bytes = read.bytes("memory.swap_free");
    at_most(got->memory_available_bytes, got->memory_total_bytes, "memory.mem_free",
            "memory.mem_total");
    at_most(got->swap_free_bytes, got->swap_total_bytes, "memory.swap_free",
            "memory.swap_total");
    // One call of the guest fills all four: all zero when it failed, no total zero otherwise.
    bool no_memory = got->memory_total_bytes == 0;
    if (no_memory != (got->swap_total_bytes == 0))
        throw report_error{report_verdict::implausible,
                           "one of memory.mem_total and memory.swap_total is 0"};
    got->memory_probe_failed = no_memory;
}

void read_disk(const figure_reader& read, guest_figures* got) {
    const scalar& unit = read.at("disk.unit");
    if (unit.kind != scalar::kind_type::text)
        throw report_error{report_verdict::invalid, "disk.unit is not a text"};
    if (unit.text != "kB") throw report_error{report_verdict::implausible, "disk.unit is not kB"};
    std::uint64_t used = read.kib("disk.used");
    std::uint64_t free = read.kib("disk.free");
    std::uint64_t total = read.kib("disk.total");
    at_most(free, total, "disk.free", "disk.total");
    at_most(used, total, "disk.used", "disk.total");
    // The agent computes used as total - free on the KiB figures; allow a KiB of rounding.
    std::uint64_t sum = used + free;  // no wrap: both are at most total
    if (sum + 1 < total || sum > total + 1)
        throw report_error{report_verdict::implausible,
                           "disk.used + disk.free is not disk.total"};
    got->disk_used_bytes = read.bytes("disk.used");
    got->disk_free_bytes = read.bytes("disk.free");
    got->disk_total_bytes = read.bytes("disk.total");
    got->disk_probe_failed = total == 0;
}

}  // namespace

report_verdict check_report(std::string_view text, std::string_view selector,
                            guest_figures* figures, std::string* error) {
    for (char c : text)
        if (c < 0x20 || c > 0x7e) {
            *error = "bytes the agent never sends";
            return report_verdict::invalid;
        }
    std::vector<const fragment_shape*> expected;
    for (const fragment_shape& shape : kShapes)
        if (selector.find(shape.letter) != std::string_view::npos) expected.push_back(&shape);

    shape_checker checker(expected);
    if (!json::sax_parse(text.begin(), text.end(), &checker)) {
        *error = checker.error.empty() ? "not a JSON object" : checker.error;
        return report_verdict::invalid;
    }
    try {
        guest_figures got;
        figure_reader read{checker.values};
        for (const fragment_shape* shape : expected) {
            if (shape->letter == 'C') read_cpu(read, &got);
            if (shape->letter == 'M') read_memory(read, &got);
            if (shape->letter == 'D') read_disk(read, &got);
        }
        *figures = got;
        return report_verdict::valid;
    } catch (const report_error& failure) {
        *error = failure.text;
        return failure.verdict;
    }
}
