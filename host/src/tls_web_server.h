#pragma once

#include <memory>
#include <string>

#include "web_server.h"

// The web side over TLS, on libmicrohttpd and GnuTLS: the certificate and key, the client
// certificates asked for and checked as client_auth_type says, the TLS versions allowed. A
// client refused its certificate gets no answer: the connection is closed.
std::unique_ptr<web_server> start_tls_web_server(const std::string& listen,
                                                 const web_config& config,
                                                 std::shared_ptr<prometheus::Collectable> metrics,
                                                 std::string* error);
