#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "basic_auth.h"
#include "web_figures.h"

struct http_request {
    std::string_view method;
    std::string_view path;
    std::string_view accept_encoding;
};

struct http_response {
    unsigned status = 200;
    const char* content_type = "text/plain; charset=utf-8";
    std::string body;
    bool gzipped = false;    // Content-Encoding: gzip
    bool challenge = false;  // WWW-Authenticate: Basic
    bool allow = false;      // Allow: GET, HEAD
    // Held until the answer has been sent: a scrape's place among --web.max-requests.
    std::shared_ptr<void> slot;
};

struct web_content {
    std::string telemetry_path = "/metrics";
    int max_requests = 40;  // scrapes answered at once; 0: no cap
    std::function<std::string()> exposition;
    std::function<std::string()> status_page;  // the page at /
};

constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// The HTTP side's answers, apart from the server: authentication's verdict, the method, the
// path, the cap on scrapes answered at once, and gzip when the client takes it.
class web_handler {
public:
    web_handler(web_content content, web_figures& figures)
        : content_(std::move(content)), figures_(figures) {}

    // access: allowed when no authentication is asked for; unchecked when the login could not
    // be checked (too many waiting).
    http_response answer(const http_request& request, basic_auth::verdict access);
    web_figures& figures() { return figures_; }

private:
    http_response scrape();

    web_content content_;
    web_figures& figures_;
};
