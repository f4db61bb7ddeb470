#include "landing_page.h"

namespace {

std::string escaped(const std::string& text) {
    std::string html;
    for (char c : text) {
        switch (c) {
        case '&': html += "&amp;"; break;
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '"': html += "&quot;"; break;
        case '\'': html += "&#39;"; break;
        default: html += c;
        }
    }
    return html;
}

}  // namespace

std::string landing_page_html(const std::string& telemetry_path) {
    return "<!DOCTYPE html>\n"
           "<html lang=\"en\">\n"
           "<head><meta charset=\"utf-8\"><title>vorna-stats-host</title></head>\n"
           "<body>\n"
           "<h1>vorna-stats-host</h1>\n"
           "<p>Figures of the Windows guests' vorna-stats-agent, version " VORNA_VERSION ".</p>\n"
           "<ul><li><a href=\"" + escaped(telemetry_path) + "\">Metrics</a></li></ul>\n"
           "</body>\n"
           "</html>\n";
}
