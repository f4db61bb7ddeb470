// Arbitrary guest bytes through what the host does with a reply: the framing, fed in reads of
// varying size, and the report check; VM names through their check. Any finding fails.
// The first byte chooses: bit 0 a report (else PONG), bits 1-4 the letters C, M, D, V of the
// selector (none: CMD), bits 5-7 the size of the reads.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "guest_report.h"
#include "protocol.h"
#include "safe_text.h"
#include "vm_name.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

bool printable_ascii(std::string_view text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

// What the table's checks promise of one object's figures (a fragment's, a volume's).
void check_object(fragment_id fragment, const std::array<double, kFigureCount>& values,
                  bool failed) {
    auto value = [&](const figure_row& row) { return values[static_cast<std::size_t>(row.id)]; };
    for (const figure_row& row : kFigures) {
        if (row.fragment != fragment) continue;
        if (row.check == figure_check::processors) check(value(row) >= 1);
        if (row.check == figure_check::percent) check(value(row) >= 0.0 && value(row) <= 1.0);
        if (row.check == figure_check::total) check(failed == (value(row) == 0));
        if (row.check != figure_check::at_most && row.check != figure_check::share) continue;
        double shares = 0;
        for (const figure_row& total : kFigures)
            if (total.fragment == fragment && std::string_view(total.key) == row.total) {
                check(value(row) >= 0 && value(row) <= value(total));
                for (const figure_row& share : kFigures)
                    if (share.fragment == fragment && share.check == figure_check::share &&
                        std::string_view(share.total) == row.total)
                        shares += value(share);
                if (row.check == figure_check::share)
                    check(shares + 1024 >= value(total) * (1 - 1e-15) &&
                          shares <= value(total) * (1 + 1e-15) + 1024);
            }
    }
}

void check_figures(const guest_figures& f) {
    for (const fragment_row& fragment : kFragments)
        if (reported(f, fragment.id) && fragment.id != fragment_id::volumes)
            check_object(fragment.id, f.values, probe_failed(f, fragment.id));
    check(f.volumes.size() <= kMaxVolumes);
    check(reported(f, fragment_id::volumes) || f.volumes.empty());
    std::set<std::string> labels;
    for (const guest_volume& volume : f.volumes) {
        check_object(fragment_id::volumes, volume.values, volume.probe_failed);
        check(labels.insert(volume_label(volume)).second && !volume_label(volume).empty());
        for (const std::string& text : {volume.name, volume.label, volume.fs})
            check(!text_problem(text));
        for (const std::string& path : volume.paths) check(!text_problem(path));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::uint8_t control = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    reply_kind kind = (control & 1) != 0 ? reply_kind::report : reply_kind::pong;
    std::string selector;
    if ((control & 2) != 0) selector += 'C';
    if ((control & 4) != 0) selector += 'M';
    if ((control & 8) != 0) selector += 'D';
    if ((control & 16) != 0) selector += 'V';
    if (selector.empty()) selector = "CMD";
    std::size_t read_size = 1 + (control >> 5) * 197u;

    // In reads or all at once, the reply ends at the same place.
    scan_result whole = scan_reply(kind, bytes);
    reply_scanner scanner(kind);
    for (std::size_t at = 0; at < bytes.size() && scanner.status == scan_status::incomplete;
         at += read_size)
        scanner.feed(bytes.substr(at, read_size));
    check(scanner.status == whole.status);
    check(whole.status != scan_status::complete || scanner.length == whole.length);
    check(scanner.length <= kMaxReplyBytes && whole.length <= bytes.size());

    if (whole.status == scan_status::complete && kind == reply_kind::report) {
        std::string_view reply = bytes.substr(0, whole.length);
        guest_figures figures;
        std::string error;
        report_verdict verdict = check_report(reply, selector, &figures, &error);
        if (verdict == report_verdict::valid) {
            // Printable ASCII, but for the volumes' strings: UTF-8 without controls.
            if (figures.volumes.empty()) check(printable_ascii(reply));
            check(!text_problem(reply));
            check_figures(figures);
        } else {
            check(!error.empty() && printable_ascii(error));
        }
    }

    std::string shown = printable(bytes);
    check(printable_ascii(shown) && shown.size() <= 4 * 80 + 3);
    if (!vm_name_problem(bytes)) {
        for (char c : bytes) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    return 0;
}
