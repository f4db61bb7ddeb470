#include "guest_report.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "protocol.h"
#include "safe_text.h"

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

// A volume's keys before its figures: the list of paths, then three texts.
const char* const kVolumeNames[] = {"paths", "volume", "label", "fs"};
constexpr std::size_t kNameCount = std::size(kVolumeNames);

struct raw_volume {
    std::vector<std::string> paths;
    std::array<std::string, kNameCount - 1> names;  // volume, label, fs
    raw_figures values;
};

bool printable_ascii(std::string_view text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

struct report_error {
    report_verdict verdict;
    std::string text;
};

[[noreturn]] void refuse(report_verdict verdict, std::string text) {
    throw report_error{verdict, std::move(text)};
}

// Takes the report's events as the parser meets them and stops at the first one the agent
// cannot have written, so that nothing is built beyond the agent's own nesting (the report, a
// fragment or the list of volumes, a volume, its paths) and its 64 volumes.
class shape_checker : public nlohmann::json_sax<json> {
public:
    explicit shape_checker(std::vector<fragment_id> expected) : expected_(std::move(expected)) {}

    raw_figures values;  // of the fragments but volumes
    bool volumes_seen = false;
    std::vector<raw_volume> volumes;
    report_verdict verdict = report_verdict::invalid;
    std::string error;

    bool null() override { return take({}); }
    bool boolean(bool) override { return take({}); }
    bool number_integer(number_integer_t value) override {
        scalar got;
        got.kind = scalar::kind_type::negative;
        got.negative = value;
        return take(std::move(got));
    }
    bool number_unsigned(number_unsigned_t value) override {
        scalar got;
        got.kind = scalar::kind_type::count;
        got.count = value;
        return take(std::move(got));
    }
    bool number_float(number_float_t value, const string_t&) override {
        scalar got;
        got.kind = scalar::kind_type::real;
        got.real = value;
        return take(std::move(got));
    }
    bool string(string_t& value) override {
        // Non-ASCII and escaped controls are for the volumes' names alone, which are checked
        // once the report is read.
        if (at_ != place::volume && at_ != place::paths && !printable_ascii(value))
            return fail("bytes the agent never sends");
        scalar got;
        got.kind = scalar::kind_type::text;
        got.text = std::move(value);
        return take(std::move(got));
    }
    bool binary(binary_t&) override { return take({}); }

    bool start_object(std::size_t) override {
        switch (at_) {
        case place::outside:
            at_ = place::report;
            return true;
        case place::report:
            if (fragment() == fragment_id::volumes) return fail(not_this());
            begin_object(place::fragment);
            return true;
        case place::volumes:
            if (volumes.size() == kMaxVolumes) {
                verdict = report_verdict::implausible;
                return fail("more than 64 volumes");
            }
            volumes.emplace_back();
            begin_object(place::volume);
            return true;
        default:
            return fail(not_this());
        }
    }
    bool end_object() override {
        switch (at_) {
        case place::fragment:
        case place::volume:
            if (next_key_ != keys_.size()) return fail("no " + where(keys_[next_key_]));
            if (at_ == place::fragment) ++fragment_;
            at_ = at_ == place::fragment ? place::report : place::volumes;
            return true;
        case place::report:
            // An agent from before V leaves the volumes out and sends all the rest.
            if (fragment_ + 1 == expected_.size() && fragment() == fragment_id::volumes)
                ++fragment_;
            if (fragment_ != expected_.size())
                return fail(std::string("no report.") + fragment_of(fragment()).name);
            at_ = place::after;
            return true;
        default:
            return false;
        }
    }
    bool start_array(std::size_t) override {
        if (at_ == place::report && fragment() == fragment_id::volumes) {
            volumes_seen = true;
            at_ = place::volumes;
            return true;
        }
        if (at_ == place::volume && next_key_ == 0) {
            at_ = place::paths;
            return true;
        }
        return fail(not_this());
    }
    bool end_array() override {
        if (at_ == place::paths) {
            at_ = place::volume;
            ++next_key_;
            return true;
        }
        if (at_ == place::volumes) {
            at_ = place::report;
            ++fragment_;
            return true;
        }
        return false;
    }

    bool key(string_t& text) override {
        if (at_ == place::report) {
            for (std::size_t i = 0; i < fragment_; ++i)
                if (text == fragment_of(expected_[i]).name) return fail(text + " given twice");
            if (fragment_ == expected_.size() || text != fragment_of(fragment()).name)
                return fail("unexpected fragment " + printable(text, 40));
            return true;
        }
        for (std::size_t i = 0; i < next_key_; ++i)
            if (text == keys_[i]) return fail(where(keys_[i]) + " given twice");
        if (next_key_ == keys_.size() || text != keys_[next_key_])
            return fail("unexpected key " + where(printable(text, 40)));
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        if (error.empty()) error = "not a JSON object";
        return false;
    }

private:
    enum class place { outside, report, fragment, volumes, volume, paths, after };

    fragment_id fragment() const { return expected_[fragment_]; }
    static std::string volume_at(std::size_t index) {
        return "volumes[" + std::to_string(index) + "]";
    }
    std::string where(const std::string& key) const {
        if (at_ == place::volume || at_ == place::paths)
            return volume_at(volumes.size() - 1) + "." + key;
        return std::string(fragment_of(fragment()).name) + "." + key;
    }
    // Why a value, object or list cannot stand where the parser is.
    std::string not_this() const {
        switch (at_) {
        case place::outside: return "not a JSON object";
        case place::report:
            if (fragment() == fragment_id::volumes) return "volumes is not a list";
            return fragment_of(fragment()).name + std::string(" is not an object");
        case place::volumes: return volume_at(volumes.size()) + " is not an object";
        case place::paths: return where("paths") + " is not a list of texts";
        case place::volume:
            if (next_key_ == 0) return where("paths") + " is not a list";
            if (next_key_ < kNameCount) return where(kVolumeNames[next_key_]) + " is not a text";
            return where(keys_[next_key_]) + " is not a figure";
        default: return where(keys_[next_key_]) + " is not a figure";
        }
    }
    bool fail(std::string reason) {
        if (error.empty()) error = std::move(reason);
        return false;
    }
    void begin_object(place object) {
        at_ = object;
        rows_ = rows_of(object == place::volume ? fragment_id::volumes : fragment());
        keys_.clear();
        if (object == place::volume) keys_.assign(std::begin(kVolumeNames), std::end(kVolumeNames));
        for (const figure_row* row : rows_) keys_.emplace_back(row->key);
        next_key_ = 0;
    }
    // The row of the key being read, in a fragment or after a volume's names.
    const figure_row& row() const {
        return *rows_[next_key_ - (at_ == place::volume ? kNameCount : 0)];
    }
    bool take(scalar value) {
        if (at_ == place::paths) {
            if (value.kind != scalar::kind_type::text) return fail(not_this());
            volumes.back().paths.push_back(std::move(value.text));
            return true;
        }
        if (at_ == place::volume && next_key_ < kNameCount) {
            if (next_key_ == 0 || value.kind != scalar::kind_type::text) return fail(not_this());
            volumes.back().names[next_key_ - 1] = std::move(value.text);
        } else if (at_ == place::volume) {
            volumes.back().values[index_of(row())] = std::move(value);
        } else if (at_ == place::fragment) {
            values[index_of(row())] = std::move(value);
        } else {
            return fail(not_this());
        }
        ++next_key_;
        return true;
    }

    std::vector<fragment_id> expected_;
    place at_ = place::outside;
    std::size_t fragment_ = 0;      // of expected_: the one being read, or the next
    std::vector<const figure_row*> rows_;  // of the object being read
    std::vector<std::string> keys_;        // of that object, in order: names, then its rows'
    std::size_t next_key_ = 0;
};

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

// The figures of one object of the report (a fragment, a volume), checked row by row and against
// each other; into *served in the served units. True when its totals are 0: a probe that failed.
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

void check_text(const std::string& text, const std::string& name) {
    if (std::optional<std::string> problem = text_problem(text))
        refuse(report_verdict::implausible, name + " is not safe text (" + *problem + ")");
}

bool starts_with(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// What Windows gives as a mount path: a drive's root, or a folder of one, with its backslash.
bool mount_path(std::string_view path) {
    char letter = static_cast<char>(path.empty() ? 0 : path[0] | 0x20);
    return path.size() >= 3 && letter >= 'a' && letter <= 'z' && path.substr(1, 2) == ":\\" &&
           path.back() == '\\';
}

// Its names and figures checked; *seen holds the paths and names of the volumes before it, so
// that no two volumes share a label value.
guest_volume checked_volume(raw_volume raw, std::size_t index, std::set<std::string>* seen) {
    std::string where = "volumes[" + std::to_string(index) + "]";
    guest_volume volume;
    for (std::size_t i = 0; i < raw.paths.size(); ++i) {
        std::string name = where + ".paths[" + std::to_string(i) + "]";
        check_text(raw.paths[i], name);
        if (!mount_path(raw.paths[i]))
            refuse(report_verdict::implausible, name + " is not a mount path");
        if (!seen->insert(raw.paths[i]).second)
            refuse(report_verdict::implausible, name + " is given twice");
    }
    volume.paths = std::move(raw.paths);
    volume.name = std::move(raw.names[0]);
    volume.label = std::move(raw.names[1]);
    volume.fs = std::move(raw.names[2]);
    check_text(volume.name, where + ".volume");
    check_text(volume.label, where + ".label");
    check_text(volume.fs, where + ".fs");
    // Paths begin with a drive letter and names with a backslash: labels cannot meet.
    if (!starts_with(volume.name, "\\\\?\\Volume{") || !ends_with(volume.name, "}\\"))
        refuse(report_verdict::implausible, where + ".volume is not a volume name");
    if (!seen->insert(volume.name).second)
        refuse(report_verdict::implausible, where + ".volume is given twice");
    volume.probe_failed = check_object(fragment_id::volumes, raw.values, where, &volume.values);
    return volume;
}

}  // namespace

std::string volume_label(const guest_volume& volume) {
    if (volume.paths.empty()) return volume.name;
    const std::string& first = volume.paths.front();
    // "C:\" is "C:"; a mount folder keeps its inner backslashes.
    return ends_with(first, "\\") ? first.substr(0, first.size() - 1) : first;
}

std::vector<std::string> failed_probes(const guest_figures& figures) {
    std::vector<std::string> names;
    for (const fragment_row& fragment : kFragments)
        if (reported(figures, fragment.id) && probe_failed(figures, fragment.id))
            names.emplace_back(fragment.name);
    for (const guest_volume& volume : figures.volumes)
        if (volume.probe_failed) names.push_back("volume " + volume_label(volume));
    return names;
}

report_verdict check_report(std::string_view text, std::string_view selector,
                            guest_figures* figures, std::string* error) {
    // Controls the agent escapes; bytes of UTF-8 may stand in the volumes' strings alone, which
    // the parser checks for valid UTF-8.
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            *error = "bytes the agent never sends";
            return report_verdict::invalid;
        }
    std::vector<fragment_id> expected;
    for (const fragment_row& fragment : kFragments)
        if (selects(selector, fragment.id)) expected.push_back(fragment.id);

    shape_checker checker(expected);
    if (!json::sax_parse(text.begin(), text.end(), &checker)) {
        *error = checker.error.empty() ? "not a JSON object" : checker.error;
        return checker.error.empty() ? report_verdict::invalid : checker.verdict;
    }
    try {
        guest_figures got;
        for (fragment_id fragment : expected) {
            auto at = static_cast<std::size_t>(fragment);
            if (fragment != fragment_id::volumes) {
                got.reported[at] = true;
                got.probe_failed[at] = check_object(fragment, checker.values,
                                                    fragment_of(fragment).name, &got.values);
            } else if (checker.volumes_seen) {
                got.reported[at] = true;
                got.probe_failed[at] = checker.volumes.empty();  // the listing failed
                std::set<std::string> seen;
                for (std::size_t i = 0; i < checker.volumes.size(); ++i)
                    got.volumes.push_back(
                        checked_volume(std::move(checker.volumes[i]), i, &seen));
            }
        }
        *figures = std::move(got);
        return report_verdict::valid;
    } catch (const report_error& failure) {
        *error = failure.text;
        return failure.verdict;
    }
}
