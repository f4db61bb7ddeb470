// Arbitrary guest bytes through what the host does with a reply: the framing, fed in reads of
// varying size, and the report check; VM names through their check. Any finding fails.
// The first byte chooses: bit 0 a report (else PONG), bits 1-3 the letters C, M, D of the
// selector (none: CMD), bits 4-7 the size of the reads.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "guest_report.h"
#include "protocol.h"
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

// What the table's checks promise of every figure they let through.
void check_figures(const guest_figures& f) {
    for (const figure_row& row : kFigures) {
        if (!reported(f, row.fragment)) continue;
        double value = value_of(f, row.id);
        if (row.check == figure_check::processors) check(value >= 1);
        if (row.check == figure_check::percent) check(value >= 0.0 && value <= 1.0);
        if (row.check == figure_check::total)
            check(probe_failed(f, row.fragment) == (value == 0));
        if (row.check == figure_check::at_most || row.check == figure_check::share) {
            for (const figure_row& total : kFigures)
                if (total.fragment == row.fragment && std::string_view(total.key) == row.total)
                    check(value >= 0 && value <= value_of(f, total.id));
        }
    }
    if (reported(f, fragment_id::disk)) {
        double sum = value_of(f, figure_id::disk_used) + value_of(f, figure_id::disk_free);
        double total = value_of(f, figure_id::disk_total);
        check(sum + 1024 >= total * (1 - 1e-15) && sum <= total * (1 + 1e-15) + 1024);
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
    if (selector.empty()) selector = "CMD";
    std::size_t read_size = 1 + (control >> 4) * 97u;

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
            check(printable_ascii(reply));
            check_figures(figures);
        } else {
            check(!error.empty());
        }
    }

    std::string shown = printable(bytes);
    check(printable_ascii(shown) && shown.size() <= 4 * 80 + 3);
    if (!vm_name_problem(bytes)) {
        for (char c : bytes) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    return 0;
}
