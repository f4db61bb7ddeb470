#include "e2e/stats_exchange.h"

#include <chrono>

std::string receive_object(pipe_host& host, int timeout_ms) {
    using clock_type = std::chrono::steady_clock;
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    int depth = 0;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          clock_type::now());
        if (left.count() <= 0) break;
        std::string next = host.receive(1, static_cast<int>(left.count()));
        if (next.empty()) break;
        got += next;
        if (next == "{") ++depth;
        if (next == "}" && --depth == 0) break;  // the fragments hold no braces in strings
    }
    return got;
}

busy_load::busy_load(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i)
        workers_.emplace_back([this] {
            while (!stop_.load(std::memory_order_relaxed)) {
            }
        });
}

busy_load::~busy_load() {
    stop_ = true;
    for (std::thread& worker : workers_) worker.join();
}
