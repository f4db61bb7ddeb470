#include "web_figures.h"

#include <string>

#include "families.h"

void web_figures::count(unsigned status) {
    for (std::size_t i = 0; i < kHttpStatuses.size(); ++i)
        if (kHttpStatuses[i] == status) ++requests[i];
}

std::vector<prometheus::MetricFamily> render_web_figures(const web_figures& figures) {
    using prometheus::MetricType;
    std::vector<prometheus::MetricFamily> families;
    prometheus::MetricFamily requests =
        family("vorna_http_requests_total", "HTTP requests answered, by status code.",
               MetricType::Counter);
    for (std::size_t i = 0; i < kHttpStatuses.size(); ++i)
        requests.metric.push_back(sample(MetricType::Counter,
                                         static_cast<double>(figures.requests[i].load()),
                                         {{"code", std::to_string(kHttpStatuses[i])}}));
    families.push_back(std::move(requests));
    families.push_back(single("vorna_http_scrapes_in_flight",
                              "Scrapes of the metrics being answered, this one included.",
                              MetricType::Gauge, figures.scrapes_in_flight.load()));
    families.push_back(single("vorna_http_scrape_size_bytes",
                              "Size of the previous scrape's exposition, before compression.",
                              MetricType::Gauge,
                              static_cast<double>(figures.last_scrape_bytes.load())));
    families.push_back(single("vorna_http_connections", "Open HTTP connections.", MetricType::Gauge,
                              figures.connections.load()));
    families.push_back(single("vorna_http_connections_cut_total",
                              "HTTP connections closed because their request or answer did not "
                              "complete within its deadline.",
                              MetricType::Counter,
                              static_cast<double>(figures.connections_cut.load())));
    return families;
}
