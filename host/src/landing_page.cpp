#include "landing_page.h"

std::string landing_page_html() {
    return "<!DOCTYPE html>\n"
           "<html lang=\"en\">\n"
           "<head><meta charset=\"utf-8\"><title>vorna-stats-host</title></head>\n"
           "<body>\n"
           "<h1>vorna-stats-host</h1>\n"
           "<p>Figures of the Windows guests' vorna-stats-agent, version " VORNA_VERSION ".</p>\n"
           "<ul><li><a href=\"/metrics\">Metrics</a></li></ul>\n"
           "</body>\n"
           "</html>\n";
}
