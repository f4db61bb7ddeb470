#include "guest_report.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <vector>

#include "protocol.h"

namespace {

using json = nlohmann::json;

std::vector<const figure_row*> rows_of(fragment_id fragment) {
    std::vector<const figure_row*> rows;
    for (const figure_row& row : kFigures)
        if (row.fragment == fragment) rows.push_back(&row);
    return rows;
}

std::size_t index_of(const figure_row& row) {
    return static_cast<std::size_t>(row.id);
}

struct scalar {
    enum class kind_type { none, count, negative, real, text, other };
    kind_type kind = kind_type::none;
    std::uint64_t count = 0;
    std::int64_t negative = 0;
    double real = 0;
    std::string text;
};

using raw_figures = std::array<scalar, kFigureCount>;  // by row of kFigures

// Takes the report's events as the parser meets them and stops at the first one the agent
// cannot have written, so that no nesting or repetition is ever built up.
class shape_checker : public nlohmann::json_sax<json> {
public:
    explicit shape_checker(std::vector<fragment_id> expected) : expected_(std::move(expected)) {}

    raw_figures values;
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
        if (depth_ == 1) rows_ = rows_of(expected_[fragment_]);
        ++depth_;
        return true;
    }
    bool end_object() override {
        if (depth_ == 2) {
            if (next_key_ != rows_.size())
                return fail(std::string("no ") + name() + "." + rows_[next_key_]->key);
            ++fragment_;
            next_key_ = 0;
        } else if (fragment_ != expected_.size()) {
            return fail(std::string("no report.") + fragment_of(expected_[fragment_]).name);
        }
        key_.clear();
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth_ == 0) return fail("not a JSON object");
        if (depth_ == 1) return fail(printable(key_) + " is not an object");
        return fail(where() + " is not a figure");
    }
    bool end_array() override { return false; }

    bool key(string_t& text) override {
        if (depth_ == 1) {
            for (std::size_t i = 0; i < fragment_; ++i)
                if (text == fragment_of(expected_[i]).name) return fail(text + " given twice");
            if (fragment_ == expected_.size() || text != fragment_of(expected_[fragment_]).name)
                return fail("unexpected fragment " + printable(text, 40));
        } else {
            for (std::size_t i = 0; i < next_key_; ++i)
                if (text == rows_[i]->key)
                    return fail(std::string(name()) + "." + text + " given twice");
            if (next_key_ == rows_.size() || text != rows_[next_key_]->key)
                return fail(std::string("unexpected key ") + name() + "." + printable(text, 40));
        }
        key_ = text;
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
    const char* name() const { return fragment_of(expected_[fragment_]).name; }
    std::string where() const {
        if (depth_ < 2) return printable(key_);
        return std::string(name()) + "." + key_;
    }
    bool take(scalar value) {
        if (depth_ == 0) return fail("not a JSON object");
        if (depth_ == 1) return fail(printable(key_) + " is not an object");
        values[index_of(*rows_[next_key_])] = std::move(value);
        ++next_key_;
        return true;
    }

    std::vector<fragment_id> expected_;
    std::vector<const figure_row*> rows_;  // of the fragment being read
    int depth_ = 0;
    std::size_t fragment_ = 0;
    std::size_t next_key_ = 0;
    std::string key_;
};

struct report_error {
    report_verdict verdict;
    std::string text;
};

[[noreturn]] void refuse(report_verdict verdict, std::string text) {
    throw report_error{verdict, std::move(text)};
}

