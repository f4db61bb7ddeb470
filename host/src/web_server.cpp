#include "web_server.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/exposer.h>

#include <cstring>

#include "basic_auth.h"
#include "landing_page.h"
#include "tls_web_server.h"

namespace {

// The embedded server's callbacks take no state of ours: one web side a process.
struct web_state {
    std::unique_ptr<basic_auth> auth;
    std::string page;
};
web_state* g_state = nullptr;

void send_text(mg_connection* connection, const char* status, const char* type,
               const std::string& body, const char* extra_headers = "") {
    mg_printf(connection,
              "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%s"
              "Connection: close\r\n\r\n",
              status, type, body.size(), extra_headers);
    const mg_request_info* request = mg_get_request_info(connection);
    if (std::strcmp(request->request_method, "HEAD") != 0)
        mg_write(connection, body.data(), body.size());
}

// Before the server's own handling: prometheus-cpp's RegisterAuth would guard /metrics alone.
int begin_request(mg_connection* connection) {
    web_state* state = g_state;
    if (state->auth->enabled() &&
        !state->auth->allows(mg_get_header(connection, "Authorization"))) {
        send_text(connection, "401 Unauthorized", "text/plain; charset=utf-8", "Unauthorized\n",
                  "WWW-Authenticate: Basic realm=\"vorna-stats-host\"\r\n");
        return 401;
    }
    const mg_request_info* request = mg_get_request_info(connection);
    if (request->local_uri != nullptr && std::strcmp(request->local_uri, "/") == 0) {
        send_text(connection, "200 OK", "text/html; charset=utf-8", state->page);
        return 200;
    }
    return 0;  // /metrics, and the server's 404 for anything else
}

class exposer_server : public web_server {
public:
    explicit exposer_server(std::unique_ptr<prometheus::Exposer> exposer)
        : exposer_(std::move(exposer)) {}
    int port() const override {
        std::vector<int> ports = exposer_->GetListeningPorts();
        return ports.empty() ? 0 : ports.front();
    }

private:
    std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace

std::unique_ptr<web_server> start_web_server(const std::string& listen, const web_config& config,
                                             std::vector<std::string> options,
                                             std::shared_ptr<prometheus::Collectable> metrics,
                                             std::string* error) {
    // Debian's civetweb reaches OpenSSL 1.1 functions that OpenSSL 3 no longer has (it fails
    // at the first TLS connection), so TLS has a server of its own.
    if (config.tls) return start_tls_web_server(listen, config, std::move(metrics), error);

    static web_state state;
    state.auth = std::make_unique<basic_auth>(config.basic_auth_users);
    state.page = landing_page_html();
    g_state = &state;

    // The embedded server takes a bare port for every address.
    std::string ports = !listen.empty() && listen.front() == ':' ? listen.substr(1) : listen;
    options.insert(options.begin(), {"listening_ports", ports});
    static CivetCallbacks callbacks;  // all empty but this
    callbacks.begin_request = begin_request;
    try {
        auto exposer = std::make_unique<prometheus::Exposer>(options, &callbacks);
        exposer->RegisterCollectable(metrics);
        return std::make_unique<exposer_server>(std::move(exposer));
    } catch (const std::exception& failure) {
        *error = failure.what();
        return nullptr;
    }
}
