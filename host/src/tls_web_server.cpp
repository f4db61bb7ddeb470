#include "tls_web_server.h"

#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netdb.h>
#include <prometheus/text_serializer.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "basic_auth.h"
#include "endpoint.h"
#include "landing_page.h"

namespace {

bool read_whole(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream whole;
    whole << in.rdbuf();
    *text = whole.str();
    return true;
}

// GnuTLS's priority string for the versions allowed.
std::string priorities(const web_config::tls_settings& tls) {
    const char* versions[] = {"TLS10", "TLS11", "TLS12", "TLS13"};
    const char* names[] = {"VERS-TLS1.0", "VERS-TLS1.1", "VERS-TLS1.2", "VERS-TLS1.3"};
    std::string text = "NORMAL";
    bool allowed = false;
    for (int i = 0; i < 4; ++i) {
        if (tls.min_version == versions[i]) allowed = true;
        text += std::string(allowed ? ":+" : ":-") + names[i];
        if (tls.max_version == versions[i]) allowed = false;
    }
    return text;
}

class tls_server : public web_server {
public:
    tls_server(web_config config, std::shared_ptr<prometheus::Collectable> metrics)
        : config_(std::move(config)), metrics_(std::move(metrics)),
          auth_(config_.basic_auth_users), page_(landing_page_html()) {}
    ~tls_server() override {
        if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    }
    int port() const override {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
        return info != nullptr ? info->port : 0;
    }
    bool start(const std::string& listen, std::string* error);

private:
    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t*, void**);
    bool client_certificate_allowed(MHD_Connection* connection) const;

    web_config config_;
    std::shared_ptr<prometheus::Collectable> metrics_;
    basic_auth auth_;
    std::string page_;
    std::string cert_, key_, ca_, priorities_;
    MHD_Daemon* daemon_ = nullptr;
};

bool tls_server::client_certificate_allowed(MHD_Connection* connection) const {
    const std::string& type = config_.tls->client_auth_type;
    if (type == "NoClientCert" || type == "RequestClientCert") return true;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr) return false;
    auto session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned int count = 0;
    bool given = gnutls_certificate_get_peers(session, &count) != nullptr && count > 0;
    if (!given) return type == "VerifyClientCertIfGiven";
    if (type == "RequireAnyClientCert") return true;
    unsigned int status = 0;
    return gnutls_certificate_verify_peers2(session, &status) == GNUTLS_E_SUCCESS && status == 0;
}

MHD_Result tls_server::answer(void* self_ptr, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, size_t*, void**) {
    auto* self = static_cast<tls_server*>(self_ptr);
    if (!self->client_certificate_allowed(connection)) return MHD_NO;  // closes the connection
    auto respond = [&](unsigned int status, const std::string& body, const char* type) {
        MHD_Response* response = MHD_create_response_from_buffer(
            body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(response, "Content-Type", type);
        if (status == MHD_HTTP_UNAUTHORIZED)
            MHD_add_response_header(response, "WWW-Authenticate",
                                    "Basic realm=\"vorna-stats-host\"");
        MHD_Result queued = MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        return queued;
    };
    if (self->auth_.enabled() &&
        !self->auth_.allows(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization")))
        return respond(MHD_HTTP_UNAUTHORIZED, "Unauthorized\n", "text/plain; charset=utf-8");
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
        return respond(MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n", "text/plain; charset=utf-8");
    if (std::strcmp(url, "/") == 0) return respond(MHD_HTTP_OK, self->page_, "text/html; charset=utf-8");
    if (std::strcmp(url, "/metrics") == 0)
        return respond(MHD_HTTP_OK, prometheus::TextSerializer().Serialize(self->metrics_->Collect()),
                       "text/plain; version=0.0.4; charset=utf-8");
    return respond(MHD_HTTP_NOT_FOUND, "Not found\n", "text/plain; charset=utf-8");
}

bool tls_server::start(const std::string& listen, std::string* error) {
    const web_config::tls_settings& tls = *config_.tls;
    if (!read_whole(tls.cert_file, &cert_, error) || !read_whole(tls.key_file, &key_, error))
        return false;
    bool asks = tls.client_auth_type != "NoClientCert";
    if (asks && tls.client_ca_file.empty()) {
        *error = "client_auth_type " + tls.client_auth_type + " needs client_ca_file here";
        return false;
    }
    if (asks && !read_whole(tls.client_ca_file, &ca_, error)) return false;
    priorities_ = priorities(tls);

    std::string host, port;
    bool any = !listen.empty() && listen.front() == ':';
    if (!split_host_port(any ? "*" + listen : listen, true, &host, &port)) {
        *error = "not an ADDR:PORT";
        return false;
    }
    addrinfo hints = {};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(any ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0) {
        *error = "not a numeric address: " + host;
        return false;
    }
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TLS;
    if (found->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &tls_server::answer, this,
        MHD_OPTION_SOCK_ADDR, found->ai_addr,
        MHD_OPTION_HTTPS_MEM_CERT, cert_.c_str(),
        MHD_OPTION_HTTPS_MEM_KEY, key_.c_str(),
        MHD_OPTION_HTTPS_PRIORITIES, priorities_.c_str(),
        // One thread serves every connection without blocking on any; a stalled client is
        // dropped after 10 s and strangers cannot open descriptors without end.
        MHD_OPTION_CONNECTION_TIMEOUT, 10u,
        MHD_OPTION_CONNECTION_LIMIT, 128u,
        asks ? MHD_OPTION_HTTPS_MEM_TRUST : MHD_OPTION_END, ca_.c_str(),
        MHD_OPTION_END);
    freeaddrinfo(found);
    if (daemon_ == nullptr) {
        *error = "the TLS server did not start (address in use, or a certificate or key it "
                 "cannot read)";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<web_server> start_tls_web_server(const std::string& listen,
                                                 const web_config& config,
                                                 std::shared_ptr<prometheus::Collectable> metrics,
                                                 std::string* error) {
    auto server = std::make_unique<tls_server>(config, std::move(metrics));
    if (!server->start(listen, error)) return nullptr;
    return server;
}