// One figure as its row says, in the agent's unit: the count of processors or KiB, or percent.
double checked_figure(const figure_row& row, const scalar& value, const std::string& name) {
    using kind = scalar::kind_type;
    switch (row.check) {
    case figure_check::processors:
        if (value.kind == kind::negative || (value.kind == kind::count && value.count == 0))
            refuse(report_verdict::implausible, name + " is below 1");
        if (value.kind != kind::count) refuse(report_verdict::invalid, name + " is not a count");
        if (value.count > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
            refuse(report_verdict::implausible, name + " is out of range");
        return static_cast<double>(value.count);
    case figure_check::percent: {
        double share = 0;
        if (value.kind == kind::count) share = static_cast<double>(value.count);
        else if (value.kind == kind::real) share = value.real;
        else if (value.kind == kind::negative) share = -1;
        else refuse(report_verdict::invalid, name + " is not a number");
        if (!std::isfinite(share) || share < 0.0 || share > 100.0)
            refuse(report_verdict::implausible, name + " is not 0 to 100");
        return share;
    }
    case figure_check::total:
    case figure_check::at_most:
    case figure_check::share:
        if (value.kind != kind::count) refuse(report_verdict::invalid, name + " is not a count");
        if (value.count > std::numeric_limits<std::uint64_t>::max() / 1024)  // bytes fit
            refuse(report_verdict::implausible, name + " is out of range");
        return static_cast<double>(value.count);
    case figure_check::kib_unit:
        if (value.kind != kind::text) refuse(report_verdict::invalid, name + " is not a text");
        if (value.text != "kB") refuse(report_verdict::implausible, name + " is not kB");
        return 0;
    }
    return 0;
}

// The figures of one object of the report (a fragment), checked row by row and against each
// other; into *served in the served units. True when its totals are 0: a probe that failed.
bool check_object(fragment_id fragment, const raw_figures& raw, const std::string& where,
                  std::array<double, kFigureCount>* served) {
    std::vector<const figure_row*> rows = rows_of(fragment);
    auto name = [&](const char* key) { return where + "." + key; };
    auto kib = [&](const char* key) {
        for (const figure_row* row : rows)
            if (std::string_view(row->key) == key) return raw[index_of(*row)].count;
        return std::uint64_t{0};
    };
    for (const figure_row* row : rows)
        (*served)[index_of(*row)] =
            checked_figure(*row, raw[index_of(*row)], name(row->key)) * row->scale;

    std::vector<const figure_row*> totals;
    for (const figure_row* row : rows) {
        if (row->check == figure_check::total) totals.push_back(row);
        if ((row->check == figure_check::at_most || row->check == figure_check::share) &&
            kib(row->key) > kib(row->total))
            refuse(report_verdict::implausible,
                   name(row->key) + " is above " + name(row->total));
    }
    for (const figure_row* total : totals) {
        // The agent computes one share as the total less the others on the KiB figures; allow
        // a KiB of rounding. No wrap: each share is at most the total, below 2^54.
        std::uint64_t sum = 0;
        std::string parts;
        for (const figure_row* row : rows)
            if (row->check == figure_check::share && std::string_view(row->total) == total->key) {
                sum += kib(row->key);
                parts += (parts.empty() ? "" : " + ") + name(row->key);
            }
        std::uint64_t whole = kib(total->key);
        if (!parts.empty() && (sum + 1 < whole || sum > whole + 1))
            refuse(report_verdict::implausible, parts + " is not " + name(total->key));
    }
    // One call of the guest gives all of a fragment's totals: all 0 when it failed, none otherwise.
    std::size_t zeros = 0;
    std::string listed;
    for (const figure_row* total : totals) {
        zeros += kib(total->key) == 0;
        listed += (listed.empty() ? "" : " and ") + name(total->key);
    }
    if (zeros != 0 && zeros != totals.size())
        refuse(report_verdict::implausible, "one of " + listed + " is 0");
    return !totals.empty() && zeros == totals.size();
}

}  // namespace

std::vector<std::string> failed_probes(const guest_figures& figures) {
    std::vector<std::string> names;
    for (const fragment_row& fragment : kFragments)
        if (reported(figures, fragment.id) && probe_failed(figures, fragment.id))
            names.emplace_back(fragment.name);
    return names;
}

report_verdict check_report(std::string_view text, std::string_view selector,
                            guest_figures* figures, std::string* error) {
    for (char c : text)
        if (c < 0x20 || c > 0x7e) {
            *error = "bytes the agent never sends";
            return report_verdict::invalid;
        }
    std::vector<fragment_id> expected;
    for (const fragment_row& fragment : kFragments)
        if (selects(selector, fragment.id)) expected.push_back(fragment.id);

    shape_checker checker(expected);
    if (!json::sax_parse(text.begin(), text.end(), &checker)) {
        *error = checker.error.empty() ? "not a JSON object" : checker.error;
        return report_verdict::invalid;
    }
    try {
        guest_figures got;
        for (fragment_id fragment : expected) {
            auto at = static_cast<std::size_t>(fragment);
            got.reported[at] = true;
            got.probe_failed[at] =
                check_object(fragment, checker.values, fragment_of(fragment).name, &got.values);
        }
        *figures = got;
        return report_verdict::valid;
    } catch (const report_error& failure) {
        *error = failure.text;
        return failure.verdict;
    }
}
