#include "web_server.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <mutex>

#include "basic_auth.h"
#include "landing_page.h"

namespace {

// The embedded server's callbacks take no state of ours: one web side a process.
struct web_state {
    web_config config;
    std::unique_ptr<basic_auth> auth;
    std::string page;
    std::mutex mutex;
    std::string tls_error;
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

int tls_version(const std::string& name) {
    if (name == "TLS10") return TLS1_VERSION;
    if (name == "TLS11") return TLS1_1_VERSION;
    if (name == "TLS13") return TLS1_3_VERSION;
    return TLS1_2_VERSION;
}

// Takes any certificate the client shows, for the types that ask for one without checking it.
int accept_any(int, X509_STORE_CTX*) {
    return 1;
}

std::string openssl_error(const std::string& what) {
    unsigned long code = ERR_get_error();
    char text[256] = "unknown error";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return what + ": " + text;
}

int init_tls(void* context_ptr, void*) {
    web_state* state = g_state;
    const web_config::tls_settings& tls = *state->config.tls;
    auto* context = static_cast<SSL_CTX*>(context_ptr);
    auto failed = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->tls_error = openssl_error(what);
        return -1;
    };
    if (SSL_CTX_use_certificate_chain_file(context, tls.cert_file.c_str()) != 1)
        return failed(tls.cert_file);
    if (SSL_CTX_use_PrivateKey_file(context, tls.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        return failed(tls.key_file);
    if (SSL_CTX_check_private_key(context) != 1) return failed("the key does not fit the certificate");
    SSL_CTX_set_min_proto_version(context, tls_version(tls.min_version));
    if (!tls.max_version.empty())
        SSL_CTX_set_max_proto_version(context, tls_version(tls.max_version));

    const std::string& type = tls.client_auth_type;
    if (!tls.client_ca_file.empty()) {
        if (SSL_CTX_load_verify_locations(context, tls.client_ca_file.c_str(), nullptr) != 1)
            return failed(tls.client_ca_file);
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(tls.client_ca_file.c_str());
        if (names != nullptr) SSL_CTX_set_client_CA_list(context, names);
    }
    if (type == "RequestClientCert") SSL_CTX_set_verify(context, SSL_VERIFY_PEER, accept_any);
    else if (type == "RequireAnyClientCert")
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, accept_any);
    else if (type == "VerifyClientCertIfGiven") SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    else if (type == "RequireAndVerifyClientCert")
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    else SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    return 1;  // the certificate is set up: the server need not look for its own
}

}  // namespace

std::unique_ptr<prometheus::Exposer> start_web_server(const std::string& listen,
                                                      const web_config& config,
                                                      std::vector<std::string> options,
                                                      std::string* error) {
    static web_state state;
    state.config = config;
    state.auth = std::make_unique<basic_auth>(config.basic_auth_users);
    state.page = landing_page_html();
    state.tls_error.clear();
    g_state = &state;

    // The embedded server takes a bare port for every address.
    std::string ports = !listen.empty() && listen.front() == ':' ? listen.substr(1) : listen;
    if (config.tls) ports += "s";
    options.insert(options.begin(), {"listening_ports", ports});

    static CivetCallbacks callbacks;  // all empty but these
    callbacks.begin_request = begin_request;
    if (config.tls) callbacks.init_ssl = init_tls;
    try {
        return std::make_unique<prometheus::Exposer>(options, &callbacks);
    } catch (const std::exception& failure) {
        std::lock_guard<std::mutex> lock(state.mutex);
        *error = state.tls_error.empty() ? failure.what() : state.tls_error;
        return nullptr;
    }
}
