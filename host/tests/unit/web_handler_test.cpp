// The HTTP side's answers, without a server: authentication's verdicts, methods, paths, the cap
// on scrapes at once, gzip.
#include <gtest/gtest.h>

#include <zlib.h>

#include "gzip.h"
#include "web_handler.h"

namespace {

using verdict = basic_auth::verdict;

std::string gunzip(const std::string& packed) {
    z_stream stream = {};
    inflateInit2(&stream, 15 + 16);
    std::string text(1 << 16, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    stream.avail_in = static_cast<uInt>(packed.size());
    stream.next_out = reinterpret_cast<Bytef*>(text.data());
    stream.avail_out = static_cast<uInt>(text.size());
    int result = inflate(&stream, Z_FINISH);
    text.resize(stream.total_out);
    inflateEnd(&stream);
    return result == Z_STREAM_END ? text : "(not gzip)";
}

struct answer_case {
    const char* method;
    const char* path;
    verdict access;
    unsigned status;
    const char* content_type;
    bool challenge;
};

TEST(WebHandlerTest, AnswersByVerdictMethodAndPath) {
    web_figures figures;
    web_content content;
    content.telemetry_path = "/stats";
    content.exposition = [] { return std::string("vorna_up{vm=\"a\"} 1\n"); };
    content.status_page = [] { return std::string("<html>page</html>"); };
    web_handler handler(content, figures);
    const char* text = "text/plain; charset=utf-8";
    const answer_case cases[] = {
        {"GET", "/stats", verdict::allowed, 200, kMetricsContentType, false},
        {"HEAD", "/stats", verdict::allowed, 200, kMetricsContentType, false},
        {"GET", "/", verdict::allowed, 200, "text/html; charset=utf-8", false},
        {"GET", "/metrics", verdict::allowed, 404, text, false},
        {"GET", "/stats/", verdict::allowed, 404, text, false},
        {"POST", "/stats", verdict::allowed, 405, text, false},
        {"DELETE", "/", verdict::allowed, 405, text, false},
        {"GET", "/stats", verdict::denied, 401, text, true},
        {"GET", "/", verdict::denied, 401, text, true},
        {"POST", "/nowhere", verdict::denied, 401, text, true},
        {"GET", "/stats", verdict::unchecked, 503, text, false},
    };
    for (const answer_case& test : cases) {
        http_response response = handler.answer({test.method, test.path, ""}, test.access);
        std::string what = std::string(test.method) + " " + test.path;
        EXPECT_EQ(response.status, test.status) << what;
        EXPECT_STREQ(response.content_type, test.content_type) << what;
        EXPECT_EQ(response.challenge, test.challenge) << what;
        EXPECT_EQ(response.allow, test.status == 405) << what;
        EXPECT_FALSE(response.gzipped) << what;
    }
    EXPECT_EQ(figures.requests[0], 3u);  // 200
    EXPECT_EQ(figures.requests[1], 3u);  // 401
    EXPECT_EQ(figures.scrapes_in_flight, 0);
    EXPECT_EQ(figures.last_scrape_bytes, 19u);
}

TEST(WebHandlerTest, ScrapesAreGzippedForClientsThatTakeIt) {
    web_figures figures;
    web_content content;
    std::string exposition(5000, 'x');
    content.exposition = [&] { return exposition; };
    content.status_page = [] { return std::string("page"); };
    web_handler handler(content, figures);
    const std::pair<const char*, bool> cases[] = {
        {"gzip", true},      {"deflate, gzip;q=0.5", true},
        {"GZIP", true},      {" br , gzip ", true},
        {"gzip;q=0", false}, {"gzip; q=0.0", false},
        {"deflate", false},  {"", false},
        {"x-gzip", false},   {"gzipped", false},
    };
    for (const auto& [encoding, gzipped] : cases) {
        http_response response = handler.answer({"GET", "/metrics", encoding}, verdict::allowed);
        EXPECT_EQ(response.gzipped, gzipped) << encoding;
        EXPECT_EQ(gzipped ? gunzip(response.body) : response.body, exposition) << encoding;
    }
}

TEST(WebHandlerTest, ScrapesBeyondTheCapGet503UntilOneEnds) {
    web_figures figures;
    web_content content;
    content.max_requests = 2;
    content.exposition = [] { return std::string("x\n"); };
    content.status_page = [] { return std::string("page"); };
    web_handler handler(content, figures);
    http_response first = handler.answer({"GET", "/metrics", ""}, verdict::allowed);
    http_response second = handler.answer({"GET", "/metrics", ""}, verdict::allowed);
    EXPECT_EQ(second.status, 200u);
    EXPECT_EQ(handler.answer({"GET", "/metrics", ""}, verdict::allowed).status, 503u);
    EXPECT_EQ(handler.answer({"GET", "/", ""}, verdict::allowed).status, 200u);  // not a scrape
    EXPECT_EQ(figures.scrapes_in_flight, 2);
    first.slot.reset();  // its answer has been sent
    EXPECT_EQ(handler.answer({"GET", "/metrics", ""}, verdict::allowed).status, 200u);
}

}  // namespace
