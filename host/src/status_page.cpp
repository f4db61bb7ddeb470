#include "status_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::string escaped(const std::string& text) {
    std::string html;
    html.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                html += "&amp;";
                break;
            case '<':
                html += "&lt;";
                break;
            case '>':
                html += "&gt;";
                break;
            case '"':
                html += "&quot;";
                break;
            case '\'':
                html += "&#39;";
                break;
            default:
                html += c;
        }
    }
    return html;
}

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string bytes(std::uint64_t value) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    auto shown = static_cast<double>(value);
    int unit = 0;
    while (shown >= 1024 && unit < 5) {
        shown /= 1024;
        ++unit;
    }
    return formatted(unit == 0 ? "%.0f" : "%.1f", shown) + " " + units[unit];
}

std::string duration(double seconds) {
    if (seconds < 120) return formatted("%.0f s", seconds);
    if (seconds < 7200) return formatted("%.0f min", seconds / 60);
    if (seconds < 172800) return formatted("%.0f h", seconds / 3600);
    return formatted("%.0f d", seconds / 86400);
}

std::string cell(const std::optional<std::string>& text, const char* kind = "") {
    return std::string("<td") + kind + ">" + (text ? escaped(*text) : "&ndash;") + "</td>";
}

// Down first; then the least free share of a volume first; VMs without volumes last; by name.
bool comes_first(const status_row& a, const status_row& b) {
    if (a.up != b.up) return !a.up;
    double free_a = a.fullest_volume_free.value_or(2.0);
    double free_b = b.fullest_volume_free.value_or(2.0);
    if (free_a != free_b) return free_a < free_b;
    return a.vm < b.vm;
}

}  // namespace

std::vector<status_row> status_rows(const std::map<std::string, vm_state>& vms, double now) {
    std::vector<status_row> rows;
    rows.reserve(vms.size());
    for (const auto& [vm, state] : vms) {
        status_row row;
        row.vm = vm;
        row.up = state.up;
        if (!state.up && state.last_failure) row.reason = poll_failure_name(*state.last_failure);
        if (state.last_good_unix)
            row.seconds_since_report = std::max(0.0, now - *state.last_good_unix);
        rows.push_back(row);
        if (!state.up) continue;
        const guest_figures& figures = state.figures;
        status_row& shown = rows.back();
        if (reported(figures, fragment_id::cpu)) {
            shown.cpus = static_cast<std::uint64_t>(value_of(figures, figure_id::cpus));
            shown.cpu_busy = value_of(figures, figure_id::cpu_percent);
        }
        if (reported(figures, fragment_id::memory) && !probe_failed(figures, fragment_id::memory))
            shown.memory_available_bytes =
                static_cast<std::uint64_t>(value_of(figures, figure_id::mem_free));
        auto consider = [&](const std::string& name, double free, double total) {
            if (total <= 0) return;
            double share = free / total;
            if (!shown.fullest_volume_free || share < *shown.fullest_volume_free) {
                shown.fullest_volume_free = share;
                shown.fullest_volume = name;
            }
        };
        if (reported(figures, fragment_id::volumes)) {
            for (const guest_volume& volume : figures.volumes)
                if (!volume.probe_failed)
                    consider(volume_label(volume), value_of(volume, figure_id::volume_free),
                             value_of(volume, figure_id::volume_total));
        } else if (reported(figures, fragment_id::disk) &&
                   !probe_failed(figures, fragment_id::disk)) {
            consider("C:", value_of(figures, figure_id::disk_free),
                     value_of(figures, figure_id::disk_total));
        }
    }
    return rows;
}

std::string status_page_html(std::vector<status_row> rows, const std::string& telemetry_path) {
    std::sort(rows.begin(), rows.end(), comes_first);
    int up = 0;
    for (const status_row& row : rows) up += row.up;
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\">"
        "<title>vorna-stats-host</title>\n<style>"
        "body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse}"
        "th,td{padding:.2em .7em;border-bottom:1px solid #ddd;text-align:left}"
        "td.n{text-align:right}tr.down td{background:#fde8e8}.low{color:#b00;font-weight:bold}"
        "</style></head>\n<body>\n<h1>vorna-stats-host</h1>\n"
        "<p>Figures of the Windows guests' vorna-stats-agent, version " VORNA_VERSION
        ".</p>\n"
        "<ul><li><a href=\"" +
        escaped(telemetry_path) + "\">Metrics</a></li></ul>\n";
    html += "<p>" + std::to_string(up) + " of " + std::to_string(rows.size()) +
            " VMs up.</p>\n<table>\n<thead><tr><th>VM</th><th>State</th>"
            "<th>Last report</th><th>Processors</th><th>CPU busy</th>"
            "<th>Memory available</th><th>Fullest volume</th><th>Free</th></tr></thead>\n<tbody>\n";
    for (const status_row& row : rows) {
        html += row.up ? "<tr>" : "<tr class=\"down\">";
        html += cell(row.vm);
        html += cell(row.up ? "up" : "down" + (row.reason.empty() ? "" : " (" + row.reason + ")"));
        std::optional<std::string> since;
        if (row.seconds_since_report) since = duration(*row.seconds_since_report) + " ago";
        html += cell(since, " class=\"n\"");
        std::optional<std::string> text;
        if (row.cpus) text = std::to_string(*row.cpus);
        html += cell(text, " class=\"n\"");
        text.reset();
        if (row.cpu_busy) text = formatted("%.0f %%", *row.cpu_busy * 100);
        html += cell(text, " class=\"n\"");
        text.reset();
        if (row.memory_available_bytes) text = bytes(*row.memory_available_bytes);
        html += cell(text, " class=\"n\"");
        text.reset();
        if (row.fullest_volume_free) text = row.fullest_volume;
        html += cell(text);
        text.reset();
        if (row.fullest_volume_free) text = formatted("%.0f %%", *row.fullest_volume_free * 100);
        html += cell(text, row.fullest_volume_free && *row.fullest_volume_free < 0.10
                               ? " class=\"n low\""
                               : " class=\"n\"");
        html += "</tr>\n";
    }
    html += "</tbody>\n</table>\n</body>\n</html>\n";
    return html;
}
