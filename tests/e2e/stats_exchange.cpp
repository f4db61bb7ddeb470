#include "e2e/stats_exchange.h"

#include <chrono>

std::string receive_object(pipe_host& host, int timeout_ms) {
    using clock_type = std::chrono::steady_clock;
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    int depth = 0;
    bool in_string = false, escaped = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          clock_type::now());
        if (left.count() <= 0) break;
        std::string next = host.receive(1, static_cast<int>(left.count()));
        if (next.empty()) break;
        got += next;
        char c = next[0];
        // Braces in strings (volume names have them) do not count.
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            break;
        }
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
