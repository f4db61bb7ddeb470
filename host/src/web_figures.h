#pragma once

#include <prometheus/metric_family.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

// Every status the HTTP side answers with.
constexpr std::array<unsigned, 6> kHttpStatuses = {200, 401, 404, 405, 500, 503};

// The HTTP side's own figures, counted by the serving threads and read at each scrape.
struct web_figures {
    std::array<std::atomic<std::uint64_t>, kHttpStatuses.size()> requests{};  // by status
    std::atomic<int> scrapes_in_flight{0};
    std::atomic<std::uint64_t> last_scrape_bytes{0};  // before compression
    std::atomic<int> connections{0};
    std::atomic<std::uint64_t> connections_cut{0};  // past a deadline

    void count(unsigned status);
};

std::vector<prometheus::MetricFamily> render_web_figures(const web_figures& figures);
