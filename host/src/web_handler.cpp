#include "web_handler.h"

#include "gzip.h"

namespace {

http_response text(unsigned status, const char* body) {
    http_response response;
    response.status = status;
    response.body = body;
    return response;
}

}  // namespace

http_response web_handler::scrape() {
    int in_flight = ++figures_.scrapes_in_flight;
    std::shared_ptr<void> slot(nullptr, [this](void*) { --figures_.scrapes_in_flight; });
    if (content_.max_requests > 0 && in_flight > content_.max_requests)
        return text(503, "Too many scrapes at once; try again\n");
    std::string exposition = content_.exposition();
    figures_.last_scrape_bytes = exposition.size();
    http_response response;
    response.content_type = kMetricsContentType;
    response.slot = std::move(slot);
    response.body = std::move(exposition);
    return response;
}

http_response web_handler::answer(const http_request& request, basic_auth::verdict access) {
    http_response response;
    if (access == basic_auth::verdict::denied) {
        response = text(401, "Unauthorized\n");
        response.challenge = true;
    } else if (access == basic_auth::verdict::unchecked) {
        response = text(503, "Too many logins at once; try again\n");
    } else if (request.method != "GET" && request.method != "HEAD") {
        response = text(405, "Method not allowed\n");
        response.allow = true;
    } else if (request.path == content_.telemetry_path) {
        response = scrape();
    } else if (request.path == "/") {
        response.content_type = "text/html; charset=utf-8";
        response.body = content_.status_page();
    } else {
        response = text(404, "Not found\n");
    }
    std::optional<std::string> packed;
    if (response.status == 200 && accepts_gzip(request.accept_encoding) &&
        (packed = gzip(response.body))) {
        response.body = std::move(*packed);
        response.gzipped = true;
    }
    figures_.count(response.status);
    return response;
}
